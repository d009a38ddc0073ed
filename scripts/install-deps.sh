#!/usr/bin/env bash
# Installs with apt-get what the build and the tests need, when run as root.
# Without root it only reports what is missing. Exit status 1 when something
# is still missing afterwards.
set -euo pipefail

# apt-get, and the update's tries and pause between them; another apt-get is for the script's own test.
apt_get=${WSR37100_APT_GET:-apt-get}
update_tries=${WSR37100_APT_UPDATE_TRIES:-3}
update_pause=${WSR37100_APT_UPDATE_PAUSE:-20}

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
  stress-ng ccache
  prometheus python3-yaml
  wixl msitools
  nodejs npm esbuild
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

# A Debian mirror is in mid-sync several times a day: one of its indexes then fails to fetch
# ("File has unexpected size ... Mirror sync in progress?") while the others are fresh. The update
# is tried again after a pause; an index that still fails is named, and the install goes on with
# what was fetched. Whether that is enough is for the install itself to tell.
update_indexes() {
  local try errors
  for try in $(seq "$update_tries"); do
    if errors=$($apt_get update -qq 2>&1 >/dev/null); then
      return 0
    fi
    if [ "$try" -lt "$update_tries" ]; then
      echo "install-deps: apt-get update failed (try $try of $update_tries), trying again in ${update_pause} s" >&2
      sleep "$update_pause"
    fi
  done
  echo "install-deps: apt-get update still fails after $update_tries tries; going on with the indexes that were fetched." >&2
  local failed
  failed=$(grep -oE 'Failed to fetch [^ ]+' <<< "$errors" | sed 's/^Failed to fetch /  /' | sort -u)
  if [ -n "$failed" ]; then
    echo "install-deps: these indexes could not be fetched (an older copy is used where there is one):" >&2
    echo "$failed" >&2
  else
    echo "$errors" >&2
  fi
}

# When the install cannot resolve, each missing package is asked alone: the ones that resolve are
# installed (a developer can still build and run the suites they serve), and the others are named
# with apt's reason for each (typically an i386 package whose amd64 twin moved ahead in an index
# that could not be fetched).
install_what_resolves() {
  local p reason
  local -a stuck=()
  for p in "$@"; do
    if reason=$($apt_get install -s "$p" 2>&1) && $apt_get install -y -qq "$p"; then
      continue
    fi
    stuck+=("$p")
    echo "install-deps: cannot install $p:" >&2
    grep -E 'Depends:|Breaks:|Conflicts:|^E:' <<< "$reason" | sed 's/^ */    /' >&2
  done
  [ ${#stuck[@]} -eq 0 ] && return 0
  echo "install-deps: not installed: ${stuck[*]}; the suites that need them cannot run." >&2
  echo "install-deps: run 'apt-get update' again once the mirror has synced, then this script." >&2
  return 1
}

update_indexes
# shellcheck disable=SC2086
if ! $apt_get install -y -qq $todo; then
  echo "install-deps: apt-get install of the whole list failed; installing package by package" >&2
  # shellcheck disable=SC2086
  install_what_resolves $todo || exit 1
fi

todo=$(missing)
if [ -n "$todo" ]; then
  echo "install-deps: still missing: $todo" >&2
  exit 1
fi
ensure_comma_locale
