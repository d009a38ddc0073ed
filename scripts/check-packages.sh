#!/usr/bin/env bash
# Checks that `make package` produced the .deb and the Windows .zip with what they must hold.
set -euo pipefail
dir=$1
deb=$(ls "$dir"/wsr37100_*.deb 2>/dev/null | head -n 1)
zip=$(ls "$dir"/wsr37100-*-windows.zip 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no .deb in $dir" >&2; exit 1; }
[ -n "$zip" ] || { echo "no Windows .zip in $dir" >&2; exit 1; }

deb_files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for wanted in 'lib/.*libwsr37100\.so\.6\.49\.9$' 'include/wsr37100\.h$' 'include/wsr37100\.hpp$' 'bin/wsr37100$' \
              'cmake/wsr37100/wsr37100Config\.cmake$' 'pkgconfig/wsr37100\.pc$'; do
  grep -Eq "$wanted" <<< "$deb_files" || { echo "$deb lacks $wanted" >&2; exit 1; }
done

zip_files=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
for arch in x86 x64; do
  for wanted in "/$arch/bin/wsr37100\.dll$" "/$arch/bin/wsr37100\.exe$" "/$arch/lib/libwsr37100\.dll\.a$" "/$arch/lib/wsr37100\.def$" \
                "/$arch/include/wsr37100\.h$" "/$arch/include/wsr37100\.hpp$" "/$arch/share/doc/wsr37100/README\.md$"; do
    grep -Eq "$wanted" <<< "$zip_files" || { echo "$zip lacks $wanted" >&2; exit 1; }
  done
done
echo "packages ok: $(basename "$deb"), $(basename "$zip")"
