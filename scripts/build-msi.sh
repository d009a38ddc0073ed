#!/usr/bin/env bash
# build-msi.sh OUT.msi VERSION WIN64_BUILD WIN32_BUILD: the 64-bit Windows installer
# (cmake/windows/wsr37100.wxs) from the two Windows builds, installed stripped into a staging
# folder beside OUT.msi. wixl writes the package; msibuild adds what wixl has no element for:
# the tool's folder on the system PATH, and the service's Event Log source removed with it.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1") version=$2 win64=$3 win32=$4
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "build-msi.sh: not a version: $version" >&2; exit 64; }

stage="$out.staged"
rm -rf "$stage"
# No half-made package is left behind.
trap 'status=$?; rm -rf "$stage"; [ $status -eq 0 ] || rm -f "$out"' EXIT
cmake --install "$win64" --prefix "$stage/x64" --strip > /dev/null
cmake --install "$win32" --prefix "$stage/x86" --strip > /dev/null
# Windows line ends for the files a person opens in Notepad.
sed 's/\r*$/\r/' "$source_dir/tools/service/serve-windows.json" > "$stage/serve.json"

# wixl takes each file's Source relative to the folder it runs in.
(cd "$stage" && wixl -a x64 -D VERSION="$version" -D X64=x64 -D X86=x86 -D SAMPLE=serve.json \
  -o "$out" "$source_dir/cmake/windows/wsr37100.wxs")
