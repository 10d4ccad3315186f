#!/usr/bin/env bash
# Builds the Debian package from a configured build folder, checks what it holds, installs it,
# runs the installed tool, removes it again and checks that nothing of it is left. Run as root.
set -euo pipefail
build=${1:-build/default}

rm -f "$build"/tr350-fwupdate_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
# An absolute path: apt-get takes a file only as ./name or /path, and the build folder may be either.
deb=$(realpath "$(ls "$build"/tr350-fwupdate_*.deb)")
echo "package: $deb"

expected=(
  ./usr/bin/tr350-fwupdate
  ./usr/bin/tr350-fwupdate-cli
  ./usr/share/applications/tr350-fwupdate.desktop
  ./usr/share/icons/hicolor/48x48/apps/tr350-fwupdate.png
  ./usr/share/icons/hicolor/256x256/apps/tr350-fwupdate.png
  ./usr/lib/udev/rules.d/70-tr350-fwupdate.rules
)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in "${expected[@]}"; do
  grep -qx "$f" <<<"$contents" || { echo "missing from the package: $f"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || { echo "no Qt dependency"; exit 1; }

# Install, use, remove: the system must be as it was.
before=$(mktemp)
after=$(mktemp)
find /usr/bin /usr/share/applications /usr/share/icons/hicolor /usr/lib/udev/rules.d \
  2>/dev/null | sort >"$before"
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >/dev/null
/usr/bin/tr350-fwupdate-cli info --json
/usr/bin/tr350-fwupdate --version
DEBIAN_FRONTEND=noninteractive apt-get purge -y tr350-fwupdate >/dev/null
find /usr/bin /usr/share/applications /usr/share/icons/hicolor /usr/lib/udev/rules.d \
  2>/dev/null | sort >"$after"
if ! diff -u "$before" "$after"; then
  echo "the package left files behind"
  exit 1
fi
rm -f "$before" "$after"
echo "package checked: installs, runs and removes cleanly"
