#!/usr/bin/env bash
# The JavaScript client (clients/js) under Node: npm ci, then npm test (the API's types generated from
# the service's OpenAPI description and compiled, then node --test, its files at once) against the service the tool TOOL runs.
#   run.sh TOOL SOURCE_DIR
set -euo pipefail
tool=$1 source_dir=$2
for program in node npm; do
  if ! command -v "$program" > /dev/null; then
    echo "$program is missing: the JavaScript client's tests need Node 18 or later and npm (scripts/install-deps.sh installs Debian's nodejs and npm)" >&2
    exit 1
  fi
done
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "node $(node --version) is too old: the JavaScript client needs Node 18 or later" >&2
  exit 1
fi
cd "$source_dir/clients/js"
npm ci --no-audit --no-fund
# npm test, with the test files run all at once where Node can (20.10 and later): they wait on the
# service's paces (reconnects, heartbeats), not on the CPU, and one after the other they take twice as long.
if node --test-concurrency=1 -e 0 2> /dev/null; then
  npm run build
  WSR37100_TOOL=$tool node --test --test-concurrency="$(ls test/*.test.js | wc -l)" test/*.test.js
else
  WSR37100_TOOL=$tool npm test
fi
