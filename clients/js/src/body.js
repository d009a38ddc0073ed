// An answer's body read whole, within a size and a time: a body that never ends, or ends only after
// more than maxBytes, is given up (and its connection let go) rather than kept growing or waited for.

export class BodyError extends Error {
  constructor(message) {
    super(message);
    this.name = "BodyError";
  }
}

// The body as UTF-8 text; a BodyError when it is longer than maxBytes or not whole within timeoutMs.
export async function boundedText(response, { maxBytes, timeoutMs }) {
  if (!response.body) return "";
  const reader = response.body.getReader();
  let timer;
  const late = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new BodyError(`the answer was not whole within ${timeoutMs} ms`)), timeoutMs);
  });
  const pieces = [];
  let size = 0;
  try {
    for (;;) {
      const { done, value } = await Promise.race([reader.read(), late]);
      if (done) break;
      size += value.byteLength;
      if (size > maxBytes) throw new BodyError(`the answer is longer than ${maxBytes} bytes`);
      pieces.push(value);
    }
  } finally {
    clearTimeout(timer);
    reader.cancel().catch(() => {});
  }
  const whole = new Uint8Array(size);
  let at = 0;
  for (const piece of pieces) {
    whole.set(piece, at);
    at += piece.byteLength;
  }
  return new TextDecoder().decode(whole);
}

// Lets the body go unread (its connection is closed rather than left to a server that never ends it).
export function dropBody(response) {
  if (response.body && !response.bodyUsed) response.body.cancel().catch(() => {});
}
