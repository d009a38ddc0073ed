#!/usr/bin/env bash
# Installs the native build into a staging prefix, then builds and runs the host
# examples against it (C and C++ through the CMake package, C through
# pkg-config, Object Pascal with fpc, C# with Mono, Python with ctypes), each
# weighing from the tool's simulated scale.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work="$build/consumers"
stage="$work/stage"
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$stage" > /dev/null
tool="$stage/bin/wsr37100"
libdir=$(dirname "$(find "$stage" -name 'libwsr37100.so.6' | head -n 1)")

sim_pid=""
stop_scale() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; sim_pid=""; return 0; }
trap stop_scale EXIT
start_scale() {
  stop_scale
  # The last simulator's output goes first: the new one's shell truncates it only once it runs.
  rm -f "$work/sim.out"
  "$tool" simulate "$@" --link "$work/scale" > "$work/sim.out" 2> /dev/null &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && return 0; sleep 0.05; done
  echo "the simulator did not start" >&2
  return 1
}
expect() {  # expect NAME EXPECTED COMMAND...
  local name=$1 expected=$2 got
  shift 2
  got=$("$@" 2>&1) || true
  if [ "$got" != "$expected" ]; then
    echo "FAIL $name: expected '$expected', got '$got'" >&2
    exit 1
  fi
  echo "ok   $name: $got"
}

# The C sample (as the C guide builds it) compiles without a warning.
for lang in c cpp; do
  CFLAGS="-Wall -Wextra -Werror" cmake -S "$source_dir/examples/$lang" -B "$work/$lang" -DCMAKE_PREFIX_PATH="$stage" \
        -DCMAKE_BUILD_RPATH="$libdir" > /dev/null
  cmake --build "$work/$lang" > /dev/null
done
PKG_CONFIG_PATH="$libdir/pkgconfig" cc -Wall -Wextra -Werror -o "$work/c-pkgconfig" "$source_dir/examples/c/sample.c" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs wsr37100) -Wl,-rpath,"$libdir"

# The C guide's program, as a reader copies it.
sed -n '/^## The API$/,/^```$/p' "$source_dir/docs/c-host.md" | sed -n '/^```c$/,/^```$/p' | sed '1d;$d' > "$work/readme.c"
cc -Wall -Wextra -Werror -I"$stage/include" -o "$work/readme-c" "$work/readme.c" -L"$libdir" -lwsr37100 \
  -Wl,-rpath,"$libdir"

start_scale --weight 7.5
expect "C host (CMake package)" "peso: 7.500 kg" "$work/c/sample" "$work/scale"
expect "C host (pkg-config)" "peso: 7.500 kg" "$work/c-pkgconfig" "$work/scale"
expect "C++ host" "peso: 7.5 kg" "$work/cpp/sample" "$work/scale"
# The module's texts are Windows-1252.
expect "C++ host, bad baud" $'falha: \'x\' n\xe3o \xe9 um n\xfamero inteiro v\xe1lido' "$work/cpp/sample" "$work/scale" x

if command -v fpc > /dev/null; then
  mkdir -p "$work/pascal"
  fpc -Fu"$source_dir/examples/pascal" -FU"$work/pascal" -o"$work/pascal/exemplo" -Fl"$libdir" \
      -k-rpath -k"$libdir" "$source_dir/examples/pascal/exemplo.pas" > "$work/pascal/build.log" \
      || { cat "$work/pascal/build.log" >&2; exit 1; }
  expect "Object Pascal host" "peso: 7.500 kg" "$work/pascal/exemplo" "$work/scale"
  expect "Object Pascal host, empty port (nil)" "sem leitura (motivo 1)" "$work/pascal/exemplo" ""
  start_scale --status N
  expect "Object Pascal host, status" "status: -2" "$work/pascal/exemplo" "$work/scale"
  start_scale --sequence 1,2
  expect "Object Pascal host, following" "seguiu" "$work/pascal/exemplo" "$work/scale" 9600 seguir
elif [ "${CI:-}" = true ]; then
  echo "CI: fpc is missing" >&2
  exit 1
else
  echo "skip Object Pascal host: fpc not installed"
fi

# C# on the declarations the zip ships, under Mono: the records' layout is the C header's, a
# reading and a monitor's callback come through, and the module's Portuguese text decodes.
if command -v mcs > /dev/null && command -v mono > /dev/null; then
  mkdir -p "$work/csharp"
  mcs -target:library -warnaserror -out:"$work/csharp/Wsr37100.Net.dll" "$source_dir/examples/csharp/Wsr37100.cs" > /dev/null
  mcs -warnaserror -r:"$work/csharp/Wsr37100.Net.dll" -out:"$work/csharp/host.exe" "$source_dir/tests/packaging/csharp_host.cs" > /dev/null
  # The folder as a till lays it out on Windows: the program, the assembly and the native library under
  # its Windows name (Mono loads it from there, with no map); Windows names ignore case, so none may clash.
  cp "$libdir/libwsr37100.so.6" "$work/csharp/wsr37100.dll"
  clash=$(ls "$work/csharp" | tr '[:upper:]' '[:lower:]' | sort | uniq -d)
  [ -z "$clash" ] || { echo "FAIL the C# host's folder holds $clash twice, without case" >&2; exit 1; }
  cc -Wall -Wextra -Werror -I"$stage/include" -o "$work/csharp/layout" "$source_dir/tests/packaging/layout.c"
  csharp() { LANG=C.UTF-8 mono "$work/csharp/host.exe" "$@"; }
  expect "C# records" "$("$work/csharp/layout")" csharp layout
  start_scale --weight 7.5
  expect "C# host" "peso: 7.500 kg (6.49.9)" csharp "$work/scale"
  expect "C# host, following" "seguiu: 7.500 kg" csharp "$work/scale" seguir
  expect "C# host, missing port" "2 1 1: Não foi possível abrir a porta \"$work/none\": arquivo ou pasta inexistente" \
    csharp "$work/none"
elif [ "${CI:-}" = true ]; then
  echo "CI: mcs or mono is missing" >&2
  exit 1
else
  echo "skip C# host: mono not installed"
fi
stop_scale

WSR37100_LIBRARY="$libdir/libwsr37100.so.6" WSR37100_TOOL="$tool" PYTHONPATH="$source_dir/examples/python" \
  python3 -m unittest -v test_wsr37100 2>&1 | sed 's/^/     /'
test "${PIPESTATUS[0]}" -eq 0
echo "consumers: all hosts weighed"
