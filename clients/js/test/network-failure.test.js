// A failed fetch: blocked by the browser's Local Network Access, or no service. The browser side is
// a table here; in a browser the state comes from navigator.permissions.
import assert from "node:assert/strict";
import { test } from "node:test";

import {
  Client,
  LocalNetworkAccessError,
  ServiceUnreachableError,
  localNetworkPermission,
  networkFailure,
} from "../src/index.js";

const failedFetch = new TypeError("Failed to fetch");
const aborted = Object.assign(new Error("The operation was aborted"), { name: "AbortError" });

// permission state × failure → error class.
const table = [
  ["denied", failedFetch, LocalNetworkAccessError],
  ["prompt", failedFetch, LocalNetworkAccessError],
  ["granted", failedFetch, ServiceUnreachableError],
  [null, failedFetch, ServiceUnreachableError],
  [undefined, failedFetch, ServiceUnreachableError],
  ["denied", aborted, ServiceUnreachableError],
  ["prompt", new Error("socket hang up"), ServiceUnreachableError],
];

test("permission state and failure decide", async (t) => {
  for (const [state, failure, expected] of table) {
    await t.test(`${state} + ${failure.name}`, () => {
      const error = networkFailure(state, failure, { baseUrl: "http://127.0.0.1:8370", origin: "https://pos.example" });
      assert.equal(error.constructor, expected);
      assert.equal(error.cause, failure);
      assert.equal(error.status, null);
      if (expected === LocalNetworkAccessError) {
        assert.match(error.message, /https:\/\/pos\.example/);
        assert.match(error.message, /LocalNetworkAccessAllowedForUrls/);
        assert.match(error.message, /docs\/web-pos\.md, "Local Network Access"/);
      }
    });
  }
});

// navigator.permissions as a browser may have it: names it does not know throw.
async function withPermissions(states, body) {
  const had = Object.getOwnPropertyDescriptor(globalThis, "navigator");
  const query = async ({ name }) => {
    if (!(name in states)) throw new TypeError(`'${name}' is not a valid permission name`);
    return { state: states[name] };
  };
  Object.defineProperty(globalThis, "navigator", { value: { permissions: { query } }, configurable: true, writable: true });
  try {
    return await body();
  } finally {
    if (had) Object.defineProperty(globalThis, "navigator", had);
    else delete globalThis.navigator;
  }
}

test("the permission is asked by either of its names", async () => {
  const asked = [
    [{ "local-network-access": "denied" }, "denied"],
    [{ "loopback-network": "prompt" }, "prompt"],
    [{ "local-network-access": "granted", "loopback-network": "denied" }, "granted"],
    [{}, null],
  ];
  for (const [states, expected] of asked) {
    assert.equal(await withPermissions(states, localNetworkPermission), expected, JSON.stringify(states));
  }
  assert.equal(await localNetworkPermission(), null, "Node has no such permission");
});

test("a client's failed fetch under a denied permission is a LocalNetworkAccessError", async () => {
  const fetch = async () => { throw new TypeError("Failed to fetch"); };
  const client = new Client("http://127.0.0.1:8370", { fetch });
  for (const [state, expected] of [["denied", LocalNetworkAccessError], ["granted", ServiceUnreachableError]]) {
    const error = await withPermissions({ "local-network-access": state }, () => client.reading("counter").catch((e) => e));
    assert.equal(error.constructor, expected);
  }
});
