// The client's API over the service's JSON, whose types are generated from the service's OpenAPI
// description (tools/service/openapi.json) into generated/openapi.d.ts by `npm run build`.
import type { components } from "../generated/openapi.js";

export type Scale = components["schemas"]["Scale"];
export type ScaleReading = components["schemas"]["ScaleReading"];
export type Reading = components["schemas"]["Reading"];
export type Problem = components["schemas"]["Problem"];
export type ProblemCode = components["schemas"]["ProblemCode"];

export declare const DEFAULT_BASE_URL: "http://127.0.0.1:8370";

export interface ClientOptions {
  /** The service's bearer token (the first line of its --token-file), when it has one. */
  token?: string | null;
  /** More request headers. */
  headers?: Record<string, string>;
  /** A fetch of your own; the global one by default. */
  fetch?: typeof globalThis.fetch;
}

/** A reading the scale gave: a weight, or a status (in motion, below zero, overload, unreadable). */
export interface Weighing {
  scale: string;
  kind: "weight" | "status";
  /** Kilograms, for a weight only; null for a status, never 0 in its place. */
  weight: number | null;
  /** With stableReading: true for a settled weight; otherwise null. */
  stable: boolean | null;
  status: NonNullable<Reading["status"]> | null;
  /** When the scale last changed, in the service's local time (ISO 8601). */
  time: string | null;
  change: number;
  /** The service's answer, as it came. */
  answer: ScaleReading;
}

/** What a follower tells on each change of the reading and each time it turns live or not. */
export interface FollowUpdate {
  /** Whether the service is heard from now: only then is the weight current. */
  live: boolean;
  /** Kilograms: a number only while live and for a reading of kind "weight". */
  weight: number | null;
  kind: Reading["kind"] | null;
  state: Scale["state"] | null;
  /** The scale as last told, stale while not live; null before the first. */
  scale: Scale | null;
  /** Why it is not live, when known. */
  error: ServiceError | null;
}

export declare class Follower {
  readonly live: boolean;
  readonly scale: Scale | null;
  readonly error: ServiceError | null;
  close(): void;
}

export declare class Client {
  constructor(baseUrl?: string, options?: ClientOptions);
  readonly baseUrl: string;
  scales(options?: { signal?: AbortSignal }): Promise<Scale[]>;
  reading(scale: string, options?: { timeoutMs?: number; signal?: AbortSignal }): Promise<Weighing>;
  stableReading(scale: string, options?: { stableMs?: number; signal?: AbortSignal }): Promise<Weighing>;
  follow(scale: string, onChange: (update: FollowUpdate) => void): Follower;
}

export declare function createClient(baseUrl?: string, options?: ClientOptions): Client;

export interface ServiceErrorOptions {
  status?: number | null;
  code?: ProblemCode | string | null;
  problem?: Partial<Problem> | null;
  cause?: unknown;
}

export declare class ServiceError extends Error {
  constructor(message: string, options?: ServiceErrorOptions);
  /** The HTTP status; null when there was no answer. */
  readonly status: number | null;
  /** The service's problem code; null when it gave none. */
  readonly code: ProblemCode | string | null;
  readonly problem: Partial<Problem> | null;
}
export declare class ServiceUnreachableError extends ServiceError {}
export declare class LocalNetworkAccessError extends ServiceError {}
export declare class UnauthorizedError extends ServiceError {}
export declare class OriginNotAllowedError extends ServiceError {
  constructor(message: string, options?: ServiceErrorOptions & { origin?: string | null });
  /** The page's origin, to give the service as --allow-origin. */
  readonly origin: string | null;
}
export declare class NoReadingError extends ServiceError {
  constructor(message: string, options?: ServiceErrorOptions & { scale?: string | null; reading?: Reading | null });
  readonly scale: string | null;
  /** The reading the service told (kind, reason, cause, message), or null; never a weight. */
  readonly reading: Reading | null;
}

export type PermissionStateOrNone = "granted" | "denied" | "prompt" | null | undefined;

/** What a failed fetch means, from the browser's local network permission state and the failure. */
export declare function networkFailure(
  permissionState: PermissionStateOrNone,
  failure: unknown,
  context?: { baseUrl?: string; origin?: string | null },
): LocalNetworkAccessError | ServiceUnreachableError;

/** The browser's local network permission state, or null where it has none. */
export declare function localNetworkPermission(): Promise<"granted" | "denied" | "prompt" | null>;

export declare function checkedScale(value: unknown): Scale | null;
export declare function weightOf(scale: Scale | null | undefined): number | null;

export declare class EventStreamError extends Error {}
/** The Local Network Access address space of a URL's host: "loopback" (this computer), "local" (private
 * ranges, link-local, .local names) or null; the client's fetches carry it as targetAddressSpace. */
export declare function addressSpace(url: string): "loopback" | "local" | null;

export declare class EventStreamParser {
  constructor(options: {
    onEvent: (event: { type: string; data: string; lastEventId: string }) => void;
    onRetry?: (ms: number) => void;
    maxLine?: number;
    lastEventId?: string;
  });
  lastEventId: string;
  push(text: string): void;
}
