// The text/event-stream format (Server-Sent Events) as the HTML standard parses it, read from a
// fetch's streamed body: lines end with CRLF, LF or CR; a blank line dispatches the event; "data:"
// lines are joined with LF; "id:" sets the last event ID (kept across events and reconnections);
// "retry:" of digits alone sets the reconnection time; a line starting with ":" is a comment.
// The service is on the shop's computer, yet what it sends is checked all the same: a line longer
// than maxLine characters ends the stream rather than growing without end.

const kDefaultMaxLine = 1 << 20;

export class EventStreamError extends Error {
  constructor(message) {
    super(message);
    this.name = "EventStreamError";
  }
}

export class EventStreamParser {
  #onEvent;
  #onRetry;
  #maxLine;
  #line = "";
  #afterCR = false;
  #started = false;
  #type = "";
  #data = "";
  #hasData = false;
  lastEventId = "";

  // onEvent({type, data, lastEventId}) for each dispatched event; onRetry(ms) for each valid retry field.
  constructor({ onEvent, onRetry = () => {}, maxLine = kDefaultMaxLine, lastEventId = "" } = {}) {
    if (typeof onEvent !== "function") throw new TypeError("onEvent must be a function");
    this.#onEvent = onEvent;
    this.#onRetry = onRetry;
    this.#maxLine = maxLine;
    this.lastEventId = lastEventId;
  }

  // Takes the next piece of decoded text, cut anywhere (even between a CR and its LF).
  push(text) {
    let start = 0;
    for (let i = 0; i < text.length; ++i) {
      const c = text.charCodeAt(i);
      if (c !== 10 && c !== 13) continue;
      if (c === 10 && this.#afterCR && i === start && this.#line === "") {
        // The LF of a CRLF whose CR ended the previous line.
        this.#afterCR = false;
        start = i + 1;
        continue;
      }
      this.#take(this.#line + text.slice(start, i));
      this.#line = "";
      this.#afterCR = c === 13;
      start = i + 1;
    }
    if (start < text.length) {
      this.#afterCR = false;
      this.#line += text.slice(start);
      if (this.#line.length > this.#maxLine) {
        throw new EventStreamError(`an event stream line is longer than ${this.#maxLine} characters`);
      }
    }
  }

  #take(line) {
    if (!this.#started) {
      this.#started = true;
      if (line.charCodeAt(0) === 0xfeff) line = line.slice(1);
    }
    if (line.length > this.#maxLine) {
      throw new EventStreamError(`an event stream line is longer than ${this.#maxLine} characters`);
    }
    if (line === "") return this.#dispatch();
    if (line[0] === ":") return;
    const colon = line.indexOf(":");
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? "" : line.slice(colon + 1);
    if (value[0] === " ") value = value.slice(1);
    switch (field) {
      case "event":
        this.#type = value;
        break;
      case "data":
        if (this.#data.length + value.length > this.#maxLine) {
          throw new EventStreamError(`an event's data is longer than ${this.#maxLine} characters`);
        }
        this.#data += this.#hasData ? "\n" + value : value;
        this.#hasData = true;
        break;
      case "id":
        if (!value.includes("\0")) this.lastEventId = value;
        break;
      case "retry":
        if (/^[0-9]+$/.test(value)) this.#onRetry(Number(value));
        break;
      default:
        break;  // a field the format does not know is ignored
    }
  }

  #dispatch() {
    const type = this.#type || "message";
    const data = this.#data;
    const hasData = this.#hasData;
    this.#type = "";
    this.#data = "";
    this.#hasData = false;
    if (hasData) this.#onEvent({ type, data, lastEventId: this.lastEventId });
  }
}
