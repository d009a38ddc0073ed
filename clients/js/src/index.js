// The client of the wsr37100 weighing service (`wsr37100 serve`): a scale's reading, a settled
// reading, and a scale followed live. An ES module with no dependency: browsers and Node 18 or later.
import {
  GUIDE,
  LocalNetworkAccessError,
  NoReadingError,
  OriginNotAllowedError,
  ServiceError,
  ServiceUnreachableError,
  UnauthorizedError,
  localNetworkPermission,
  networkFailure,
} from "./errors.js";
import { addressSpace } from "./address-space.js";
import { boundedText, dropBody } from "./body.js";
import { Follower } from "./follower.js";
import { checkedScale, isObject, weightOf } from "./scale.js";

export {
  LocalNetworkAccessError,
  NoReadingError,
  OriginNotAllowedError,
  ServiceError,
  ServiceUnreachableError,
  UnauthorizedError,
  localNetworkPermission,
  networkFailure,
};
export { EventStreamParser, EventStreamError } from "./event-stream.js";
export { addressSpace };
export { checkedScale, weightOf };

export const DEFAULT_BASE_URL = "http://127.0.0.1:8370";

const kScaleName = /^[A-Za-z0-9_-]{1,32}$/;
const kNoReadingCodes = new Set(["scale-unavailable", "no-reading-yet", "not-stable"]);
const kMaxWaitMs = 60000;
const kAnswerMarginMs = 5000;  // beyond the service's own wait, before its silence counts as no answer
const kMaxAnswerBytes = 1 << 20;  // an answer longer than this is not the service's
const kMaxProblemBytes = 1 << 16; // nor a problem longer than this
const kProblemWaitMs = 3500;      // nor one that is not whole within this

function wholeMs(value, name) {
  if (!Number.isInteger(value) || value < 0 || value > kMaxWaitMs) {
    throw new RangeError(`${name} must be a whole number of milliseconds from 0 to ${kMaxWaitMs}`);
  }
  return value;
}

function describeReading(reading) {
  if (!isObject(reading)) return "";
  const parts = [reading.kind, reading.status, reading.reason, reading.cause].filter((part) => typeof part === "string");
  return parts.length ? ` (${parts.join(", ")})` : "";
}

function pageOrigin(headers) {
  const origin = globalThis.location && globalThis.location.origin;
  if (typeof origin === "string" && origin !== "null") return origin;
  for (const [name, value] of Object.entries(headers)) {
    if (name.toLowerCase() === "origin") return String(value);
  }
  return null;
}

export class Client {
  #base;
  #token;
  #headers;
  #fetch;
  #space;

  // baseUrl: where the service answers (http://127.0.0.1:8370 by default). token: the service's bearer
  // token, when it has one. headers: more request headers. fetch: a fetch of your own.
  constructor(baseUrl = DEFAULT_BASE_URL, { token = null, headers = {}, fetch = globalThis.fetch } = {}) {
    const url = new URL(baseUrl);
    if (url.protocol !== "http:" && url.protocol !== "https:") {
      throw new TypeError(`the service's address must be an http or https URL, not ${url.protocol}`);
    }
    if (url.search || url.hash || url.username || url.password) {
      throw new TypeError("the service's address takes no query, fragment or credentials");
    }
    if (token !== null && (typeof token !== "string" || token === "" || /[\r\n]/.test(token))) {
      throw new TypeError("the token must be a non-empty string of one line");
    }
    if (typeof fetch !== "function") throw new TypeError("no fetch: pass one as the fetch option");
    this.#base = url.href.replace(/\/+$/, "");
    this.#token = token;
    this.#headers = { ...headers };
    this.#fetch = fetch;
    this.#space = addressSpace(this.#base);
  }

  get baseUrl() {
    return this.#base;
  }

  // Every configured scale with its latest reading (GET /v1/scales).
  async scales({ signal } = {}) {
    const answer = await this.#get("/v1/scales", { signal, waitMs: 0 });
    const scales = isObject(answer) && Array.isArray(answer.scales) ? answer.scales.map(checkedScale) : [null];
    if (scales.includes(null)) throw this.#malformed("/v1/scales");
    return scales;
  }

  // The scale's latest reading; a scale that has given none yet is waited for up to timeoutMs.
  async reading(scale, { timeoutMs = 3000, signal } = {}) {
    const path = `${this.#scalePath(scale)}/reading?timeout_ms=${wholeMs(timeoutMs, "timeoutMs")}`;
    return this.#weighing(scale, await this.#get(path, { signal, waitMs: timeoutMs, scale }), path);
  }

  // A settled reading, waited for up to stableMs: a weight (stable true), or the scale's N or S
  // status (stable false). A scale still in motion at the end is a NoReadingError (not-stable).
  async stableReading(scale, { stableMs = 2000, signal } = {}) {
    if (wholeMs(stableMs, "stableMs") === 0) throw new RangeError("stableMs must be above 0");
    const path = `${this.#scalePath(scale)}/reading?stable_ms=${stableMs}`;
    return this.#weighing(scale, await this.#get(path, { signal, waitMs: stableMs, scale }), path);
  }

  // Follows the scale live: onChange({live, weight, kind, state, scale, error}) on each change of its
  // reading and each time it turns live or not live. Returns the follower; follower.close() stops.
  follow(scale, onChange) {
    this.#scalePath(scale);
    if (typeof onChange !== "function") throw new TypeError("onChange must be a function");
    return new Follower(this, scale, onChange);
  }

  // What follows is for the follower.
  _url(path) {
    return this.#base + path;
  }

