#!/usr/bin/env bash
# The Debian package: built in the given build folder (default build/),
# without errors from lintian, unpacked into a temporary root, and every
# program in it answering --version there with the package's version.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake --build "$build" --target package
deb=$(ls -t "$build"/tollander-flash_*.deb | head -n 1)
echo "package: $deb"
lintian --fail-on error "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
mkdir -m 700 "$root/home" "$root/state" "$root/run" "$root/tmp"
version=$(dpkg-deb -f "$deb" Version)
status=0
for program in tollander-flash tollander-flash-console tollander-pack tollander-lzss \
  tollander-vmodem tollander-mkfirmware; do
  for file in "$root/usr/bin/$program" "$root/usr/share/man/man1/$program.1.gz" \
    "$root/usr/share/bash-completion/completions/$program"; do
    [ -f "$file" ] || { echo "missing from the package: ${file#"$root"}"; status=1; }
  done
  # No display: the window's program must answer before it looks for one.
  # A home of its own: the user's files stay untouched. The first line names
  # the version (a flasher's further lines tell what it carries).
  answer=$(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$root/home" XDG_STATE_HOME="$root/state" \
    XDG_RUNTIME_DIR="$root/run" TMPDIR="$root/tmp" "$root/usr/bin/$program" --version 2>&1 |
    head -n 1) || true
  if [ "$answer" = "$program $version" ]; then
    echo "$answer"
  else
    echo "$program --version from the package said: ${answer:-nothing} (expected: $program $version)"
    status=1
  fi
done
[ -f "$root/usr/share/doc/tollander-flash/examples/70-tollander-flash.rules" ] ||
  { echo "missing from the package: the udev rules template"; status=1; }
exit $status
