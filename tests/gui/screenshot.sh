#!/usr/bin/env bash
# Takes docs/screenshot.png: the window after a scan that found the virtual
# modem on COM1 (setting only COM1 leaves COM2 to COM4 without a device), on
# a virtual display.
#   tests/gui/screenshot.sh [BUILD_DIR] [--measure]
# --measure also prints start-up time, resident memory and idle CPU time.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
measure=${2:-}
bin=$build/bin
for tool in gui_screenshot tollander-vmodem tollander-flash-sample; do
  [ -x "$bin/$tool" ] || { echo "missing $bin/$tool: build it first" >&2; exit 2; }
done
work=$(mktemp -d)
vmodem_pid=
cleanup() {
  [ -n "$vmodem_pid" ] && kill "$vmodem_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The modem's first line on stdout is its device.
exec 3< <(exec "$bin/tollander-vmodem")
vmodem_pid=$!
read -r device <&3
TOLLANDER_COM1=$device \
  xvfb-run -a -s "-screen 0 800x600x24" "$bin/gui_screenshot" $measure "$bin/tollander-flash-sample" "$work/window.ppm"
convert "$work/window.ppm" -strip docs/screenshot.png
echo "docs/screenshot.png written"
