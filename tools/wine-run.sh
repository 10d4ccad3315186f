#!/bin/bash
# Runs a Windows program of the build under Wine: a prefix of the build's own (created once, under
# a lock, so that tests started in parallel do not race to create it), no Wine debug chatter.
set -euo pipefail
prefix="${TR350_WINEPREFIX:-${WINEPREFIX:-$PWD/wineprefix}}"
# ctest runs tests from their own folders: keep one prefix per build tree.
if [[ -z "${TR350_WINEPREFIX:-}" && -z "${WINEPREFIX:-}" ]]; then
  dir="$PWD"
  while [[ "$dir" != / && ! -f "$dir/CMakeCache.txt" ]]; do dir="$(dirname "$dir")"; done
  [[ -f "$dir/CMakeCache.txt" ]] && prefix="$dir/wineprefix"
fi
export WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [[ ! -f "$WINEPREFIX/.tr350-ready" ]]; then
    wineboot --init >/dev/null 2>&1 || true
    # The tests drive windows through their messages: Wine's null display driver needs no X.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
    wineserver --wait || true
    touch "$WINEPREFIX/.tr350-ready"
  fi
) 9>"$WINEPREFIX.lock"
# One server for the whole run: Wine's server exits 3 s after its last client by default, and a
# program that connects while it is going away fails ("Connection reset by peer"). This one stays a
# minute past the last client; when one is already up this does nothing.
wineserver -p60 >/dev/null 2>&1 || true
exec wine "$@"
