#!/usr/bin/env bash
# Builds the .NET library, its tests and the .NET guide's C# program with Mono's mcs and runs them
# against the library LIB and scales the tool TOOL plays; holds the C header's records, as C
# compilers for x64 (Linux, Windows) and x86 Windows lay them out, to the C# records' layout.
#   run.sh LIB TOOL SOURCE_DIR WORK_DIR
set -euo pipefail
library=$1 tool=$2 source_dir=$3 work=$4
for program in mcs mono cc x86_64-w64-mingw32-gcc i686-w64-mingw32-gcc; do
  if ! command -v "$program" > /dev/null; then
    [ "${CI:-}" != true ] || { echo "CI: $program is missing" >&2; exit 1; }
    echo "skip: $program is not installed"
    exit 77
  fi
done
rm -rf "$work"
mkdir -p "$work"
mcs -target:library -warnaserror -out:"$work/Wsr37100.Net.dll" "$source_dir/examples/csharp/Wsr37100.cs"
mcs -warnaserror -r:"$work/Wsr37100.Net.dll" -out:"$work/scale_tests.exe" "$source_dir/tests/csharp/scale_tests.cs"
printf '<configuration><dllmap dll="wsr37100.dll" target="%s"/></configuration>\n' "$library" \
  > "$work/Wsr37100.Net.dll.config"
export LANG=C.UTF-8

mono --debug "$work/scale_tests.exe" layout 64 > "$work/layout64.c"
mono --debug "$work/scale_tests.exe" layout 32 > "$work/layout32.c"
for compiler in cc x86_64-w64-mingw32-gcc; do
  "$compiler" -fsyntax-only -I"$source_dir/include" "$work/layout64.c"
done
i686-w64-mingw32-gcc -fsyntax-only -I"$source_dir/include" "$work/layout32.c"
echo "ok   the records' layout, 64-bit (Linux, Windows) and 32-bit (Windows)"

WSR37100_TOOL="$tool" mono --debug "$work/scale_tests.exe"

# A till folder whose library is missing: the dllmap names a file that is not there.
mkdir -p "$work/till"
cp "$work/Wsr37100.Net.dll" "$work/scale_tests.exe" "$work/till/"
printf '<configuration><dllmap dll="wsr37100.dll" target="%s"/></configuration>\n' "$work/till/libwsr37100.so.6" \
  > "$work/till/Wsr37100.Net.dll.config"
mono --debug "$work/till/scale_tests.exe" no-library

# The .NET guide's program, as a reader copies it, weighs.
awk '/^## One reading$/ { section = 1 } section && /^```$/ && block { exit } block { print } section && /^```csharp$/ { block = 1 }' \
  "$source_dir/docs/dotnet.md" > "$work/readme.cs"
mcs -warnaserror -r:"$work/Wsr37100.Net.dll" -out:"$work/readme.exe" "$work/readme.cs"
"$tool" simulate --weight 7.5 --link "$work/scale" > "$work/sim.out" 2> /dev/null &
simulator=$!
trap 'kill $simulator 2> /dev/null || true' EXIT
while [ ! -s "$work/sim.out" ] && kill -0 $simulator 2> /dev/null; do sleep 0.05; done
got=$(mono "$work/readme.exe" "$(head -n 1 "$work/sim.out")")
[ "$got" = "7.500 kg" ] || { echo "FAIL the .NET guide's program: expected '7.500 kg', got '$got'" >&2; exit 1; }
echo "ok   the .NET guide's program: $got"
