#!/usr/bin/env bash
# The main job: install what is missing, build, pack the sample flasher, start
# the virtual modem on a pseudo-terminal mapped to COM1 and run a whole
# upgrade against it. With a display the window opens (press "&FLASH!"); without
# one the console front end runs and presses it by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

bin=$PWD/build/bin
firmware=$PWD/build/firmware
work=$(mktemp -d)
trap 'kill "${modem_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

# A real 115200 bit/s line drains 11520 bytes a second: the upgrade takes
# about a minute and a quarter, as it would on a real modem.
rate=${TOLLANDER_DEMO_RATE:-11520}
mkfifo "$work/modem.out"
"$bin/tollander-vmodem" --once --rate "$rate" \
  --expect "$firmware/FLS0228.HEX" --expect "$firmware/F2ZE0529.HEX" \
  --log "$work/modem.jsonl" >"$work/modem.out" &
modem_pid=$!
exec 3<"$work/modem.out"
read -r device <&3
echo "virtual modem on $device (COM1)" >&2

export TOLLANDER_COM1=$device
cd "$work"
status=0
if [ -n "${DISPLAY:-}" ]; then
  "$bin/tollander-flash-sample" || status=$?
else
  printf 'f\n' | "$bin/tollander-flash-console-sample" || status=$?
fi
wait "$modem_pid" && modem_status=0 || modem_status=$?
modem_pid=
echo "flasher exit status $status, virtual modem exit status $modem_status" >&2
[ "$status" -eq 0 ] && [ "$modem_status" -eq 0 ]
