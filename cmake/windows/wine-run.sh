#!/usr/bin/env bash
# Runs a Windows program under Wine in the build folder's own Wine prefix:
#   wine-run.sh <prefix folder> <program.exe> [arguments...]
# The prefix is made on first use (wineboot, then waiting for its server, as an install right after
# wineboot fails otherwise). Wine's chatter is off. CTest and the build use this as the emulator.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 </dev/null || true
      wineserver -w
    fi
  ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
