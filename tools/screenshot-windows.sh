#!/bin/bash
# Screenshots of the Windows program's window, run under Wine on a virtual X screen with --simulate,
# in each language: English, Chinese (Traditional) and Japanese, each after the first verdict.
#
#   tools/screenshot-windows.sh BUILD/app/win32/tr350-fwupdate.exe OUTPUT_DIR [SCENARIO]
#
# Needs wine, Xvfb, ImageMagick's import and the Noto CJK fonts (Debian: wine, xvfb, imagemagick,
# fonts-noto-cjk). The Wine prefix and the locales Wine reads the language from are kept in
# OUTPUT_DIR/.wine-screens; nothing outside OUTPUT_DIR is changed.
set -euo pipefail

exe="$(realpath "$1")"
out="$(mkdir -p "$2" && realpath "$2")"
scenario="${3:-flash-old}"
work="$out/.wine-screens"
mkdir -p "$work"

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine takes the user's language from the C library's locale: compile the three into a folder of
# our own rather than into the system.
export LOCPATH="$work/locales"
mkdir -p "$LOCPATH"
for name in en_US zh_TW ja_JP; do
  [[ -d "$LOCPATH/$name.UTF-8" ]] || localedef -i "$name" -f UTF-8 "$LOCPATH/$name.UTF-8"
done

display=":57"
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY="$display"
sleep 1

if [[ ! -f "$WINEPREFIX/.ready" ]]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver --wait || true
  touch "$WINEPREFIX/.ready"
fi

substitute() {  # the dialogs' "MS Shell Dlg" and the message boxes' Tahoma as a face with CJK glyphs
  local face="$1" key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  for from in "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "MS Sans Serif"; do
    wine reg add "$key" /v "$from" /d "$face" /f >/dev/null 2>&1
  done
  wineserver --wait || true
}

shoot() {  # LOCALE NAME FACE
  local locale="$1" name="$2" face="$3"
  substitute "$face"
  # In a Wine desktop window of its own, which draws the frames (the screen has no window
  # manager): the caption, its icon and the title show as on Windows.
  LC_ALL="$locale" LANG="$locale" wine explorer /desktop=tr350,640x360 "$exe" \
    "--simulate=$scenario" >/dev/null 2>&1 &
  local program=$!
  # The window comes up, the demo reader answers at a real reader's pace: the verdict is shown
  # after a few seconds.
  sleep 8
  import -window root -crop 640x360+0+0 "$out/win-$name.png"
  wineserver -k >/dev/null 2>&1 || true
  wait "$program" || true
  echo "$out/win-$name.png"
}

shoot en_US.UTF-8 en "Noto Sans CJK JP"
shoot zh_TW.UTF-8 zh "Noto Sans CJK TC"
shoot ja_JP.UTF-8 ja "Noto Sans CJK JP"
