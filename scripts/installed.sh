#!/usr/bin/env bash
# make install and make uninstall of the native build.
#   installed.sh install BUILD PREFIX DESTDIR RECORD   installs, then writes RECORD: every file
#       installed ("f PATH", DESTDIR included, from CMake's install_manifest.txt) and every folder
#       the install created ("d PATH"), that is, one that did not exist before.
#   installed.sh uninstall RECORD                      removes those files, then those folders
#       that are empty, deepest first. Nothing else is touched: a folder that holds anything
#       else (a configuration of the user's, /etc/wsr37100 included) stays, and so does all in it.
set -euo pipefail

case "${1:-}" in
install)
  build=$2 prefix=$3 destdir=$4 record=$5
  root="$destdir$prefix"
  root=${root%/}
  before=$(mktemp)
  trap 'rm -f "$before"' EXIT
  [ ! -d "$root" ] || find "$root" -maxdepth 5 -type d > "$before"
  DESTDIR="$destdir" cmake --install "$build" --prefix "$prefix"
  mkdir -p "$(dirname "$record")"
  manifest=$(cat "$build/install_manifest.txt")  # CMake ends its last line without a newline
  {
    sed "s#^#f $destdir#" <<< "$manifest"
    while IFS= read -r file; do
      dir=$(dirname "$destdir$file")
      while [ "${#dir}" -gt "${#root}" ] && [ "${dir#"$root"/}" != "$dir" ]; do
        grep -Fqx -- "$dir" "$before" || echo "d $dir"
        dir=$(dirname "$dir")
      done
    done <<< "$manifest" | sort -u
  } > "$record"
  ;;
uninstall)
  record=$2
  [ -f "$record" ] || { echo "nothing to uninstall: no $record (make install writes it)" >&2; exit 1; }
  while IFS= read -r line; do
    path=${line#f }
    if [ -f "$path" ] || [ -L "$path" ]; then
      rm -f -- "$path"
      echo "removed $path"
    fi
  done < <(grep '^f /' "$record")
  while IFS= read -r dir; do
    [ -d "$dir" ] && rmdir -- "$dir" 2>/dev/null && echo "removed $dir/" || true
  done < <(grep '^d /' "$record" | cut -c3- | awk '{ print gsub("/", "/"), $0 }' | sort -rn | cut -d' ' -f2-)
  rm -f -- "$record"
  ;;
*)
  echo "usage: installed.sh install BUILD PREFIX DESTDIR RECORD | uninstall RECORD" >&2
  exit 64
  ;;
esac
