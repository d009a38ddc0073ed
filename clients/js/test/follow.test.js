// Following a scale: its changes, and whether it is live, against the tool's service and a simulated
// scale. The times printed are figures, not limits (the restart's 2 s is the behaviour asked for).
import assert from "node:assert/strict";
import { writeFile } from "node:fs/promises";
import path from "node:path";
import { test } from "node:test";

import { Client, ServiceUnreachableError, UnauthorizedError } from "../src/index.js";
import { Updates, folder, service, simulator } from "./service.js";

async function followed(t, { args = ["--weight", "1.25"], serveArgs = [], options = {}, scale = "counter" } = {}) {
  const dir = await folder(t);
  const sim = await simulator(t, dir, args);
  const running = await service(t, ["--scale", `counter=${sim.link},no-log`, ...serveArgs]);
  const updates = new Updates();
  const started = performance.now();
  const follower = new Client(running.url, options).follow(scale, updates.push);
  t.after(() => follower.close());
  return { dir, sim, running, updates, follower, started };
}

const liveWeight = (kg) => (update) => update.live && update.weight === kg;

test("a change of the weight arrives", async (t) => {
  const { sim, updates, started } = await followed(t);
  await updates.next(liveWeight(1.25), 15000, "first weight");
  t.diagnostic(`first weight after ${(performance.now() - started).toFixed(0)} ms`);
  sim.say("2.5");
  await updates.next(liveWeight(2.5), 15000, "changed weight");
  sim.say("I");
  const moving = await updates.next((u) => u.kind === "status", 15000, "status");
  assert.equal(moving.weight, null);
  assert.equal(moving.live, true);
});

test("not live at once when the service stops; live again after a restart on the same port", async (t) => {
  const { running, updates, follower } = await followed(t);
  await updates.next(liveWeight(1.25), 15000, "first weight");
  const down = updates.next((u) => !u.live, 15000, "not live");
  await running.stop();
  const gone = await down;
  assert.equal(gone.weight, null, "a weight that is not live is no number");
  assert.equal(gone.scale.reading.weight, 1.25, "the last reading is kept, for showing as stale");
  assert.ok(gone.error instanceof ServiceUnreachableError, String(gone.error));
  assert.equal(follower.live, false);

  const back = updates.next(liveWeight(1.25), 15000, "live again");
  await running.start();
  const restarted = performance.now();
  await back;
  const after = performance.now() - restarted;
  t.diagnostic(`live again ${after.toFixed(0)} ms after the service answered`);
  assert.ok(after < 2000, `live again only after ${after.toFixed(0)} ms`);
  assert.equal(follower.live, true);
});

test("a service that hangs is not live after 10 s of silence, from the first second too", async (t) => {
  const rows = [  // when it froze; the least silence before not live (the last answer came at most one asking period, 4 s, before)
    { when: "after the first weight", least: 5000 },
    { when: "before following began", least: 9000 },
  ];
  for (const row of rows) {
    await t.test(row.when, async (t) => {
      const dir = await folder(t);
      const sim = await simulator(t, dir);
      const running = await service(t, ["--scale", `counter=${sim.link},no-log`]);
      const updates = new Updates();
      let follower = null;
      const follow = () => { follower = new Client(running.url).follow("counter", updates.push); };
      t.after(() => follower && follower.close());
      if (row.when === "after the first weight") {
        follow();
        await updates.next(liveWeight(1.25), 15000, "first weight");
      }
      const quiet = updates.next((u) => !u.live && u.error instanceof ServiceUnreachableError, 30000, "not live");
      running.pause();
      const paused = performance.now();
      if (!follower) follow();
      await quiet;
      const silence = performance.now() - paused;
      t.diagnostic(`not live ${silence.toFixed(0)} ms after the service froze (${row.when})`);
      assert.ok(silence > row.least, `not live after only ${silence.toFixed(0)} ms`);
      assert.ok(silence < 12000, `not live only after ${silence.toFixed(0)} ms`);
      const again = updates.next(liveWeight(1.25), 15000, "live again");
      running.resume();
      await again;
    });
  }
});

test("a scale without a reading is followed live, with no number", async (t) => {
  const dir = await folder(t);
  const running = await service(t, ["--scale", `gone=${path.join(dir, "nothing")},no-log`]);
  const updates = new Updates();
  const follower = new Client(running.url).follow("gone", updates.push);
  t.after(() => follower.close());
  const told = await updates.next((u) => u.live && u.scale !== null, 15000, "its reading");
  assert.equal(told.kind, "no-reading");
  assert.equal(told.weight, null);
});

test("the token goes with the stream; a wrong one is told", async (t) => {
  const dir = await folder(t);
  const tokenFile = path.join(dir, "token");
  await writeFile(tokenFile, "right-token\n");
  const sim = await simulator(t, dir);
  const running = await service(t, ["--scale", `counter=${sim.link},no-log`, "--token-file", tokenFile]);
  for (const [token, expect] of [["right-token", liveWeight(1.25)], ["wrong", (u) => u.error instanceof UnauthorizedError]]) {
    const updates = new Updates();
    const follower = new Client(running.url, { token }).follow("counter", updates.push);
    t.after(() => follower.close());
    const told = await updates.next(expect, 15000, `with the token ${token}`);
    assert.equal(told.live, token === "right-token");
  }
});
