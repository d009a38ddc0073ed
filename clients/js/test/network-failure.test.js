// A failed fetch: blocked by the browser's Local Network Access, or no service. The browser side is
// a table here; in a browser the state comes from navigator.permissions.
import assert from "node:assert/strict";
import { test } from "node:test";

import {
  Client,
  LocalNetworkAccessError,
  addressSpace,
  ServiceUnreachableError,
  localNetworkPermission,
  networkFailure,
} from "../src/index.js";

const failedFetch = new TypeError("Failed to fetch");
const aborted = Object.assign(new Error("The operation was aborted"), { name: "AbortError" });

// permission state × failure (× the service's address) → error class (and where it says the service is).
const table = [
  ["denied", failedFetch, LocalNetworkAccessError],
  ["prompt", failedFetch, LocalNetworkAccessError],
  ["denied", failedFetch, LocalNetworkAccessError, "http://192.168.77.20:8370", "on the shop's network"],
  ["prompt", failedFetch, LocalNetworkAccessError, "http://scale-pc.local:8370", "on the shop's network"],
  ["denied", failedFetch, LocalNetworkAccessError, "http://localhost:8370", "on this computer"],
  ["granted", failedFetch, ServiceUnreachableError],
  [null, failedFetch, ServiceUnreachableError],
  [undefined, failedFetch, ServiceUnreachableError],
  ["denied", aborted, ServiceUnreachableError],
  ["prompt", new Error("socket hang up"), ServiceUnreachableError],
];

test("permission state and failure decide", async (t) => {
  for (const [state, failure, expected, baseUrl = "http://127.0.0.1:8370", where = "on this computer"] of table) {
    await t.test(`${state} + ${failure.name} toward ${baseUrl}`, () => {
      const error = networkFailure(state, failure, { baseUrl, origin: "https://pos.example" });
      assert.equal(error.constructor, expected);
      assert.equal(error.cause, failure);
      assert.equal(error.status, null);
      if (expected === LocalNetworkAccessError) {
        assert.match(error.message, /https:\/\/pos\.example/);
        assert.match(error.message, /LocalNetworkAccessAllowedForUrls/);
        assert.match(error.message, /docs\/web-pos\.md, "Local Network Access"/);
        assert.ok(error.message.includes(`${baseUrl} ${where}: blocked by the browser`), error.message);
        assert.match(error.message, /or nothing is listening there\. Allow the page first.*then check the service/);
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

test("each fetch says the service's address space where the address tells it", async (t) => {
  const rows = [  // the service's address; its space
    ["http://127.0.0.1:8370", "loopback"],
    ["http://127.9.9.9:8370", "loopback"],
    ["http://localhost:8370", "loopback"],
    ["http://till.localhost:8370", "loopback"],
    ["http://[::1]:8370", "loopback"],
    ["http://192.168.77.20:8370", "local"],
    ["http://10.0.0.5:8370", "local"],
    ["http://172.16.0.1:8370", "local"],
    ["http://172.32.0.1:8370", null],
    ["http://169.254.1.1:8370", "local"],
    ["http://scale-pc.local:8370", "local"],
    ["http://[fd12::5]:8370", "local"],
    ["http://[fe80::1]:8370", "local"],
    ["http://[::ffff:c0a8:4d14]:8370", "local"],
    ["http://192.169.0.1:8370", null],
    ["https://scales.example:8443", null],
    ["http://localhost.example:8370", null],
  ];
  for (const [baseUrl, space] of rows) {
    await t.test(baseUrl, async () => {
      assert.equal(addressSpace(baseUrl), space);
      let asked = null;
      const fetch = async (url, init) => {
        asked = init;
        return new Response(JSON.stringify({ scales: [] }), { headers: { "content-type": "application/json" } });
      };
      await new Client(baseUrl, { fetch }).scales();
      assert.equal(asked.targetAddressSpace, space ?? undefined);
    });
  }
});
