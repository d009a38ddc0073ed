#!/usr/bin/env bash
# Installs with apt-get what the build and the tests need, when run as root.
# Without root it only reports what is missing. Exit status 1 when something
# is still missing afterwards.
set -euo pipefail

packages=(
  cmake make g++ python3
  googletest libgtest-dev libbenchmark-dev libcli11-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 wine32:i386
)

missing() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

todo=$(missing)
[ -z "$todo" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (run as root to install): $todo" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $todo

todo=$(missing)
if [ -n "$todo" ]; then
  echo "install-deps: still missing: $todo" >&2
  exit 1
fi
