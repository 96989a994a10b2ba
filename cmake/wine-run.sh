#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine: the build's own tools
# and the tests (CTest's cross-compiling emulator). Without a WINEPREFIX of
# the caller's, every run shares one prefix beside the build, made once; a test
# that maps COM ports makes its own copy (tests/windows/wine_prefix.sh).
set -euo pipefail
wine=${TOLLANDER_WINE:-/usr/lib/wine/wine64}
here=$(cd "$(dirname "$0")" && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs, no display, no sound drivers (a test
# machine has no audio device; the player reports that).
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winealsa.drv,winepulse.drv=}
unset DISPLAY
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=${TOLLANDER_WINE_PREFIX:-${TMPDIR:-/tmp}/tollander-wine-$(id -u)/prefix}
  "$here/wine-prefix.sh" "$WINEPREFIX"
fi
exec "$wine" "$@"
