// The follower's rules on a stream the test writes itself, where /v1/scales never answers: what is
// told comes from the stream alone.
import assert from "node:assert/strict";
import { test } from "node:test";

import { Client } from "../src/index.js";
import { Updates } from "./service.js";

const scaleJson = (change, weight) => JSON.stringify({
  name: "counter", port: "/dev/ttyUSB0", baud: "9600", state: "weight", change,
  reading: { time: "2026-01-01T10:00:00.000-03:00", kind: "weight", weight, polls: 1, bytes: 8, reply: "", message: "" },
});

// A fetch whose event streams the test writes: streams[i].write(text), streams[i].end(); asks hang.
// With refusal {status, code}, each stream is answered so instead (opened tells when it was asked);
// with refusal.endless, by a problem whose body never ends.
// With scales (a function giving /v1/scales's list), asks are answered with it and told in asked.
function fakeService(refusal = null, scales = null) {
  const streams = [];
  const opened = new Updates();
  const asked = new Updates();
  const fetch = async (url, init) => {
    new Headers(init.headers);  // as a browser's fetch, refuses a header that is no byte string
    if (url.endsWith("/v1/scales") && scales) {
      setTimeout(() => asked.push(url));  // once the follower has read the answer
      return new Response(JSON.stringify({ scales: scales() }), { headers: { "content-type": "application/json" } });
    }
    if (!url.endsWith("/events")) return new Promise(() => {});
    if (refusal) {
      streams.push({ at: performance.now() });
      opened.push(streams.at(-1));
      const problem = JSON.stringify({ code: refusal.code, status: refusal.status });
      const endless = new ReadableStream({
        start: (c) => c.enqueue(new TextEncoder().encode(problem.slice(0, -1))),
        pull: (c) => c.enqueue(new Uint8Array(1 << 14).fill(32)),
      });
      return new Response(refusal.endless ? endless : problem,
        { status: refusal.status, headers: { "content-type": "application/problem+json" } });
    }
    let controller;
    const body = new ReadableStream({ start(c) { controller = c; } });
    const encoder = new TextEncoder();
    const stream = {
      headers: init.headers,
      write: (text) => controller.enqueue(encoder.encode(text)),
      end: () => controller.close(),
    };
    streams.push(stream);
    opened.push(stream);
    return new Response(body, { headers: { "content-type": "text/event-stream" } });
  };
  return { fetch, streams, opened, asked };
}

// A follower of the scale "counter" through the service, telling updates, closed when the case ends;
// with the first event stream it opened.
async function following(t, service, updates, options = {}) {
  const opened = service.opened.next(() => true, 5000, "a stream");
  const follower = new Client("http://127.0.0.1:8370", { fetch: service.fetch, ...options }).follow("counter", updates.push);
  t.after(() => follower.close());
  return { follower, first: await opened };
}

test("a dropped stream is told at once, and resumed from its last event after the service's retry time", async (t) => {
  const service = fakeService();
  const updates = new Updates();
  const { first } = await following(t, service, updates, { token: "secret" });
  assert.equal(first.headers.Authorization, "Bearer secret");
  assert.equal(first.headers["Last-Event-ID"], undefined);
  first.write(`retry: 3000\n\nevent: reading\nid: run-4\ndata: ${scaleJson(4, 1.5)}\n\n`);
  await updates.next((u) => u.live && u.weight === 1.5, 5000, "the weight");

  const dropped = updates.next((u) => !u.live, 5000, "not live");
  const reopened = service.opened.next(() => true, 10000, "the stream again");
  const endedAt = performance.now();
  first.end();
  const down = await dropped;
  // At once: well before the service's retry time, let alone an answer to /v1/scales (never, here).
  assert.ok(performance.now() - endedAt < 1000, `told after ${(performance.now() - endedAt).toFixed(0)} ms`);
  assert.equal(down.weight, null);

  const second = await reopened;
  const waited = performance.now() - endedAt;
  assert.ok(waited >= 2900, `opened again after ${waited.toFixed(0)} ms, before the service's retry: 3000`);
  assert.equal(second.headers["Last-Event-ID"], "run-4");
  const live = updates.next((u) => u.live, 5000, "live again");
  second.write("retry: 3000\n\n");
  assert.equal((await live).weight, 1.5, "the last weight, told again once the service answers");
});

test("a service's retry time is taken up to a minute, never longer", async (t) => {
  const service = fakeService();
  const updates = new Updates();
  const { first } = await following(t, service, updates);
  first.write(`retry: 999999999\n\nevent: reading\nid: run-4\ndata: ${scaleJson(4, 1.5)}\n\n`);
  await updates.next((u) => u.live && u.weight === 1.5, 5000, "the weight");
  const dropped = updates.next((u) => !u.live, 5000, "not live");
  // The follower's clock from here on is the test's: a minute passes at once.
  t.mock.timers.enable({ apis: ["setTimeout"] });
  first.end();
  await dropped;
  t.mock.timers.tick(60000);
  for (let turn = 0; turn < 100 && service.streams.length < 2; ++turn) await new Promise(setImmediate);
  assert.equal(service.streams.length, 2, "the stream opened again within a minute");
});

