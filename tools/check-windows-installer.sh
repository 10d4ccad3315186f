#!/usr/bin/env bash
# Builds the Windows installer and zip from a configured Windows build folder, installs the
# program silently under Wine, runs the installed terminal front end, checks the Start-menu
# shortcut and the uninstaller, and that the uninstaller leaves nothing of the program behind.
set -euo pipefail
build=$(realpath "${1:-build/windows}")

rm -f "$build"/tr350-fwupdate-*.exe "$build"/tr350-fwupdate-*.zip
(cd "$build" && cpack >/dev/null)
installer=$(ls "$build"/tr350-fwupdate-*-win*.exe)
zip=$(ls "$build"/tr350-fwupdate-*-win*.zip)
echo "installer: $installer"
echo "zip: $zip"
listing=$(unzip -l "$zip")
for f in tr350-fwupdate.exe tr350-fwupdate-cli.exe; do
  grep -q "bin/$f" <<<"$listing" || { echo "missing from the zip: $f"; exit 1; }
done

# A prefix of its own, so that the test suite's prefix stays as it was.
export WINEPREFIX="$build/installer-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1 || true
# A silent install shows no window: Wine's null display driver needs no X.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
wineserver --wait || true

wine "$installer" /S
wineserver --wait || true
dir=$(ls -d "$WINEPREFIX/drive_c/Program Files/TR350 FW Update Tool" 2>/dev/null || true)
[[ -n "$dir" ]] || { echo "the installer created no program folder"; exit 1; }
for f in bin/tr350-fwupdate.exe bin/tr350-fwupdate-cli.exe Uninstall.exe; do
  [[ -f "$dir/$f" ]] || { echo "not installed: $f"; exit 1; }
done
shortcut=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'TR350 FW Update Tool.lnk' | head -1)
[[ -n "$shortcut" ]] || { echo "no Start-menu shortcut"; exit 1; }

info=$(wine "$dir/bin/tr350-fwupdate-cli.exe" info --json | tr -d '\r')
echo "installed tool: $info"
grep -q '"toolVersion": "1.0.1.9"' <<<"$info" || { echo "the installed tool did not answer"; exit 1; }

wine "$dir/Uninstall.exe" /S
wineserver --wait || true
# The uninstaller copies itself away and removes the folder from there: give it a moment.
for _ in $(seq 1 20); do [[ -e "$dir" ]] || break; sleep 0.5; done
if [[ -e "$dir" ]]; then
  echo "left after uninstalling:"; find "$dir"; exit 1
fi
left=$(find "$WINEPREFIX/drive_c" -name 'TR350 FW Update Tool*' | head -5)
[[ -z "$left" ]] || { echo "left after uninstalling: $left"; exit 1; }
echo "installer: installed, ran, uninstalled cleanly"
