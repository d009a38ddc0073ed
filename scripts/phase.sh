#!/usr/bin/env bash
# Times one phase of the build and tests, so every run shows where its minutes go.
#   phase.sh FILE NAME COMMAND [ARG...]  runs COMMAND, appends "NAME<TAB>seconds<TAB>status" to FILE,
#                                        and exits with COMMAND's status
#   phase.sh --table FILE [BUILD...]     prints the phases of FILE (a name's runs added up, in the
#                                        order first run) and the ten slowest test cases of the
#                                        ctest runs in the BUILD folders
set -uo pipefail

if [ "${1:-}" = --table ]; then
  file=$2
  shift 2
  [ -f "$file" ] || exit 0
  echo
  echo "Phases (seconds, wall clock):"
  awk -F '\t' '
    !($1 in secs) { order[++n] = $1 }
    { secs[$1] += $2; if ($3 != 0) failed[$1] = 1; total += $2 }
    END {
      for (i = 1; i <= n; i++) printf "  %-34s %6d%s\n", order[i], secs[order[i]], (order[i] in failed) ? "  (failed)" : ""
    }' "$file"
  costs=()
  for build in "$@"; do
    [ -f "$build/Testing/Temporary/CTestCostData.txt" ] && costs+=("$build/Testing/Temporary/CTestCostData.txt")
  done
  if [ ${#costs[@]} -gt 0 ]; then
    echo "Slowest test cases (seconds, the average of their runs):"
    for cost in "${costs[@]}"; do
      build=$(basename "$(dirname "$(dirname "$(dirname "$cost")")")")
      awk -v build="$build" '$1 == "---" { exit } NF == 3 { printf "%10.1f  %s: %s\n", $3, build, $1 }' "$cost"
    done | sort -rn | head -n 10
  fi
  exit 0
fi

file=$1
name=$2
shift 2
mkdir -p "$(dirname "$file")"
start=$(date +%s)
"$@"
status=$?
printf '%s\t%s\t%s\n' "$name" "$(( $(date +%s) - start ))" "$status" >> "$file"
exit $status
