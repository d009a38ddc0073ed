#!/bin/sh
# bundle.sh FOLDER: the client as one ES module a plain page imports without a bundler,
# FOLDER/wsr37100-client.js, and (once `npm run build` has generated the service's types)
# its declarations in one file, FOLDER/wsr37100-client.d.ts. Needs esbuild (Debian's package).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out"
esbuild "$here/src/index.js" --bundle --format=esm --target=es2022 --log-level=warning \
  --outfile="$out/wsr37100-client.js"
if [ -f "$here/generated/openapi.d.ts" ]; then
  # The generated types first, then the client's own without the import that points at them.
  { cat "$here/generated/openapi.d.ts"; grep -v '^import type { components } from "../generated/openapi.js";$' "$here/src/index.d.ts"; } \
    > "$out/wsr37100-client.d.ts"
fi
