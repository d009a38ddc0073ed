#!/usr/bin/env bash
# Installs with apt-get what the build and the tests need, when run as root.
# Without root it only reports what is missing. Exit status 1 when something
# is still missing afterwards.
set -euo pipefail

packages=(
  cmake make g++ python3
  googletest libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libboost-dev help2man
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 wine32:i386
  locales pkg-config fp-compiler fp-units-rtl dpkg-dev
  mono-mcs mono-runtime python3-pip python3-setuptools python3-wheel python3-venv
  clang libclang-rt-14-dev valgrind
  chromium openssl util-linux
  ser2net
  stress-ng
  prometheus python3-yaml
  wixl msitools
  nodejs npm
)

# Packages that a command of another origin may stand for: NodeSource's nodejs carries its own npm
# and conflicts with Debian's, so a node and an npm already there are kept.
declare -A commands=([nodejs]=node [npm]=npm)

# A locale with a decimal comma, so the tests see the host's separator change.
ensure_comma_locale() {
  locale -a 2>/dev/null | grep -qix 'pt_BR.iso88591' && return 0
  [ "$(id -u)" -eq 0 ] || return 0
  localedef -i pt_BR -c -f ISO-8859-1 pt_BR.ISO-8859-1 || echo "install-deps: could not build pt_BR.ISO-8859-1" >&2
}

missing() {
  local p
  for p in "${packages[@]}"; do
    if [ -n "${commands[$p]:-}" ] && command -v "${commands[$p]}" > /dev/null; then continue; fi
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

todo=$(missing)
if [ -z "$todo" ]; then
  ensure_comma_locale
  exit 0
fi

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
apt-get install -y -qq $todo

todo=$(missing)
if [ -n "$todo" ]; then
  echo "install-deps: still missing: $todo" >&2
  exit 1
fi
ensure_comma_locale
