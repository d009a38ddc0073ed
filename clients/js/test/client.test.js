// Readings and every error from its real cause, against the tool's service and simulated scales.
import assert from "node:assert/strict";
import { writeFile } from "node:fs/promises";
import path from "node:path";
import { test } from "node:test";

import {
  Client,
  NoReadingError,
  OriginNotAllowedError,
  ServiceError,
  ServiceUnreachableError,
  UnauthorizedError,
} from "../src/index.js";
import { closedPort, folder, service, simulator } from "./service.js";

// One service for the table: a steady scale, one in motion, one with nothing behind its path; a token;
// one allowed origin.
async function shop(t) {
  const dir = await folder(t);
  const steady = await simulator(t, dir, ["--weight", "1.25"], "steady");
  const moving = await simulator(t, dir, ["--status", "I"], "moving");
  const tokenFile = path.join(dir, "token");
  await writeFile(tokenFile, "right-token\n");
  const running = await service(t, [
    "--scale", `counter=${steady.link},no-log`,
    "--scale", `deli=${moving.link},no-log`,
    "--scale", `gone=${path.join(dir, "nothing")},no-log`,
    "--token-file", tokenFile,
    "--allow-origin", "https://pos.example",
  ]);
  return running.url;
}

const token = "right-token";

// cause → what the client gives.
const causes = [
  { cause: "no token", client: {}, ask: (c) => c.reading("counter"), error: UnauthorizedError, status: 401, code: "unauthorized" },
  { cause: "a wrong token", client: { token: "wrong" }, ask: (c) => c.reading("counter"), error: UnauthorizedError, status: 401 },
  {
    cause: "a page of an origin not allowed",
    client: { token, headers: { Origin: "https://other.example" } },
    ask: (c) => c.reading("counter"),
    error: OriginNotAllowedError, status: 403, code: "origin-not-allowed", message: /--allow-origin https:\/\/other\.example/,
  },
  { cause: "the service not running", url: "closed", client: { token }, ask: (c) => c.reading("counter"), error: ServiceUnreachableError, status: null },
  {
    cause: "a scale without a reading", client: { token }, ask: (c) => c.reading("gone"),
    error: NoReadingError, status: 503, code: "scale-unavailable", reading: { kind: "no-reading", reason: "port-unavailable" },
  },
  {
    cause: "a stable wait that runs out", client: { token }, ask: (c) => c.stableReading("deli", { stableMs: 600 }),
    error: NoReadingError, status: 504, code: "not-stable", reading: { kind: "status", status: "unstable" },
  },
  { cause: "an unknown scale", client: { token }, ask: (c) => c.reading("nosuch"), error: ServiceError, status: 404, code: "unknown-scale" },
];

test("each cause gives its own error", async (t) => {
  const url = await shop(t);
  const closed = `http://127.0.0.1:${await closedPort()}`;
  for (const row of causes) {
    await t.test(row.cause, async () => {
      const client = new Client(row.url === "closed" ? closed : url, row.client);
      const error = await row.ask(client).then(
        (answer) => assert.fail(`answered ${JSON.stringify(answer)}`),
        (error) => error,
      );
      assert.equal(error.constructor, row.error, `${error.name}: ${error.message}`);
      assert.ok(error instanceof ServiceError);
      assert.equal(error.status, row.status);
      if (row.code) assert.equal(error.code, row.code);
      if (row.message) assert.match(error.message, row.message);
      if (row.reading) {
        for (const [key, value] of Object.entries(row.reading)) assert.equal(error.reading[key], value, key);
        assert.equal(error.reading.weight, null);
      }
    });
  }
});

test("weights and statuses: a number only for a weight", async (t) => {
  const url = await shop(t);
  const client = new Client(url, { token });
  const cases = [
    { ask: () => client.reading("counter"), kind: "weight", weight: 1.25, stable: null },
    { ask: () => client.stableReading("counter", { stableMs: 3000 }), kind: "weight", weight: 1.25, stable: true },
    { ask: () => client.reading("deli"), kind: "status", weight: null, stable: null, status: "unstable" },
  ];
  for (const expected of cases) {
    const weighing = await expected.ask();
    assert.equal(weighing.kind, expected.kind);
    assert.equal(weighing.weight, expected.weight);
    assert.equal(weighing.stable, expected.stable);
    if (expected.status) assert.equal(weighing.status, expected.status);
  }
  // The page's allowed origin is answered.
  const page = new Client(url, { token, headers: { Origin: "https://pos.example" } });
  assert.equal((await page.reading("counter")).weight, 1.25);
});

test("what a caller passes is checked before any request", () => {
  const never = () => assert.fail("fetched");
  const client = new Client("http://127.0.0.1:1", { fetch: never });
  const wrong = [
    () => client.reading("../health"),
    () => client.reading("counter?x=1"),
    () => client.reading("counter", { timeoutMs: -1 }),
    () => client.stableReading("counter", { stableMs: 60001 }),
    () => client.stableReading("counter", { stableMs: 1.5 }),
    () => client.stableReading("counter", { stableMs: 0 }),
    () => new Client("file:///etc/passwd"),
    () => new Client("http://127.0.0.1:8370", { token: "a\r\nX-Other: 1" }),
  ];
  return Promise.all(wrong.map((call) => assert.rejects(async () => call(), /TypeError|RangeError/)));
});

test("an answer that is not the service's JSON is never a weight", async () => {
  const answers = [
    { name: "counter", state: "weight", change: 1, reading: { kind: "weight", weight: "1.25" } },
    { name: "counter", state: "weight", change: 1, reading: { kind: "status", weight: 0 } },
    { name: "other", state: "weight", change: 1, reading: { kind: "weight", weight: 1.25 } },
    { name: "counter", state: "weight", change: -1, reading: { kind: "weight", weight: 1.25 } },
    [1.25],
  ];
  for (const answer of answers) {
    const fetch = async () => new Response(JSON.stringify(answer), { headers: { "content-type": "application/json" } });
    const client = new Client("http://127.0.0.1:1", { fetch });
    await assert.rejects(client.reading("counter"), (error) => error.constructor === ServiceError && error.status === 200);
  }
});