  _headers(extra = {}) {
    const headers = { ...this.#headers, ...extra };
    if (this.#token) headers.Authorization = `Bearer ${this.#token}`;
    return headers;
  }

  _fetch(path, { signal, headers = {} } = {}) {
    const init = { headers: this._headers(headers), cache: "no-store", signal };
    // Where the browser cannot tell it from the address itself (a host name), the fetch says it.
    if (this.#space) init.targetAddressSpace = this.#space;
    return this.#fetch.call(globalThis, this._url(path), init);
  }

  // The error of a failed fetch: the browser's block, or no answer.
  async _failure(error) {
    const state = error instanceof TypeError ? await localNetworkPermission() : null;
    return networkFailure(state, error, { baseUrl: this.#base, origin: pageOrigin(this.#headers) });
  }

  // The error an answer other than 2xx stands for.
  async _answerError(response, scale = null) {
    let problem = null;
    try {
      const type = response.headers.get("content-type") || "";
      if (type.includes("json")) problem = JSON.parse(await boundedText(response, { maxBytes: kMaxProblemBytes, timeoutMs: kProblemWaitMs }));
    } catch {
      // Not JSON after all, too long, or never whole: the status alone tells.
    } finally {
      dropBody(response);
    }
    if (!isObject(problem)) problem = null;
    const code = problem && typeof problem.code === "string" ? problem.code : null;
    const status = response.status;
    const options = { status, code, problem };
    if (status === 401) {
      return new UnauthorizedError(
        `${this.#base} asks for its bearer token and ${this.#token ? "refused the one given" : "none was given"}: ` +
          `pass the first line of the service's --token-file as the token option (see ${GUIDE}, "Hosts, origins and tokens").`,
        options,
      );
    }
    if (status === 403 && code === "origin-not-allowed") {
      const origin = pageOrigin(this.#headers);
      const named = origin || "ORIGIN";
      return new OriginNotAllowedError(
        `${this.#base} does not answer pages from ${origin || "this origin"}: start the service with ` +
          `--allow-origin ${named} (or "allowed_origins": ["${named}"] in its configuration; see ${GUIDE}, ` +
          `"Hosts, origins and tokens").`,
        { ...options, origin },
      );
    }
    if (kNoReadingCodes.has(code) && (status === 503 || status === 504)) {
      const told = problem && checkedScale(problem.scale);
      const reading = told ? told.reading : null;
      const name = scale ?? (told ? told.name : "?");
      const what =
        code === "no-reading-yet" ? "gave no reading in time; the service started or reopened it only a moment ago"
        : code === "not-stable" ? `did not settle in time${describeReading(reading)}`
        : `gives no reading${describeReading(reading)}`;
      return new NoReadingError(`Scale ${name} ${what}.`, { ...options, scale: name, reading });
    }
    const detail = problem && typeof problem.detail === "string" ? `: ${problem.detail}` : "";
    return new ServiceError(`${this.#base} answered ${status}${code ? ` ${code}` : ""}${detail}`, options);
  }

  #malformed(path) {
    return new ServiceError(`${this.#base}${path} answered something that is not the service's JSON`, { status: 200 });
  }

  #scalePath(scale) {
    if (typeof scale !== "string" || !kScaleName.test(scale)) {
      throw new TypeError("a scale's name is 1 to 32 letters, digits, '-' or '_'");
    }
    return `/v1/scales/${scale}`;
  }

  async #get(path, { signal, waitMs, scale = null }) {
    const stop = new AbortController();
    const timer = setTimeout(() => stop.abort(), waitMs + kAnswerMarginMs);
    const onAbort = () => stop.abort(signal.reason);
    if (signal) {
      if (signal.aborted) onAbort();
      else signal.addEventListener("abort", onAbort, { once: true });
    }
    try {
      let response;
      try {
        response = await this._fetch(path, { signal: stop.signal, headers: { Accept: "application/json" } });
      } catch (error) {
        if (signal && signal.aborted) throw signal.reason;
        if (stop.signal.aborted) {
          throw new ServiceUnreachableError(`${this.#base} gave no answer within ${waitMs + kAnswerMarginMs} ms`, {
            cause: error,
          });
        }
        throw await this._failure(error);
      }
      if (!response.ok) throw await this._answerError(response, scale);
      try {
        return JSON.parse(await boundedText(response, { maxBytes: kMaxAnswerBytes, timeoutMs: waitMs + kAnswerMarginMs }));
      } catch (error) {
        if (signal && signal.aborted) throw signal.reason;
        throw this.#malformed(path);
      }
    } finally {
      clearTimeout(timer);
      if (signal) signal.removeEventListener("abort", onAbort);
    }
  }

  #weighing(scale, answer, path) {
    const checked = checkedScale(answer);
    if (!checked || checked.name !== scale || checked.reading === null) throw this.#malformed(path);
    const reading = checked.reading;
    if (reading.kind !== "weight" && reading.kind !== "status") {
      // The service answers these as 503; should one come as 200, it is no weight all the same.
      throw new NoReadingError(`Scale ${scale} gives no reading${describeReading(reading)}.`, { status: 200, scale, reading });
    }
    return {
      scale,
      kind: reading.kind,
      weight: weightOf(checked),
      stable: typeof checked.stable === "boolean" ? checked.stable : null,
      status: reading.kind === "status" && typeof reading.status === "string" ? reading.status : null,
      time: typeof reading.time === "string" ? reading.time : null,
      change: checked.change,
      answer: checked,
    };
  }
}

// The same as new Client(baseUrl, options).
export function createClient(baseUrl = DEFAULT_BASE_URL, options = {}) {
  return new Client(baseUrl, options);
}
