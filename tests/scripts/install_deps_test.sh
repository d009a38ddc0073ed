#!/usr/bin/env bash
# scripts/install-deps.sh against a stand-in apt-get: a package index that fails its update once or
# for good (a mirror in mid-sync), and a package that then cannot be resolved.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# The stand-ins: dpkg-query answers from $work/installed, apt-get installs into it.
mkdir -p "$work/bin"
cat > "$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
state=$FAKE_STATE
case "$1" in
  update)
    n=$(cat "$state/updates" 2>/dev/null || echo 0); echo $((n + 1)) > "$state/updates"
    if [ "$n" -lt "$FAKE_UPDATE_FAILS" ]; then
      echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi ;;
  install)
    shift; simulate=0; wanted=()
    for a in "$@"; do case "$a" in -s) simulate=1;; -*) ;; *) wanted+=("$a");; esac; done
    for p in "${wanted[@]}"; do
      if [[ " $FAKE_UNRESOLVABLE " == *" $p "* ]]; then
        echo " $p : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100
      fi
    done
    [ $simulate = 1 ] || printf '%s\n' "${wanted[@]}" >> "$state/installed" ;;
esac
FAKE
cat > "$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
grep -qxF -- "${!#}" "$FAKE_STATE/installed" 2>/dev/null && echo "install ok installed"
FAKE
printf '#!/bin/sh\necho i386\n' > "$work/bin/dpkg"
printf '#!/bin/sh\necho 0\n' > "$work/bin/id"
printf '#!/bin/sh\necho pt_BR.iso88591\n' > "$work/bin/locale"
chmod +x "$work/bin/"*

# update fails N times | unresolvable | exit status | what stderr must say
rows=(
  "0|||"
  "1||0|trying again"
  "99||0|binary-i386/Packages.xz"
  "99|wine32:i386|1|cannot install wine32:i386:"
  "99|wine32:i386|1|Depends: libssl3:i386"
)
for row in "${rows[@]}"; do
  IFS='|' read -r fails unresolvable want_status want_text <<< "$row"
  want_status=${want_status:-0}
  state=$(mktemp -d -p "$work")
  FAKE_STATE=$state FAKE_UPDATE_FAILS=$fails FAKE_UNRESOLVABLE=$unresolvable PATH="$work/bin:$PATH" \
    WSR37100_APT_UPDATE_PAUSE=0 bash "$script" > "$state/out" 2> "$state/err"
  status=$?
  problem=
  [ "$status" = "$want_status" ] || problem="exit $status, not $want_status"
  [ -z "$want_text" ] || grep -qF -- "$want_text" "$state/err" || problem+=" stderr lacks '$want_text'"
  # Everything but the unresolvable package is installed, whatever the update said.
  grep -qx cmake "$state/installed" 2>/dev/null || problem+=" cmake not installed"
  if [ -n "$unresolvable" ] && grep -qx "$unresolvable" "$state/installed"; then problem+=" $unresolvable installed"; fi
  if [ -n "$problem" ]; then
    echo "FAIL update fails $fails, unresolvable '$unresolvable':$problem"; sed 's/^/  | /' "$state/err"
    failures=$((failures + 1))
  else
    echo "ok   update fails $fails, unresolvable '$unresolvable'"
  fi
done
echo "$(( ${#rows[@]} - failures )) passed, $failures failed"
[ $failures -eq 0 ]
