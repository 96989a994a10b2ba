#!/usr/bin/env bash
# The Debian packages, built in the given build folder (default build/):
# tollander-flash-console and tollander-flash, each without an error, a
# warning or a hardening note from lintian, unpacked into a temporary root,
# every program in it answering --version there with the package's version.
# The console package needs no X11 library, and its sample flasher finds the
# package's virtual modem as its manual page shows.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake --build "$build" --target package
root=$(mktemp -d)
modem_pid=
trap '[ -z "$modem_pid" ] || kill "$modem_pid" 2>/dev/null; rm -rf "$root"' EXIT
mkdir -m 700 "$root/home" "$root/state" "$root/run" "$root/tmp"
status=0
fail() { echo "$*"; status=1; }

# Runs a program of the unpacked root with a home of its own (the user's
# files stay untouched) and no display (the window's program must answer
# before it looks for one).
in_root() {
  env -u DISPLAY -u WAYLAND_DISPLAY HOME="$root/home" XDG_STATE_HOME="$root/state" \
    XDG_RUNTIME_DIR="$root/run" TMPDIR="$root/tmp" "$@"
}

# package: its programs
declare -A programs=(
  [tollander-flash-console]="tollander-flash-console tollander-pack tollander-lzss tollander-vmodem tollander-mkfirmware"
  [tollander-flash]="tollander-flash"
)
for package in tollander-flash-console tollander-flash; do
  deb=$(ls -t "$build/${package}_"*.deb | head -n 1)
  echo "package: $deb"
  # Errors and warnings fail; of the notes, those on hardening do.
  tags=$(lintian --fail-on error,warning --display-info "$deb" 2>/dev/null) ||
    fail "lintian fails $package: $tags"
  [ -z "$tags" ] || echo "$tags"
  if grep -q "hardening" <<<"$tags"; then fail "lintian has hardening notes on $package"; fi
  dpkg-deb -x "$deb" "$root"
  version=$(dpkg-deb -f "$deb" Version)
  for program in ${programs[$package]}; do
    for file in "$root/usr/bin/$program" "$root/usr/share/man/man1/$program.1.gz" \
      "$root/usr/share/bash-completion/completions/$program"; do
      [ -f "$file" ] || fail "missing from $package: ${file#"$root"}"
    done
    # The first line names the version (a flasher's further lines tell
    # what it carries).
    answer=$(in_root "$root/usr/bin/$program" --version 2>&1 | head -n 1) || true
    if [ "$answer" = "$program $version" ]; then
      echo "$answer"
    else
      fail "$program --version from $package said: ${answer:-nothing} (expected: $program $version)"
    fi
  done
  [ -f "$root/usr/share/doc/$package/copyright" ] || fail "missing from $package: its copyright"
  if [ "$package" = tollander-flash-console ]; then
    # Nothing in it, nor what it depends on, needs an X11 library.
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    if grep -Eiq "libx|libfltk|libxft|fontconfig" <<<"$depends"; then
      fail "$package depends on X11: $depends"
    fi
    while IFS= read -r file; do
      needs=$(ldd "$file" 2>/dev/null | grep -Ei "libx11|libxcb|libxft|libxrender|libfontconfig" || true)
      [ -z "$needs" ] || fail "${file#"$root"} needs X11: $needs"
    done < <(find "$root/usr" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
    [ -f "$root/usr/share/doc/$package/examples/70-tollander-flash.rules" ] ||
      fail "missing from $package: the udev rules template"
    # The manual page's example: the sample flasher's scan finds the virtual
    # modem on COM1; the input's end then quits before FLASH!.
    coproc modem { in_root "$root/usr/bin/tollander-vmodem" --link "$root/run/ttyModem"; }
    modem_pid=$modem_PID
    read -r device <&"${modem[0]}"
    echo "virtual modem on $device"
    scan=$(in_root env TOLLANDER_COM1="$root/run/ttyModem" \
      "$root/usr/lib/tollander-flash/tollander-flash-console-sample" </dev/null 2>&1) || true
    kill "$modem_pid"
    wait "$modem_pid" 2>/dev/null || true
    modem_pid=
    if grep -qx "Device present on COM1." <<<"$scan"; then
      echo "the sample flasher found the virtual modem on COM1"
    else
      fail "the sample flasher did not find the virtual modem: $scan"
    fi
  fi
done
[ -x "$root/usr/lib/tollander-flash/tollander-flash-sample" ] ||
  fail "missing from tollander-flash: the sample flasher"
exit $status
