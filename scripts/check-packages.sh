#!/usr/bin/env bash
# Checks that `make package` produced the .deb and the Windows .zip with what they must hold,
# and (given a second folder) that `make install DESTDIR=...` staged the same files.
set -euo pipefail
dir=$1
staged=${2:-}
deb=$(ls "$dir"/wsr37100_*.deb 2>/dev/null | head -n 1)
zip=$(ls "$dir"/wsr37100-*-windows.zip 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no .deb in $dir" >&2; exit 1; }
[ -n "$zip" ] || { echo "no Windows .zip in $dir" >&2; exit 1; }
fail() { echo "$*" >&2; exit 1; }

deb_files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for wanted in 'lib/.*libwsr37100\.so\.6\.49\.9$' 'include/wsr37100\.h$' 'include/wsr37100\.hpp$' 'bin/wsr37100$' \
              'cmake/wsr37100/wsr37100Config\.cmake$' 'pkgconfig/wsr37100\.pc$' 'share/man/man1/wsr37100\.1\.gz$' \
              'share/bash-completion/completions/wsr37100$' 'share/doc/wsr37100/copyright$' \
              'share/doc/wsr37100/changelog\.Debian\.gz$' 'lib/systemd/system/wsr37100-serve\.service$' \
              'share/wsr37100/serve\.json$'; do
  grep -Eq "$wanted" <<< "$deb_files" || fail "$deb lacks $wanted"
done
maintainer=$(dpkg-deb -f "$deb" Maintainer)
grep -Eq '^[^<>]+ <[^@<> ]+@[^@<> ]+\.[a-z]+>$' <<< "$maintainer" && ! grep -q localhost <<< "$maintainer" \
  || fail "$deb: not a maintainer field: $maintainer"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for binary in "$unpacked"/usr/bin/wsr37100 "$unpacked"/usr/lib/*libwsr37100.so.6.49.9; do
  ! readelf -S "$binary" | grep -Eq '\.(debug_info|symtab)\b' || fail "$deb: $binary is not stripped"
done
# The man page says what --help says: every option of every command.
tool="$unpacked/usr/bin/wsr37100"
man=$(zcat "$unpacked"/usr/share/man/man1/wsr37100.1.gz | sed 's/\\-/-/g')
for command in "" weigh simulate ports demo serve; do
  for option in $("$tool" $command --help | grep -Eo -- '--[a-z][a-z-]+' | sort -u); do
    grep -q -- "$option" <<< "$man" || fail "$deb: the man page lacks $command $option"
  done
done
# The service's unit: not enabled by the package, runs the installed tool; its sample configuration serves.
! grep -q 'wants/' <<< "$deb_files" || fail "$deb enables a unit"
! dpkg-deb --ctrl-tarfile "$deb" | tar -xO | grep -aq 'systemctl enable' || fail "$deb enables the service"
grep -q '^ExecStart=/usr/bin/wsr37100 serve --config /etc/wsr37100/serve.json$' \
  "$unpacked"/usr/lib/systemd/system/wsr37100-serve.service \
  || fail "$deb: the unit does not run /usr/bin/wsr37100 serve --config /etc/wsr37100/serve.json"
sed "s#/var/log/wsr37100#$unpacked/logs#" "$unpacked"/usr/share/wsr37100/serve.json > "$unpacked/serve.json"
"$tool" serve --config "$unpacked/serve.json" --port 0 > "$unpacked/served" 2>/dev/null &
serve_pid=$!
for _ in $(seq 100); do [ -s "$unpacked/served" ] && break; sleep 0.1; done
kill "$serve_pid" 2>/dev/null || true
wait "$serve_pid" || true
served=$(head -n 1 "$unpacked/served")
[[ "$served" =~ ^http://127\.0\.0\.1:[0-9]+/$ ]] || fail "$deb: the sample serve.json does not serve (${served:-nothing})"
zcat "$unpacked"/usr/share/doc/wsr37100/changelog.Debian.gz | head -n 1 | grep -q '^wsr37100 (6\.49\.9)' \
  || fail "$deb: the changelog does not start with this version"

zip_files=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
for arch in x86 x64; do
  for wanted in "/$arch/bin/wsr37100\.dll$" "/$arch/bin/wsr37100\.exe$" "/$arch/lib/libwsr37100\.dll\.a$" "/$arch/lib/wsr37100\.def$" \
                "/$arch/include/wsr37100\.h$" "/$arch/include/wsr37100\.hpp$" "/$arch/share/doc/wsr37100/README\.md$" \
                "/$arch/README-Windows\.txt$" "/$arch/share/wsr37100/serve\.json$"; do
    grep -Eq "$wanted" <<< "$zip_files" || fail "$zip lacks $wanted"
  done
done

if [ -n "$staged" ]; then
  for wanted in usr/bin/wsr37100 usr/include/wsr37100.h usr/share/man/man1/wsr37100.1.gz; do
    [ -e "$staged/$wanted" ] || fail "make install DESTDIR=$staged: no $wanted"
  done
  [ -n "$(find "$staged/usr/lib" -name libwsr37100.so.6)" ] || fail "make install DESTDIR=$staged: no libwsr37100.so.6"
  [ "$("$staged/usr/bin/wsr37100" --version)" = "wsr37100 6.49.9" ] || fail "the staged tool does not run"
fi
echo "packages ok: $(basename "$deb"), $(basename "$zip")${staged:+, make install staged in $staged}"
