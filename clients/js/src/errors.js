// The errors a page or a program gets from the client, one class for each thing a developer can do
// something about, with English messages that say what.

import { addressSpace } from "./address-space.js";

export const GUIDE = "docs/web-pos.md";

// Any error the service answered, or the failure to get an answer: status is the HTTP status (null
// when there was no answer) and code the service's problem code (null when it gave none).
export class ServiceError extends Error {
  constructor(message, { status = null, code = null, problem = null, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = new.target.name;
    this.status = status;
    this.code = code;
    this.problem = problem;
  }
}

// No answer: nothing listens at the address (the service is not running), or the network failed.
export class ServiceUnreachableError extends ServiceError {}

// The browser kept a public page from reaching the service on this computer or the shop's network
// (Chrome and Edge, since version 142, ask the user for "Local Network Access" first, and the page
// sees only a failed fetch), or nothing listens there: the browser fails both alike.
export class LocalNetworkAccessError extends ServiceError {}

// 401: the service has a token and the request carried none, or another.
export class UnauthorizedError extends ServiceError {}

// 403 origin-not-allowed: the service does not answer pages from this origin.
export class OriginNotAllowedError extends ServiceError {
  constructor(message, options = {}) {
    super(message, options);
    this.origin = options.origin ?? null;
  }
}

// 503 scale-unavailable, 504 no-reading-yet or not-stable: the scale gave no weight. reading is the
// service's reading (kind, reason, cause, message...) when it told one, else null; never a weight of 0.
export class NoReadingError extends ServiceError {
  constructor(message, options = {}) {
    super(message, options);
    this.scale = options.scale ?? null;
    this.reading = options.reading ?? null;
  }
}

const kBlockedStates = new Set(["denied", "prompt"]);

// What a failed fetch means, from the state of the browser's local network permission (null or
// undefined where the browser has none) and the failure itself: a fetch that failed as a network
// error (a TypeError) while that permission is denied or still to be asked was blocked by the
// browser; any other failure means the service did not answer.
// The browser fails both alike, so a page cannot tell the browser's block from a port where nothing
// listens: the error says both, the block first (the one the shop can see to).
export function networkFailure(permissionState, failure, { baseUrl = "the service", origin = null } = {}) {
  const failedFetch = failure instanceof TypeError || (failure && failure.name === "TypeError");
  if (failedFetch && kBlockedStates.has(permissionState)) {
    const page = origin ? `the page at ${origin}` : "this page";
    let where = "on the shop's network";
    try {
      if (addressSpace(baseUrl) === "loopback") where = "on this computer";
    } catch {
      // Not a URL: the shop's network, the wider of the two.
    }
    return new LocalNetworkAccessError(
      `${page[0].toUpperCase()}${page.slice(1)} could not reach ${baseUrl} ${where}: blocked by the browser (Local ` +
        `Network Access is ${permissionState === "denied" ? "denied" : "not yet allowed"}), or nothing is listening ` +
        `there. Allow the page first, in the site's settings or with the policy LocalNetworkAccessAllowedForUrls ` +
        `listing the top-level page's origin; then check the service (see ${GUIDE}, "Local Network Access").`,
      { cause: failure },
    );
  }
  const why = failure && failure.message ? ` (${failure.message})` : "";
  return new ServiceUnreachableError(
    `No answer from ${baseUrl}${why}: is wsr37100 serve running there? (see ${GUIDE}, "Starting the service")`,
    { cause: failure },
  );
}

// The state of the browser's local network permission, or null where the browser has none (Node, a
// browser without the permission): "local-network-access", then "loopback-network".
export async function localNetworkPermission() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || typeof permissions.query !== "function") return null;
  for (const name of ["local-network-access", "loopback-network"]) {
    try {
      const status = await permissions.query({ name });
      if (status && typeof status.state === "string") return status.state;
    } catch {
      // A name this browser does not know.
    }
  }
  return null;
}
