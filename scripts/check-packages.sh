#!/usr/bin/env bash
# Checks that `make package` produced the .deb and the Windows .zip with what they must hold,
# that the Python module installs from the .deb and with pip, and (given a second folder) what
# `make install DESTDIR=...` staged there; with --uninstalled, what `make uninstall` left.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "$*" >&2; exit 1; }

# check-packages.sh --uninstalled STAGED: after make install and make uninstall there, only
# the user's configuration is left, and no folder the install made.
if [ "${1:-}" = --uninstalled ]; then
  left=$(cd "$2" && find . -mindepth 1 | sort | tr '\n' ' ')
  [ "$left" = "./etc ./etc/wsr37100 ./etc/wsr37100/serve.json ./usr ./usr/local " ] \
    || fail "make uninstall in $2 left: $left"
  echo "make uninstall ok: only the user's configuration is left in $2"
  exit 0
fi

dir=$1
staged=${2:-}
deb=$(ls "$dir"/wsr37100_*.deb 2>/dev/null | head -n 1)
zip=$(ls "$dir"/wsr37100-*-windows.zip 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no .deb in $dir" >&2; exit 1; }
[ -n "$zip" ] || { echo "no Windows .zip in $dir" >&2; exit 1; }

deb_files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for wanted in 'lib/.*libwsr37100\.so\.6\.49\.9$' 'include/wsr37100\.h$' 'include/wsr37100\.hpp$' 'bin/wsr37100$' \
              'cmake/wsr37100/wsr37100Config\.cmake$' 'pkgconfig/wsr37100\.pc$' 'share/man/man1/wsr37100\.1\.gz$' \
              'share/bash-completion/completions/wsr37100$' 'share/doc/wsr37100/copyright$' \
              'share/doc/wsr37100/docs/web-pos\.md$' 'share/doc/wsr37100/docs/images/status-page-weight\.png$' \
              'share/doc/wsr37100/changelog\.Debian\.gz$' 'lib/systemd/system/wsr37100-serve\.service$' \
              'share/wsr37100/serve\.json$' '/usr/lib/python3/dist-packages/wsr37100\.py$' \
              'share/wsr37100/web/wsr37100-client\.js$' 'share/wsr37100/web/wsr37100-client\.d\.ts$'; do
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
for command in "" weigh detect simulate ports demo serve browser-policy; do
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
# The changelog: Debian's format, this version first, made from CHANGELOG.md.
zcat "$unpacked"/usr/share/doc/wsr37100/changelog.Debian.gz > "$unpacked/changelog"
[ "$(dpkg-parsechangelog -l "$unpacked/changelog" -S Version)" = 6.49.9 ] \
  || fail "$deb: the changelog does not start with this version"
for told in 'wsr37100 serve' 'monitor' 'tcp://' 'rfc2217://'; do
  grep -qF -- "$told" "$unpacked/changelog" || fail "$deb: the changelog does not tell of $told"
done
# The copyright: machine-readable, the MIT (Expat) license of LICENSE, word for word.
copyright="$unpacked"/usr/share/doc/wsr37100/copyright
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' "$copyright" \
  && grep -q '^Files: \*$' "$copyright" && grep -q '^License: Expat$' "$copyright" \
  && grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$source_dir/LICENSE")" "$copyright" \
  || fail "$deb: the copyright file is not the MIT license in Debian's format"
diff <(sed -n '/^Permission/,$p' "$source_dir/LICENSE") \
     <(sed -n '/^ Permission/,$p' "$copyright" | sed 's/^ //; s/^\.$//') > /dev/null \
  || fail "$deb: the copyright file's license text is not LICENSE's"
# The Python module, for Debian's Python: it loads the library where the system's loader finds it.
libdir=$(dirname "$(find "$unpacked/usr/lib" -name libwsr37100.so.6 | head -n 1)")
found=$(env -u WSR37100_LIBRARY LD_LIBRARY_PATH="$libdir" PYTHONPATH="$unpacked/usr/lib/python3/dist-packages" \
  /usr/bin/python3 -c 'import wsr37100; print(wsr37100.__file__, wsr37100.Library().version())')
[ "$found" = "$unpacked/usr/lib/python3/dist-packages/wsr37100.py 6.49.9" ] \
  || fail "$deb: Debian's Python does not load the packaged module and library (${found:-nothing})"
# pip installs examples/python offline (no build isolation, no index), LICENSE included, at this version.
cp -rL "$source_dir/examples/python" "$unpacked/python-source"
/usr/bin/python3 -m pip install -q --root-user-action=ignore --no-build-isolation --no-index \
  --target "$unpacked/pip" "$unpacked/python-source" > /dev/null || fail "pip cannot install examples/python"
[ -f "$unpacked/pip/wsr37100-6.49.9.dist-info/LICENSE" ] || fail "pip's wsr37100 6.49.9 lacks the license"
found=$(env -u WSR37100_LIBRARY LD_LIBRARY_PATH="$libdir" PYTHONPATH="$unpacked/pip" \
  /usr/bin/python3 -c 'import wsr37100; print(wsr37100.Library().version())')
[ "$found" = 6.49.9 ] || fail "the module pip installed does not load the library (${found:-nothing})"
# The same in a fresh virtual environment, which has pip but no wheel package (nor, from Python 3.12, setuptools).
if /usr/bin/python3 -m venv "$unpacked/venv" > /dev/null 2>&1; then
  "$unpacked/venv/bin/python" -m pip install -q --no-build-isolation --no-index "$unpacked/python-source" > /dev/null \
    && [ "$(cd / && "$unpacked/venv/bin/python" -c 'import wsr37100, importlib.metadata as m; print(m.version("wsr37100"))')" = 6.49.9 ] \
    || fail "pip in a fresh virtual environment cannot install examples/python offline"
elif [ "${CI:-}" = true ]; then
  fail "CI: python3 -m venv (python3-venv) is missing"
else
  echo "skip the fresh virtual environment: python3 -m venv fails" >&2
fi

zip_files=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
for arch in x86 x64; do
  for wanted in "/$arch/bin/wsr37100\.dll$" "/$arch/bin/wsr37100\.exe$" "/$arch/lib/libwsr37100\.dll\.a$" "/$arch/lib/wsr37100\.def$" \
                "/$arch/include/wsr37100\.h$" "/$arch/include/wsr37100\.hpp$" "/$arch/share/doc/wsr37100/README\.md$" \
                "/$arch/README-Windows\.txt$" "/$arch/share/wsr37100/serve\.json$" "/$arch/LICENSE\.txt$" \
                "/$arch/examples/pascal/wsr37100\.pas$" "/$arch/examples/csharp/Wsr37100\.cs$" \
                "/$arch/share/wsr37100/web/wsr37100-client\.js$" "/$arch/share/wsr37100/web/wsr37100-client\.d\.ts$"; do
    grep -Eq "$wanted" <<< "$zip_files" || fail "$zip lacks $wanted"
  done
done
mkdir "$unpacked/zip"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$unpacked/zip"
for arch_dir in "$unpacked"/zip/*/x86 "$unpacked"/zip/*/x64; do
  # Every file the quick start names (x86\bin\wsr37100.dll, lib\wsr37100.def, ...) is in the zip.
  for named in $(grep -Eo '[A-Za-z0-9_]+(\\[A-Za-z0-9_.-]+)+' "$arch_dir/README-Windows.txt" | sort -u); do
    path=${named//\\//}; path=${path%.}
    [ -e "$arch_dir/$path" ] || [ -e "$arch_dir/../$path" ] || fail "$zip: README-Windows.txt names $named, not in the zip"
  done
  tr -d '\r' < "$arch_dir/LICENSE.txt" | cmp -s - "$source_dir/LICENSE" || fail "$zip: LICENSE.txt is not LICENSE"
  # Every relative link of the shipped README (the guides, their images, the license, the changes) opens.
  readme_dir="$arch_dir/share/doc/wsr37100"
  for link in $(grep -Eo '\]\([^)#[:space:]]+' "$readme_dir/README.md" | cut -c3- | grep -Ev '^[a-z]+:' | sort -u); do
    [ -f "$readme_dir/$link" ] || fail "$zip: README.md links $link, not in the zip"
  done
  # Every export of the DLL has its C# and Object Pascal declaration.
  for export in $(tr -d '\r' < "$arch_dir/lib/wsr37100.def" | awk '/^EXPORTS/ { e = 1; next } e && NF { sub(/@.*/, "", $1); print $1 }'); do
    grep -Eq "(extern .* $export\(|EntryPoint = \"$export\")" "$arch_dir/examples/csharp/Wsr37100.cs" \
      || fail "$zip: the C# declarations lack $export"
    grep -Eq "^(function|procedure) $export\b" "$arch_dir/examples/pascal/wsr37100.pas" \
      || fail "$zip: the Object Pascal unit lacks $export"
  done
  # A host's folder on Windows, where names ignore case, holds the DLL the declarations load and
  # every assembly and configuration file the documents have a host build or put beside it.
  declarations="$arch_dir/examples/csharp/Wsr37100.cs"
  grep -q -- '-out:' "$declarations" || fail "$zip: examples/csharp/Wsr37100.cs names no assembly to build"
  beside=$({ sed -n 's/.*Biblioteca = "\([^"]*\)".*/\1/p' "$declarations"
             cat "$declarations" "$arch_dir/README-Windows.txt" "$arch_dir/share/doc/wsr37100/README.md" | tr -d '\r' \
               | grep -Eo -- '-out:[A-Za-z0-9_.-]+\.(dll|exe)|[A-Za-z0-9_.-]+\.dll\.config' | sed 's/^-out://'; } | sort -u)
  clash=$(tr '[:upper:]' '[:lower:]' <<< "$beside" | sort | uniq -d)
  [ -z "$clash" ] || fail "$zip: a host's folder would hold $(grep -ixF "$clash" <<< "$beside" | tr '\n' ' ')(names equal without case)"
done
# The C# declarations compile (Mono's compiler), so a slip fails here rather than in a host.
if command -v mcs > /dev/null; then
  mcs -target:library -warnaserror -out:"$unpacked/Wsr37100.Net.dll" "$arch_dir/examples/csharp/Wsr37100.cs" > /dev/null \
    || fail "$zip: examples/csharp/Wsr37100.cs does not compile"
elif [ "${CI:-}" = true ]; then
  fail "CI: mcs (mono-mcs) is missing"
else
  echo "skip the C# compile: mcs not installed" >&2
fi

# The installer for 64-bit Windows, by its tables: every file in its folder, the service installed,
# started and removed only with SERVICE=1, the program folder on the system PATH, the upgrade of any
# older version in place (the UpgradeCode of cmake/windows/wsr37100.wxs), this version.
version=$(sed -n 's/^project.wsr37100 VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
msi="$dir/wsr37100-$version-windows-x64.msi"
if [ -f "$msi" ]; then
  upgrade_code=$(grep -o 'UpgradeCode="[^"]*"' "$source_dir/cmake/windows/wsr37100.wxs" | cut -d'"' -f2)
  mkdir "$unpacked/msi" "$unpacked/streams"
  msi_path=$(realpath "$msi")
  for table in File Component Directory ServiceInstall ServiceControl Environment Upgrade Property \
               InstallExecuteSequence LaunchCondition CustomAction Registry Binary CreateFolder MsiLockPermissionsEx; do
    # From a folder of its own: a table with binary data (Binary) is exported with a file per stream there.
    (cd "$unpacked/streams" && msiinfo export "$msi_path" "$table") | tr -d '\r' | tail -n +4 > "$unpacked/msi/$table" \
      || fail "$msi: no $table table"
  done
  python3 - "$unpacked/msi" "$version" "{$upgrade_code}" "$source_dir" <<'CHECK' || fail "$msi: its tables are not those of the installer"
import os, sys
folder, version, upgrade_code, source = sys.argv[1:]
# The guides and their images, beside the README as its links have them.
guides = ["docs/" + name for name in os.listdir(os.path.join(source, "docs")) if name.endswith(".md")] + \
    ["docs/images/" + name for name in os.listdir(os.path.join(source, "docs", "images"))]
def rows(table):
    with open(os.path.join(folder, table)) as text:
        return [line.rstrip("\n").split("\t") for line in text if line.strip()]
problems = []
def expect(what, found, wanted):
    if found != wanted:
        problems.append("%s: %r, not %r" % (what, found, wanted))
directories = {row[0]: (row[1], row[2].split("|")[-1]) for row in rows("Directory")}
def path(directory):
    parent, name = directories[directory]
    return "" if directory == "INSTALLDIR" else path(parent) + name + "/"
components = {row[0]: row for row in rows("Component")}
files = sorted(path(components[row[1]][2]) + row[2].split("|")[-1] for row in rows("File"))
expect("files", files, sorted(guides + ["wsr37100.exe", "wsr37100.exe", "x64/wsr37100.dll", "x86/wsr37100.dll",
                               "README.md", "LICENSE", "CHANGELOG.md", "LICENSE.txt", "serve.json", "openapi.json", "sdk/include/wsr37100.h",
                               "sdk/include/wsr37100.hpp", "sdk/include/wsr37100_falha.hpp",
                               "sdk/include/wsr37100_export.h",
                               "sdk/lib/x64/libwsr37100.dll.a", "sdk/lib/x64/wsr37100.def",
                               "sdk/lib/x86/libwsr37100.dll.a", "sdk/lib/x86/wsr37100.def",
                               "sdk/examples/Wsr37100.cs", "sdk/examples/wsr37100.pas",
                               "web/wsr37100-client.js", "web/wsr37100-client.d.ts"]))
expect("the program folder", directories["INSTALLDIR"], ("ProgramFiles64Folder", "wsr37100"))
# Every component 64-bit, with its own stable Guid; the tool's two exclusive on SERVICE.
expect("components without a Guid", [name for name, row in components.items() if len(row[1]) != 38], [])
expect("32-bit components", [name for name, row in components.items() if not int(row[3]) & 256], [])
tools = {row[0]: row[4] for row in components.values() if row[5] in
         [file[0] for file in rows("File") if file[2].split("|")[-1] == "wsr37100.exe"]}
expect("the tool's components", tools, {"Tool": 'SERVICE <> "1"', "ToolService": 'SERVICE = "1"'})
services = [(row[1], row[3], row[4], row[10], row[11]) for row in rows("ServiceInstall")]
expect("ServiceInstall", services, [("wsr37100", "16", "2",
                                     "serve --windows-service wsr37100[SCALE_ARGUMENT][CONFIG_ARGUMENT][ORIGIN_ARGUMENT]",
                                     "ToolService")])
# Events: start on install (1), stop on install and on uninstall (2, 32), delete on install and on uninstall (8, 128).
expect("ServiceControl", [(row[1], row[2], row[5]) for row in rows("ServiceControl")], [("wsr37100", "171", "ToolService")])
actions = {row[0]: row[3] for row in rows("CustomAction")}
expect("the service's arguments", (actions.get("ScaleArgument"), actions.get("ConfigArgument"), actions.get("OriginArgument")),
       (' --scale "[SCALES]"', ' --config "[CONFIG]"', ' --allow-origin "[ALLOW_ORIGINS]"'))
sequence = {row[0]: (row[1], int(row[2])) for row in rows("InstallExecuteSequence")}
# The settings of the installed version recalled, then the arguments made, before the launch conditions.
steps = ["RecallService", "RecallPair", "RecallScales", "RecallConfig", "RecallOrigins", "RecallPortals", "ScaleArgument",
         "ConfigArgument", "OriginArgument"]
expect("the recalls and arguments in order", sorted(steps, key=lambda name: sequence.get(name, ("", 10 ** 6))[1]), steps)
expect("recalls and arguments out of place", [name for name in steps if not sequence.get("AppSearch", ("", 0))[1]
       < sequence.get(name, ("", 10 ** 6))[1] < sequence["LaunchConditions"][1]], [])
expect("recalls and arguments not immediate property settings", [name for name in steps
       if [row[1] for row in rows("CustomAction") if row[0] == name] != ["51"]], [])
# SCALES and CONFIG are recalled together, and only when neither was given.
expect("the recalls' conditions", [sequence.get(name, ("",))[0] for name in steps[:6]],
       ["NOT SERVICE AND INSTALLED_SERVICE", "NOT SCALES AND NOT CONFIG", "Recalling AND INSTALLED_SCALES",
        "Recalling AND INSTALLED_CONFIG", "NOT ALLOW_ORIGINS AND INSTALLED_ALLOW_ORIGINS",
        "NOT PORTAL_ORIGINS AND INSTALLED_PORTAL_ORIGINS"])
# The quote and the backslash are private properties: a command line cannot empty them.
expect("the launch condition on quotes", [row[0] for row in rows("LaunchCondition") if "Quote" in row[0]],
       ["NOT (SCALES >< Quote OR SCALES >> Backslash OR CONFIG >< Quote OR CONFIG >> Backslash OR ALLOW_ORIGINS >< Quote "
        "OR ALLOW_ORIGINS >> Backslash OR PORTAL_ORIGINS >< Quote OR PORTAL_ORIGINS >> Backslash)"])
expect("the quote's properties", [row[0] for row in rows("Property") if row[0] in ("Quote", "Backslash")], ["Quote", "Backslash"])
expect("Environment", [row[1:] for row in rows("Environment")], [["=-*PATH", "[~];[INSTALLDIR]", "Documents"]])
expect("the PATH's component unconditioned", components["Documents"][4], "")
# No DLL in the folder on the PATH: the tool carries the library inside.
expect("DLLs on the PATH", [name for name in files if "/" not in name and name.endswith(".dll")], [])
expect("environment actions", [name for name in ("WriteEnvironmentStrings", "RemoveEnvironmentStrings") if name not in sequence], [])
expect("the Event Log source removed with the service", [row[2:] for row in rows("Registry") if row[3] == "-"],
       [["SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\wsr37100", "-", "", "ToolService"]])
properties = {row[0]: row[1] for row in rows("Property")}
expect("UpgradeCode", properties.get("UpgradeCode"), upgrade_code)
expect("ProductVersion", properties.get("ProductVersion"), version)
expect("Upgrade", sorted((row[0], row[1], row[2], row[4], row[6]) for row in rows("Upgrade")),
       [(upgrade_code, "", version, "513", "WIX_UPGRADE_DETECTED"), (upgrade_code, version, "", "2", "WIX_DOWNGRADE_DETECTED")])
expect("RemoveExistingProducts", "RemoveExistingProducts" in sequence, True)
# The service's settings checked by the tool before anything changes; the old version removed once the new is in.
expect("the settings' check", ([row[1:4] for row in rows("CustomAction") if row[0] == "CheckSettings"],
       [row[0] for row in rows("Binary")], sequence.get("CheckSettings")),
       ([["2", "CheckTool", "serve --check[SCALE_ARGUMENT][CONFIG_ARGUMENT][ORIGIN_ARGUMENT]"]], ["CheckTool"],
        ('SERVICE = "1" AND NOT Installed AND NOT REMOVE', sequence["LaunchConditions"][1] + 1)))
expect("the check before the install", sequence.get("CheckSettings", ("", 10 ** 6))[1] < sequence["InstallValidate"][1], True)
# ALLOW_ORIGINS: checked for the browsers' policy before anything changes; the policy written by the tool as the
# system (deferred, not impersonated) once the old version is removed, and removed on uninstall but not by an upgrade.
policy = {row[0]: row[1:4] for row in rows("CustomAction") if "Origins" in row[0] or "BrowserPolicy" in row[0]}
expect("the browsers' policy actions", (policy, {name: sequence.get(name) for name in policy}),
       ({"RecallOrigins": ["51", "ALLOW_ORIGINS", "[INSTALLED_ALLOW_ORIGINS]"],
         "CheckOrigins": ["2", "CheckTool", 'browser-policy "[ALLOW_ORIGINS]" --framed-by "[PORTAL_ORIGINS]"'],
         "WriteBrowserPolicy": ["3074", "CheckTool",
                                'browser-policy --install "[ALLOW_ORIGINS]" --framed-by "[PORTAL_ORIGINS]"'],
         "RemoveBrowserPolicy": ["3074", "CheckTool", "browser-policy --remove"]},
        {"RecallOrigins": sequence.get("RecallOrigins"),
         "CheckOrigins": ("ALLOW_ORIGINS AND NOT REMOVE", sequence["LaunchConditions"][1] + 2),
         "WriteBrowserPolicy": ("ALLOW_ORIGINS AND NOT REMOVE", 6500),
         "RemoveBrowserPolicy": ('REMOVE = "ALL" AND NOT UPGRADINGPRODUCTCODE', 1550)}))
expect("the policy written after the old version's removal, removed before the files",
       (sequence["RemoveExistingProducts"][1] < 6500 < sequence["InstallFinalize"][1],
        sequence["InstallInitialize"][1] < 1550 < sequence["RemoveFiles"][1]), (True, True))
expect("ALLOW_ORIGINS and PORTAL_ORIGINS secure properties",
       {"ALLOW_ORIGINS", "PORTAL_ORIGINS"} <= set(properties.get("SecureCustomProperties", "").split(";")), True)
expect("the old version removed after the new one is in place, before it is published",
       sequence["StartServices"][1] < sequence.get("RemoveExistingProducts", ("", 0))[1] < sequence["PublishProduct"][1], True)
# The program folder's permissions, wherever it is: its own, SYSTEM's and the administrators' to change, the users' to run.
expect("the program folder's permissions", ([row for row in rows("CreateFolder")], rows("MsiLockPermissionsEx"),
       "CreateFolders" in sequence), ([["INSTALLDIR", "Documents"]], [["ProgramFolder", "INSTALLDIR", "CreateFolder",
       "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", ""]], True))
print("\n".join(problems), file=sys.stderr)
sys.exit(1 if problems else 0)
CHECK
elif [ "${CI:-}" = true ]; then
  fail "CI: no $msi"
else
  echo "skip the installer: no $msi" >&2
fi

# The JavaScript client's npm package: its module, declarations (with the types generated from the
# service's OpenAPI description), README and license, of the project's version; it loads in Node with
# nothing else installed.
npm_package="$dir/wsr37100-client-6.49.9.tgz"
if [ -f "$npm_package" ]; then
  npm_files=$(tar -tzf "$npm_package" | sort)
  for wanted in package/package.json package/README.md package/LICENSE package/src/index.js package/src/index.d.ts \
                package/src/follower.js package/src/event-stream.js package/generated/openapi.d.ts; do
    grep -qx "$wanted" <<< "$npm_files" || fail "$npm_package lacks $wanted"
  done
  ! grep -Eq '^package/(test|node_modules)/' <<< "$npm_files" || fail "$npm_package holds its tests or node_modules"
  mkdir "$unpacked/npm" && tar -xzf "$npm_package" -C "$unpacked/npm"
  (cd / && node --input-type=module -e "const m = await import('$unpacked/npm/package/src/index.js');
    if (typeof m.createClient !== 'function' || typeof m.NoReadingError !== 'function') process.exit(1);") \
    || fail "$npm_package: its module does not load in Node"
  # The single-file module the packages ship beside it: the same exports, with nothing beside it.
  single="$unpacked/npm/package/dist/wsr37100-client.js"
  [ -f "$single" ] || fail "$npm_package lacks package/dist/wsr37100-client.js"
  mkdir "$unpacked/single" && cp "$single" "$unpacked/single/"
  (cd / && node --input-type=module -e "const m = await import('$unpacked/single/wsr37100-client.js');
    if (typeof m.createClient !== 'function' || typeof m.LocalNetworkAccessError !== 'function') process.exit(1);") \
    || fail "the single-file client does not load on its own"
elif [ "${CI:-}" = true ]; then
  fail "CI: no $npm_package"
else
  echo "skip the JavaScript client: no $npm_package" >&2
fi

# make install with the default prefix, /usr/local, staged: the unit runs that tool on the
# configuration the operations guide has the user create, /etc/wsr37100/serve.json.
if [ -n "$staged" ]; then
  for wanted in usr/local/bin/wsr37100 usr/local/include/wsr37100.h usr/local/share/man/man1/wsr37100.1.gz \
                usr/local/share/doc/wsr37100/copyright usr/local/share/wsr37100/serve.json; do
    [ -e "$staged/$wanted" ] || fail "make install DESTDIR=$staged: no $wanted"
  done
  [ -n "$(find "$staged/usr/local/lib" -name libwsr37100.so.6)" ] || fail "make install DESTDIR=$staged: no libwsr37100.so.6"
  [ "$("$staged/usr/local/bin/wsr37100" --version)" = "wsr37100 6.49.9" ] || fail "the staged tool does not run"
  grep -q '^ExecStart=/usr/local/bin/wsr37100 serve --config /etc/wsr37100/serve.json$' \
    "$staged/usr/local/lib/systemd/system/wsr37100-serve.service" \
    || fail "make install DESTDIR=$staged: the unit does not run /usr/local/bin/wsr37100 on /etc/wsr37100/serve.json"
fi
[ -f "$npm_package" ] || npm_package=
echo "packages ok: $(basename "$deb"), $(basename "$zip")${msi:+, $(basename "$msi")}${npm_package:+, $(basename "$npm_package")}${staged:+, make install staged in $staged}"
