#!/usr/bin/env bash
# wine-prefix.sh DIR: makes a Wine prefix at DIR once (about 9 s); runs that
# start together wait for the first one instead of making it twice.
set -euo pipefail
prefix=$1
[ -f "$prefix/.made" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.made" ] && exit 0
rm -rf "$prefix"
WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=} \
  "${TOLLANDER_WINE:-/usr/lib/wine/wine64}" wineboot -i >/dev/null 2>&1
WINEPREFIX=$prefix "${TOLLANDER_WINESERVER:-/usr/lib/wine/wineserver}" -w
touch "$prefix/.made"
