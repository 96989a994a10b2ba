#!/usr/bin/env bash
# Figures for docs/PERFORMANCE.md: one whole upgrade by the Windows console
# flasher under Wine against tollander-vmodem --rate 11520 (a real 115200
# bit/s line), in a Wine prefix of its own whose COM1 is the modem's
# pseudo-terminal. Run by hand after both builds:
#   tests/windows/measure_upgrade.sh [NATIVE_BUILD] [WINDOWS_BUILD] [pty|uart]
# With "uart" the pseudo-terminal answers the modem-line requests as a UART
# does (the native build's uart_pty_shim preloaded into Wine), so Wine's
# WaitCommEvent stays pending as on a real port.
set -euo pipefail
native=${1:-build}
windows=${2:-build-windows}
line=${3:-pty}
preload=
if [ "$line" = uart ]; then
  preload=$(cd "$native/lib" && pwd)/libuart_pty_shim.so
  [ -f "$preload" ] || { echo "no $preload: build the target uart_pty_shim" >&2; exit 2; }
fi
wine=${TOLLANDER_WINE:-/usr/lib/wine/wine64}
work=$(mktemp -d)
trap 'kill "${modem_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

cp -a "$windows/wine/prefix" "$work/prefix"
"$native/bin/tollander-vmodem" --rate 11520 --log "$work/modem.log" >"$work/modem.out" &
modem_pid=$!
for _ in $(seq 50); do [ -s "$work/modem.out" ] && break; sleep 0.1; done
device=$(head -n 1 "$work/modem.out")
# COM1 is the modem; COM2 to COM4 lead nowhere.
sed -i "/^\[Software\\\\\\\\Wine\\\\\\\\Ports\]/{n;a \"COM1\"=\"$device\"\n\"COM2\"=\"$work/none\"\n\"COM3\"=\"$work/none\"\n\"COM4\"=\"$work/none\"
}" "$work/prefix/system.reg"

export WINEPREFIX=$work/prefix WINEDEBUG=-all DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv,winepulse.drv="
env -u TOLLANDER_COM1 -u TOLLANDER_COM2 -u TOLLANDER_COM3 -u TOLLANDER_COM4 \
  ${preload:+LD_PRELOAD=$preload} /usr/bin/time -f "%e %U %S" -o "$work/time" \
  "$wine" "$windows/bin/tollander-flash-console-sample.exe" <<<"f" >"$work/log" 2>/dev/null
/usr/lib/wine/wineserver -w
tail -n 1 "$work/log"
read -r wall user sys <"$work/time"
# The main image is the second upload: its first and last byte at the modem.
main=$(grep -E '"event":"upload_(start|end)"' "$work/modem.log" | tail -n 2)
start=$(sed -n 1p <<<"$main" | sed 's/.*"time":\([0-9.]*\).*/\1/')
end=$(sed -n 2p <<<"$main" | sed 's/.*"time":\([0-9.]*\).*/\1/')
bytes=$(sed -n 2p <<<"$main" | grep -o '"bytes":[0-9]*' | cut -d: -f2)
awk -v s="$start" -v e="$end" -v b="$bytes" -v w="$wall" -v u="$user" -v y="$sys" 'BEGIN {
  printf "main image: %d bytes in %.2f s against %.2f s of line time (%+.1f %%)\n", b, e - s, b / 11520, ((e - s) / (b / 11520) - 1) * 100
  printf "whole run: wall %.2f s, CPU %.2f s (%.1f %% of the wall time; Wine itself included)\n", w, u + y, (u + y) / w * 100
}'
