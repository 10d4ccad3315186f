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
# Everything Wine starts under the lock gets neither the lock (9>&-) nor the caller's output:
# Wine's server and its system processes outlive the program, and would hold both.
(
  flock 9
  if [[ ! -f "$WINEPREFIX/.tr350-ready" ]]; then
    wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    # The tests drive windows through their messages: Wine's null display driver needs no X.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&- || true
    wineserver --wait 9>&- || true
    touch "$WINEPREFIX/.tr350-ready"
  fi
  # One server for the whole run, with its system processes started here: by default the server
  # exits 3 s after its last client, and a program that connects while it is going away fails
  # ("Connection reset by peer"). This one stays a minute past the last client. When a server is
  # up already, wineserver says so and nothing is started.
  if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
