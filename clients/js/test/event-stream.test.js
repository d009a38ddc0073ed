// The event stream parser on the format's corners, each input also cut at every place a network may cut it.
import assert from "node:assert/strict";
import { test } from "node:test";

import { EventStreamError, EventStreamParser } from "../src/event-stream.js";

function parse(pieces, options = {}) {
  const told = [];
  const parser = new EventStreamParser({
    onEvent: (event) => told.push(event),
    onRetry: (ms) => told.push({ retry: ms }),
    ...options,
  });
  for (const piece of pieces) parser.push(piece);
  return { told, lastEventId: parser.lastEventId };
}

const reading = (data, lastEventId = "") => ({ type: "reading", data, lastEventId });

const cases = [
  { what: "the service's first words", text: "retry: 1000\n\nevent: reading\nid: 7-1\ndata: {\"a\":1}\n\n",
    told: [{ retry: 1000 }, reading("{\"a\":1}", "7-1")], id: "7-1" },
  { what: "CRLF line ends", text: "event: reading\r\ndata: x\r\n\r\n", told: [reading("x")] },
  { what: "CR line ends", text: "event: reading\rdata: x\r\r", told: [reading("x")] },
  { what: "data lines joined with LF", text: "data: a\ndata:b\ndata\n\n", told: [{ type: "message", data: "a\nb\n", lastEventId: "" }] },
  { what: "one space only taken off", text: "data:  two\n\n", told: [{ type: "message", data: " two", lastEventId: "" }] },
  { what: "a comment is nothing", text: ": keep-alive\n\n", told: [] },
  { what: "an event without data is not told", text: "event: reading\nid: 5\n\n", told: [], id: "5" },
  { what: "the id is kept for the next events", text: "id: 5\ndata: a\n\ndata: b\n\n",
    told: [{ type: "message", data: "a", lastEventId: "5" }, { type: "message", data: "b", lastEventId: "5" }], id: "5" },
  { what: "an id with NUL is ignored", text: "id: 5\n\nid: 6\u0000\ndata: a\n\n", told: [{ type: "message", data: "a", lastEventId: "5" }], id: "5" },
  { what: "a retry that is not digits is ignored", text: "retry: 1e3\nretry: -5\nretry:  7\nretry: 250\n", told: [{ retry: 250 }] },
  { what: "a leading BOM is dropped", text: "\uFEFFdata: a\n\n", told: [{ type: "message", data: "a", lastEventId: "" }] },
  { what: "an unfinished event is not told", text: "event: reading\ndata: a\n", told: [] },
  { what: "the type is reset at each dispatch", text: "event: reading\ndata: a\n\ndata: b\n\n",
    told: [reading("a"), { type: "message", data: "b", lastEventId: "" }] },
  { what: "the type is reset by an event without data", text: "event: reading\n\ndata: b\n\n",
    told: [{ type: "message", data: "b", lastEventId: "" }] },
  { what: "unknown fields are ignored", text: "Data: no\nevent: reading\nsomething: else\ndata: yes\n\n", told: [reading("yes")] },
];

test("the format, whole and cut anywhere", async (t) => {
  for (const row of cases) {
    await t.test(row.what, () => {
      const whole = parse([row.text]);
      assert.deepEqual(whole.told, row.told);
      if (row.id) assert.equal(whole.lastEventId, row.id);
      for (let cut = 1; cut < row.text.length; ++cut) {
        const cutOnce = parse([row.text.slice(0, cut), row.text.slice(cut)]);
        assert.deepEqual(cutOnce.told, row.told, `cut at ${cut}`);
      }
      assert.deepEqual(parse([...row.text]).told, row.told, "a character at a time");
    });
  }
});

test("a line without end is refused, not kept growing", () => {
  const parser = new EventStreamParser({ onEvent: () => {}, maxLine: 64 });
  parser.push("data: " + "x".repeat(40));
  assert.throws(() => parser.push("x".repeat(40)), EventStreamError);
  const data = new EventStreamParser({ onEvent: () => {}, maxLine: 64 });
  assert.throws(() => data.push("data: ".concat("y".repeat(40), "\n").repeat(2)), EventStreamError);
});