# What wixl has no element for, added with msibuild. The tool's two components: one of them is
# installed, the one with the service when SERVICE=1. The launch conditions: SERVICE=1 needs a
# scale or a configuration file, and neither may hold a quote or end with a backslash, which
# would end the argument it stands in on the service's command line (the quote and the backslash
# are private properties, which a command line cannot set). Each build has a product
# code of its own: another build of the installed version replaces it too (the upgrade's highest
# version inclusive, 512, with feature states migrated, 1). The properties given to
# the installed version are recalled (type 51 actions) before those conditions are checked.
# Environment: PATH gets the program folder last on install ('=' with [~] appends, '*' the
# system's variable) and loses it on uninstall ('-'). Registry: '-' as the name deletes the
# key when the service's component goes; the service writes that key at each start.
# CheckSettings: the tool in the Binary table (type 2, waited for, its exit status checked) runs
# `serve --check` on the service's settings before anything is changed. The installed version is
# removed only once this one is in place, its files, components and service started (6350: after
# StartServices and RegisterProduct), so a failure before leaves it registered; and before this one
# is published (PublishProduct, 6400), as Wine's removal of the old version deletes the upgrade
# code's whole registration, which the next upgrade needs to find this one. The service is deleted
# and made again on install (events 1 start, 2 stop, 8 delete on install; 32 stop, 128 delete on
# uninstall), so an upgrade's settings reach it.
# ALLOW_ORIGINS (with PORTAL_ORIGINS, the portals that frame those pages, listed in the policy too):
# the same tool checks the origins for the browsers' policy (CheckOrigins, right after
# the settings, before anything is changed), writes the policy (WriteBrowserPolicy: deferred, not
# impersonated, 2 + 1024 + 2048; after the old version's removal, which removes the entries that
# version added, and it adds the same ones again) and removes the entries it added on uninstall
# (RemoveBrowserPolicy), but not when an upgrade removes this version.
# The program folder's permissions, wherever INSTALLDIR points: its own (not inherited from, say,
# C:\), full control for SYSTEM and the administrators, read and run for the users, on the folder,
# its subfolders and files; the folder is on the system PATH and holds a LocalSystem service's program.
upgrade_code=$(grep -o 'UpgradeCode="[^"]*"' "$source_dir/cmake/windows/wsr37100.wxs" | cut -d'"' -f2)
sql=(
  "UPDATE \`Component\` SET \`Condition\` = 'SERVICE <> \"1\"' WHERE \`Component\` = 'Tool'"
  "UPDATE \`Component\` SET \`Condition\` = 'SERVICE = \"1\"' WHERE \`Component\` = 'ToolService'"
  "INSERT INTO \`LaunchCondition\` (\`Condition\`, \`Description\`) VALUES ('Installed OR SERVICE <> \"1\" OR SCALES OR CONFIG', 'SERVICE=1 needs SCALES=NAME=PORT[:BAUD][,OPTION...] or CONFIG=FILE.')"
  "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('Quote', '\"')"
  "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('Backslash', '\\')"
  "INSERT INTO \`LaunchCondition\` (\`Condition\`, \`Description\`) VALUES ('NOT (SCALES >< Quote OR SCALES >> Backslash OR CONFIG >< Quote OR CONFIG >> Backslash OR ALLOW_ORIGINS >< Quote OR ALLOW_ORIGINS >> Backslash OR PORTAL_ORIGINS >< Quote OR PORTAL_ORIGINS >> Backslash)', 'SCALES, CONFIG, ALLOW_ORIGINS and PORTAL_ORIGINS may not hold a quote nor end with a backslash.')"
  "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
  "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('{$upgrade_code}', '$version', 513, 'WIX_UPGRADE_DETECTED')"
  "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;SERVICE;SCALES;CONFIG;ALLOW_ORIGINS;PORTAL_ORIGINS' WHERE \`Property\` = 'SecureCustomProperties'"
  "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)"
  "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('Path', '=-*PATH', '[~];[INSTALLDIR]', 'Documents')"
  "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventLogSource', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\wsr37100', '-', 'ToolService')"
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('CheckSettings', 2, 'CheckTool', 'serve --check[SCALE_ARGUMENT][CONFIG_ARGUMENT][ORIGIN_ARGUMENT]')"
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('CheckOrigins', 2, 'CheckTool', 'browser-policy \"[ALLOW_ORIGINS]\" --framed-by \"[PORTAL_ORIGINS]\"')"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('CheckOrigins', 'ALLOW_ORIGINS AND NOT REMOVE', 102)"
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('WriteBrowserPolicy', 3074, 'CheckTool', 'browser-policy --install \"[ALLOW_ORIGINS]\" --framed-by \"[PORTAL_ORIGINS]\"')"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('WriteBrowserPolicy', 'ALLOW_ORIGINS AND NOT REMOVE', 6500)"
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('RemoveBrowserPolicy', 3074, 'CheckTool', 'browser-policy --remove')"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('RemoveBrowserPolicy', 'REMOVE = \"ALL\" AND NOT UPGRADINGPRODUCTCODE', 1550)"
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 6350 WHERE \`Action\` = 'RemoveExistingProducts'"
  "UPDATE \`ServiceControl\` SET \`Event\` = 171 WHERE \`ServiceControl\` = 'Service'"
  "INSERT INTO \`CreateFolder\` (\`Directory_\`, \`Component_\`) VALUES ('INSTALLDIR', 'Documents')"
  "CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL, \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`SDDLText\` LONGCHAR NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`MsiLockPermissionsEx\`)"
  "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDLText\`) VALUES ('ProgramFolder', 'INSTALLDIR', 'CreateFolder', 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)')"
)
# The recalls and arguments right after AppSearch (50), before LaunchConditions (100); plain
# immediate type 51 actions.
sequence=51
for action in RecallService RecallPair RecallScales RecallConfig RecallOrigins RecallPortals ScaleArgument ConfigArgument \
              OriginArgument; do
  sql+=("UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = $sequence WHERE \`Action\` = '$action'"
        "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Action\` = '$action'")
  sequence=$((sequence + 1))
done
sql+=("INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveFolders', 3600)"
      "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('CreateFolders', 3700)"
      "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)"
      "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)")
for query in "${sql[@]}"; do
  msibuild "$out" -q "$query"
done
