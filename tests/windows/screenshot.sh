#!/usr/bin/env bash
# Takes docs/screenshot-windows.png: the Windows window (the sample flasher
# of the Windows build) under Wine on a virtual display, after a scan that
# found the virtual modem on COM1; COM2 to COM4 lead nowhere. The Wine prefix
# is a copy of the build's own, with COM1 mapped to the modem's
# pseudo-terminal through Wine's Ports key.
#   tests/windows/screenshot.sh [NATIVE_BUILD] [WINDOWS_BUILD] [SCALE]
# With SCALE (a percentage, say 150) the screen is set to that scale and the
# picture goes to docs/screenshot-windows-SCALE.png.
set -euo pipefail
cd "$(dirname "$0")/../.."
native=${1:-build}
windows=${2:-build-windows}
scale=${3:-100}
out=docs/screenshot-windows.png
[ "$scale" = 100 ] || out=docs/screenshot-windows-$scale.png
wine=${TOLLANDER_WINE:-/usr/lib/wine/wine64}
wineserver=${TOLLANDER_WINESERVER:-/usr/lib/wine/wineserver}
for file in "$native/bin/tollander-vmodem" "$windows/bin/tollander-flash-sample.exe" \
    "$windows/wine/prefix/system.reg"; do
  [ -e "$file" ] || { echo "missing $file: build (and test) both builds first" >&2; exit 2; }
done
work=$(mktemp -d)
modem_pid=
cleanup() {
  WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null || true
  [ -n "$modem_pid" ] && kill "$modem_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The modem's first line on stdout is its device.
exec 3< <(exec "$native/bin/tollander-vmodem")
modem_pid=$!
read -r device <&3

cp -a "$windows/wine/prefix" "$work/prefix"
# Wine's own fonts (Debian's fonts-wine) for the frame's buttons and the
# dialog font, when the prefix was made without them.
if [ -d /usr/share/wine/fonts ]; then
  cp -n /usr/share/wine/fonts/* "$work/prefix/drive_c/windows/Fonts/" 2>/dev/null || true
fi
export WINEPREFIX=$work/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv,winepulse.drv="
unset TOLLANDER_COM1 TOLLANDER_COM2 TOLLANDER_COM3 TOLLANDER_COM4
reg() { "$wine" reg add "$@" /f >/dev/null; }
reg 'HKLM\Software\Wine\Ports' /v COM1 /d "$device"
for n in 2 3 4; do reg 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$work/none"; done
# No window manager on the virtual display: Wine draws the frame itself.
reg 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N
reg 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $((96 * scale / 100))
# Wine opens COMn through dosdevices/comn, which its mount manager makes from
# the key only once the prefix's services run: laid here as well, so that a
# flasher quicker than that does not open the copied prefix's old COM1.
ln -sfn "$device" "$WINEPREFIX/dosdevices/com1"
for n in 2 3 4; do ln -sfn "$work/none" "$WINEPREFIX/dosdevices/com$n"; done
# The next start reads the ports afresh.
"$wineserver" -k || true
"$wineserver" -w

record=$(echo "$WINEPREFIX"/drive_c/users/*/AppData/Local)/tollander-flash
# Inside the virtual display: start the flasher, wait until its run record
# says the scan is over, then take the window once two pictures agree.
cat >"$work/shoot.sh" <<'SHOOT'
set -euo pipefail
"$WINE" "$FLASHER" &
flasher=$!
for _ in $(seq 600); do
  grep -qs "Press the FLASH! button" "$RECORD"/* && break
  kill -0 "$flasher" 2>/dev/null || { echo "the flasher ended early" >&2; exit 1; }
  sleep 0.1
done
grep -qs "Press the FLASH! button" "$RECORD"/* || { echo "no scan within a minute" >&2; exit 1; }
window=$(xwininfo -root -tree | grep -F '"Veltrane Tollander z5 Upgrade Program"' | awk '{print $1}' | head -n 1)
[ -n "$window" ] || { echo "no window" >&2; exit 1; }
previous=
for _ in $(seq 50); do
  import -window "$window" "$OUT.new.png"
  sum=$(md5sum <"$OUT.new.png")
  [ "$sum" = "$previous" ] && break
  previous=$sum
  sleep 0.2
done
mv "$OUT.new.png" "$OUT"
"$WINESERVER" -k
SHOOT
WINE=$wine WINESERVER=$wineserver FLASHER=$windows/bin/tollander-flash-sample.exe RECORD=$record \
  OUT=$work/window.png xvfb-run -a -s "-screen 0 1280x1024x24" bash "$work/shoot.sh"
convert "$work/window.png" -strip "$out"
echo "$out written"
