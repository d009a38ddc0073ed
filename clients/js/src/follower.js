// A scale followed live over its event stream, read from a fetch's streamed body (so the same code
// runs in browsers and in Node, which has no EventSource, and sends the token as a header).
//
// Liveness, as the service's status page tells it: the stream tells a reading once, when it
// changes, so a reading's age never says whether it is current; only the service's answers say
// that. A weight is live while the stream is open and the service was heard from (the stream opened,
// an event, or an answer to /v1/scales, asked every 4 s) less than 10 s ago. When the stream drops
// the follower is not live at once; it opens the stream again by itself, after the service's
// retry: time, and is live again as soon as the service answers.
// The silence is counted from the start: a service that says nothing within 10 s of following, or
// of a stream being asked for, is told as not live with the same error as a later silence, and a
// stream that stays silent that long is given up and opened again (a frozen service keeps the
// connection without answering it).
import { boundedText } from "./body.js";
import { EventStreamParser } from "./event-stream.js";
import { GUIDE, ServiceError, ServiceUnreachableError } from "./errors.js";
import { checkedScale, weightOf } from "./scale.js";

const kAskEvery = 4000;        // /v1/scales asked this often
const kAskLimit = 3500;        // an answer later than this counts as none
const kSilenceLimit = 10000;   // not live after this long without hearing from the service
const kRetryMs = 1000;         // the reconnection time until the service's retry: says otherwise
const kRefusedRetryMs = 4000;  // after an answer other than a stream (401, 403, 404, 503...)
const kMaxListBytes = 1 << 20; // an answer to /v1/scales longer than this is none

const now = () => globalThis.performance.now();

export class Follower {
  #client;
  #scale;
  #onChange;
  #closed = false;
  #stream = null;           // {stop: AbortController, open: boolean} of the current connection
  #heard = now();           // the silence is counted from the start
  #retryMs = kRetryMs;
  #lastEventId = "";
  #streamed = null;         // the change the stream told last
  #asked = null;            // the change the previous answer to /v1/scales told
  #latest = null;           // the scale's JSON, as last told
  #error = null;
  #told = { live: false, latest: null, error: null };
  #askTimer;
  #silenceTimer;
  #retryTimer;

  constructor(client, scale, onChange) {
    this.#client = client;
    this.#scale = scale;
    this.#onChange = onChange;
    this.#connect();
    this.#ask();
    this.#hear(false);
    this.#askTimer = setInterval(() => this.#ask(), kAskEvery);
  }

  // Whether the weight is live now.
  get live() {
    return !this.#closed && this.#stream !== null && this.#stream.open && now() - this.#heard < kSilenceLimit;
  }

  // The scale's JSON as last told (stale while not live), or null before the first.
  get scale() {
    return this.#latest;
  }

  // Why the follower is not live, when the service told (or failed to): a ServiceError, or null.
  get error() {
    return this.#error;
  }

