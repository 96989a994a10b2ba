#!/usr/bin/env bash
# wine_display.sh BASE_PREFIX PROGRAM [ARGS]: runs a Windows program of the
# cross build under Wine on a virtual display (xvfb-run), for the tests of
# windows. They run in a copy of the build's prefix, made once beside it,
# whose windows Wine manages itself: with no window manager on the display,
# a managed window that closes would wait two seconds for one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
base=$1
shift
wine=${TOLLANDER_WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winealsa.drv,winepulse.drv=}
prefix=$base-display
if [ ! -f "$prefix/.unmanaged" ]; then
  "$here/../../cmake/wine-prefix.sh" "$base"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.unmanaged" ]; then
    rm -rf "$prefix"
    cp -a "$base" "$prefix"
    WINEPREFIX=$prefix "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
    WINEPREFIX=$prefix "${TOLLANDER_WINESERVER:-/usr/lib/wine/wineserver}" -w
    touch "$prefix/.unmanaged"
  fi
  exec 9>&-
fi
export WINEPREFIX=$prefix
# Room for the window at twice its size: a window is never made larger than
# the screen, and the scale test goes up to 200 %.
exec xvfb-run -a -s "-screen 0 2048x1536x24" "$wine" "$@"