test("what is not the scale's reading is never told", async (t) => {
  const service = fakeService();
  const updates = new Updates();
  const { first: stream } = await following(t, service, updates);
  const ignored = [
    `event: reading\ndata: ${scaleJson(1, 9).replace("counter", "other")}\n\n`,
    `event: reading\ndata: ${scaleJson(1, 9).replace("9", "\"9\"")}\n\n`,
    "event: reading\ndata: {not json\n\n",
    `event: message\ndata: ${scaleJson(1, 9)}\n\n`,
  ];
  stream.write(ignored.join("") + `event: reading\ndata: ${scaleJson(2, 3)}\n\n`);
  const told = await updates.next((u) => u.scale !== null, 5000, "a reading");
  assert.equal(told.live, true);
  assert.equal(told.weight, 3);
  assert.equal(told.scale.change, 2);
  // Another scale's reading last in what the stream brings at once: the latest told is still this scale's.
  stream.write(`event: reading\ndata: ${scaleJson(3, 4)}\n\n` +
               `event: reading\ndata: ${scaleJson(5, 9).replace("counter", "other")}\n\n`);
  const next = await updates.next((u) => u.scale !== null && u.scale.change !== 2, 5000, "the next reading");
  assert.equal(next.scale.name, "counter");
  assert.equal(next.weight, 4);
});

test("a refused stream is asked again at the refused pace, not each second as a dropped one", async (t) => {
  const rows = [  // the answer to the stream
    { status: 401, code: "unauthorized" },
    { status: 403, code: "origin-not-allowed" },
    { status: 403, code: "origin-not-allowed", endless: true },
    { status: 404, code: "scale-not-found" },
    { status: 503, code: "scale-unavailable" },
  ];
  await Promise.all(rows.map(async (row) => {
    const service = fakeService(row);
    const again = service.opened.next(() => service.streams.length === 2, 15000, `a stream asked again after ${row.status}`);
    const follower = new Client("http://127.0.0.1:8370", { fetch: service.fetch }).follow("counter", () => {});
    t.after(() => follower.close());
    await again;
    const [first, second] = service.streams;
    assert.ok(second.at - first.at >= 3900, `${row.status}: asked again after ${(second.at - first.at).toFixed(0)} ms`);
    assert.equal(follower.error.status, row.status);
  }));
});

test("an id a header cannot carry is not sent again, and the stream is still opened again", async (t) => {
  const rows = [  // the event's id; the Last-Event-ID of the next stream
    ["run-4", "run-4"],
    ["caf\u00e9-4", undefined],
    ["\u2713-4", undefined],
    ["run 4", undefined],
  ];
  for (const [id, sent] of rows) {
    const service = fakeService();
    const updates = new Updates();
    const { follower, first } = await following(t, service, updates);
    first.write(`retry: 100\n\nevent: reading\nid: ${id}\ndata: ${scaleJson(4, 1.5)}\n\n`);
    await updates.next((u) => u.live && u.weight === 1.5, 5000, "the weight");
    const reopened = service.opened.next(() => true, 5000, `the stream again after the id ${id}`);
    first.end();
    const second = await reopened;
    assert.equal(second.headers["Last-Event-ID"], sent, id);
    const live = updates.next((u) => u.live, 5000, "live again");
    second.write("retry: 100\n\n");
    await live;
    follower.close();
  }
});

test("a stream that never says a thing is not live within the silence limit, and is opened again", async (t) => {
  const service = fakeService();
  const updates = new Updates();
  const started = performance.now();
  const follower = new Client("http://127.0.0.1:8370", { fetch: service.fetch }).follow("counter", updates.push);
  t.after(() => follower.close());
  const silent = await updates.next((u) => u.error !== null, 15000, "the silence told");
  const told = performance.now() - started;
  t.diagnostic(`silence told after ${told.toFixed(0)} ms`);
  assert.ok(told < 11000, `told after ${told.toFixed(0)} ms`);
  assert.equal(silent.live, false);
  assert.match(silent.error.message, /No answer from http:\/\/127\.0\.0\.1:8370 for 10 s/);
  await service.opened.next(() => service.streams.length === 2, 5000, "the stream again");
});

test("a stream that has told the service's latest change is kept open, however long the reading stays", async (t) => {
  const service = fakeService(null, () => [JSON.parse(scaleJson(7, 1.5))]);
  const updates = new Updates();
  const { first } = await following(t, service, updates);
  first.write(`event: reading\nid: run-7\ndata: ${scaleJson(7, 1.5)}\n\n`);
  await updates.next((u) => u.live && u.weight === 1.5, 5000, "the weight");
  // The list is asked every 4 s: the second answer after the weight is compared with the first.
  for (const which of ["first", "second"]) await service.asked.next(() => true, 10000, `the ${which} answer`);
  await assert.rejects(service.opened.next(() => true, 1000, "a stream opened again"));
  assert.equal(service.streams.length, 1);
});
