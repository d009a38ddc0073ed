// Compiled by `npm run build` (tsc, no output): the client's declarations agree with the types
// generated from the service's OpenAPI description.
import { createClient, NoReadingError, type FollowUpdate, type Reading, type Scale } from "../src/index.js";

const client = createClient("http://127.0.0.1:8370", { token: "secret" });

export async function weigh(): Promise<number | null> {
  try {
    const weighing = await client.stableReading("counter", { stableMs: 2000 });
    const answer: Scale = weighing.answer;
    const stable: boolean | undefined = weighing.answer.stable;
    return answer.change >= 0 && stable !== false ? weighing.weight : null;
  } catch (error) {
    if (error instanceof NoReadingError) {
      const reason: Reading["reason"] | undefined = error.reading?.reason;
      return reason === "silence" ? null : null;
    }
    throw error;
  }
}

export function follow(show: (weight: number | null, live: boolean) => void): () => void {
  const follower = client.follow("counter", (update: FollowUpdate) => {
    const kind: "weight" | "status" | "no-reading" | "failure" | null = update.kind;
    show(kind === "weight" ? update.weight : null, update.live);
  });
  return () => follower.close();
}