  close() {
    if (this.#closed) return;
    this.#closed = true;
    clearInterval(this.#askTimer);
    clearTimeout(this.#silenceTimer);
    clearTimeout(this.#retryTimer);
    if (this.#stream) this.#stream.stop.abort();
  }

  async #connect() {
    if (this.#closed) return;
    const stream = { stop: new AbortController(), open: false, silent: false };
    this.#stream = stream;
    // A stream that has not said its first words within the silence limit is given up.
    const deadline = setTimeout(() => { if (!stream.open) this.#silent(stream); }, kSilenceLimit);
    let refused = false;
    try {
      const headers = { Accept: "text/event-stream" };
      if (this.#lastEventId) headers["Last-Event-ID"] = this.#lastEventId;
      let response;
      try {
        response = await this.#client._fetch(`/v1/scales/${this.#scale}/events`, { signal: stream.stop.signal, headers });
      } catch (error) {
        if (this.#stream === stream && !stream.silent) this.#error = await this.#client._failure(error);
        return;
      }
      if (!response.ok || !(response.headers.get("content-type") || "").startsWith("text/event-stream")) {
        refused = true;
        if (this.#stream === stream) this.#error = await this.#client._answerError(response, this.#scale);
        return;
      }
      await this.#read(response.body, stream);
      if (this.#stream === stream && !stream.silent) {
        this.#error = new ServiceUnreachableError(`${this.#client.baseUrl} ended the event stream`);
      }
    } catch (error) {
      if (this.#stream !== stream || this.#closed || stream.silent) return;
      this.#error = error instanceof ServiceError ? error : new ServiceUnreachableError(
        `the event stream of ${this.#client.baseUrl} failed: ${error && error.message}`, { cause: error });
    } finally {
      clearTimeout(deadline);
      if (this.#stream === stream) {
        stream.open = false;
        stream.stop.abort();
        this.#tell();
        if (!this.#closed) this.#retryTimer = setTimeout(() => this.#connect(), refused ? kRefusedRetryMs : this.#retryMs);
      }
    }
  }

  async #read(body, stream) {
    const parser = new EventStreamParser({
      lastEventId: this.#lastEventId,
      onRetry: (ms) => { this.#retryMs = Math.min(Math.max(ms, 100), 60000); },
      onEvent: (event) => {
        if (event.type !== "reading") return;
        let data = null;
        try { data = JSON.parse(event.data); } catch { return; }
        const scale = checkedScale(data);
        if (!scale || scale.name !== this.#scale) return;
        // An id a header cannot carry is dropped: the service then tells its latest reading again.
        this.#lastEventId = /^[\x21-\x7e]*$/.test(event.lastEventId) ? event.lastEventId : "";
        this.#streamed = scale.change;
        this.#latest = scale;
      },
    });
    const reader = body.getReader();
    const decoder = new TextDecoder();
    // Given up (silent, lagging or closed): the read ends, whatever the body does with the abort.
    stream.stop.signal.addEventListener("abort", () => reader.cancel().catch(() => {}), { once: true });
    try {
      for (;;) {
        const { done, value } = await reader.read();
        if (done || this.#stream !== stream) return;
        const latest = this.#latest;
        parser.push(decoder.decode(value, { stream: true }));
        if (!stream.open) {
          // Open once the service said its first words (retry:, then the latest reading unless
          // Last-Event-ID names it): a reconnection tells the reading it brings, not the one before.
          stream.open = true;
          this.#asked = null;
          this.#error = null;
          this.#hear();
        } else if (this.#latest !== latest) {
          this.#hear();  // the latest of the events this piece brought
        }
      }
    } finally {
      reader.cancel().catch(() => {});
    }
  }

  async #ask() {
    if (this.#closed) return;
    const stop = new AbortController();
    const timer = setTimeout(() => stop.abort(), kAskLimit);
    try {
      const response = await this.#client._fetch("/v1/scales", { signal: stop.signal, headers: { Accept: "application/json" } });
      if (!response.ok) {
        this.#error = await this.#client._answerError(response, this.#scale);
        return;
      }
      const list = JSON.parse(await boundedText(response, { maxBytes: kMaxListBytes, timeoutMs: kAskLimit }));
      if (!list || !Array.isArray(list.scales) || this.#closed) return;
      const scale = list.scales.map(checkedScale).find((each) => each && each.name === this.#scale);
      this.#heard = now();
      if (!scale) return;
      // A stream that has still not told a change the service had made by its previous answer, one
      // period ago, delivers nothing any more: it is opened again. (A scale in motion changes all the
      // time, so an answer is often a change or two ahead of the stream; that is no lag.)
      const stream = this.#stream;
      if (stream && stream.open && this.#asked !== null && (this.#streamed ?? 0) < this.#asked) {
        this.#asked = null;
        this.#stream = null;
        stream.stop.abort();
        clearTimeout(this.#retryTimer);
        this.#connect();
      } else {
        this.#asked = scale.change;
      }
    } catch {
      // No answer: the time since the last one tells.
    } finally {
      clearTimeout(timer);
      this.#hear(false);
    }
  }

  // The service was heard from (or, with false, only asked): tells the host what changed, and looks
  // again when the silence would reach its limit.
  #hear(heard = true) {
    if (this.#closed) return;
    if (heard) this.#heard = now();
    clearTimeout(this.#silenceTimer);
    const left = this.#heard + kSilenceLimit - now();
    if (left > 0) this.#silenceTimer = setTimeout(() => this.#hear(false), left + 1);
    else if (this.#stream && this.#stream.open) this.#silent(this.#stream);
    else if (!this.#error) this.#error = this.#silenceError();
    this.#tell();
  }

  // The service said nothing for the silence limit: the stream is given up (and opened again after
  // the retry time), and the silence is the error told.
  #silent(stream) {
    if (this.#closed || this.#stream !== stream || stream.silent) return;
    stream.silent = true;
    if (!this.#error) this.#error = this.#silenceError();
    stream.stop.abort();
  }

  #silenceError() {
    return new ServiceUnreachableError(
      `No answer from ${this.#client.baseUrl} for ${kSilenceLimit / 1000} s: is wsr37100 serve running there, and ` +
        `not stopped? (see ${GUIDE}, "Starting the service")`,
    );
  }

  #tell() {
    if (this.#closed) return;
    const live = this.live;
    const told = this.#told;
    const error = live ? null : this.#error;
    const errorKey = error ? `${error.name} ${error.code} ${error.message}` : null;
    if (told.live === live && told.latest === this.#latest && told.error === errorKey) return;
    this.#told = { live, latest: this.#latest, error: errorKey };
    const latest = this.#latest;
    const update = {
      live,
      weight: live ? weightOf(latest) : null,
      kind: latest && latest.reading ? latest.reading.kind : null,
      state: latest ? latest.state : null,
      scale: latest,
      error,
    };
    try {
      this.#onChange(update);
    } catch (error) {
      // The host's own fault, reported as an event listener's would be, without stopping the follower.
      setTimeout(() => { throw error; });
    }
  }
}
