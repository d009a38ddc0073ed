// The tool's processes for the tests: a scale played on a pseudo-terminal (`wsr37100 simulate`) and
// the service (`wsr37100 serve`), each in a temporary folder of the test's own.
import { spawn } from "node:child_process";
import { once } from "node:events";
import { mkdtemp, rm } from "node:fs/promises";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
export const TOOL = process.env.WSR37100_TOOL
  ? path.resolve(path.join(here, ".."), process.env.WSR37100_TOOL)
  : path.resolve(here, "../../../build/native/bin/wsr37100");

// A temporary folder, removed after the test.
export async function folder(t) {
  const dir = await mkdtemp(path.join(tmpdir(), "wsr37100-js-"));
  t.after(() => rm(dir, { recursive: true, force: true }));
  return dir;
}

// The first line a process prints on stdout, or an error with what it said on stderr.
async function firstLine(child, what) {
  let errors = "";
  child.stderr.setEncoding("utf8");
  child.stderr.on("data", (text) => { if (errors.length < 4096) errors += text; });
  const lines = createInterface({ input: child.stdout });
  const exited = once(child, "exit").then(([code]) => { throw new Error(`${what} exited ${code}: ${errors}`); });
  try {
    const [line] = await Promise.race([once(lines, "line"), exited]);
    return line.trim();
  } finally {
    exited.catch(() => {});
  }
}

async function stopped(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const exit = once(child, "exit");
  child.kill("SIGTERM");
  await exit;
}

// `wsr37100 simulate ARGS --link DIR/NAME`; .link is the scale's path, .say(line) changes its answer.
export async function simulator(t, dir, args = ["--weight", "1.25"], name = "scale") {
  const link = path.join(dir, name);
  const child = spawn(TOOL, ["simulate", ...args, "--link", link], { stdio: ["pipe", "pipe", "pipe"] });
  t.after(() => stopped(child));
  await firstLine(child, "simulate");
  return {
    link,
    say(line) {
      child.stdin.write(line + "\n");
    },
  };
}

// `wsr37100 serve --port PORT ARGS`; .url is where it answers, .stop() ends it, .start() starts it
// again on the same port, .pause() and .resume() stop and continue it (SIGSTOP, SIGCONT).
export async function service(t, args, { port = 0 } = {}) {
  const running = { url: null, port, child: null };
  running.start = async () => {
    const child = spawn(TOOL, ["serve", "--port", String(running.port), ...args], { stdio: ["ignore", "pipe", "pipe"] });
    running.child = child;
    t.after(() => { child.kill("SIGCONT"); return stopped(child); });
    running.url = (await firstLine(child, "serve")).replace(/\/$/, "");
    running.port = Number(new URL(running.url).port);
    return running;
  };
  running.stop = () => stopped(running.child);
  running.pause = () => running.child.kill("SIGSTOP");
  running.resume = () => running.child.kill("SIGCONT");
  return running.start();
}

// A loopback port where nothing listens: one the system gave and took back.
export async function closedPort() {
  const server = createServer();
  server.listen(0, "127.0.0.1");
  await once(server, "listening");
  const { port } = server.address();
  server.close();
  await once(server, "close");
  return port;
}

// A follower's updates as they come; next(test) waits for the first one that passes the test.
export class Updates {
  #seen = [];
  #waiting = [];

  push = (update) => {
    this.#seen.push(update);
    for (const waiter of [...this.#waiting]) this.#check(waiter);
  };

  // Updates told from now on only; a guard of limitMs (generous: the tests run on loaded machines).
  next(test, limitMs = 15000, what = "an update") {
    return new Promise((resolve, reject) => {
      const waiter = { test, resolve, reject, from: this.#seen.length };
      waiter.timer = setTimeout(() => {
        this.#waiting.splice(this.#waiting.indexOf(waiter), 1);
        reject(new Error(`no ${what} within ${limitMs} ms; told: ${JSON.stringify(this.#seen.slice(waiter.from).map(brief))}`));
      }, limitMs);
      this.#waiting.push(waiter);
    });
  }

  #check(waiter) {
    while (waiter.from < this.#seen.length) {
      const update = this.#seen[waiter.from++];
      if (waiter.test(update)) {
        clearTimeout(waiter.timer);
        this.#waiting.splice(this.#waiting.indexOf(waiter), 1);
        waiter.resolve(update);
        return;
      }
    }
  }
}

function brief(update) {
  return { live: update.live, weight: update.weight, kind: update.kind, error: update.error && update.error.name };
}
