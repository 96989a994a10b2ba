#!/usr/bin/env bash
# The layer check against a copy of the tree: the copy passes, and each
# planted include that points upwards or sideways fails the check, which names
# its file and line; a downward one still passes.
#
# Usage: planted_test.sh CHECK_SCRIPT SOURCE_ROOT
set -euo pipefail
check=$1
source_root=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir "$tree"
for folder in platform payload serial app ui tools tests; do
  [ -d "$source_root/$folder" ] && cp -R "$source_root/$folder" "$tree/"
done

passed=0
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# A file of the copy with one include put in as its line 3 (a new file is
# made with the include on line 3).
plant() {
  local file=$1 include=$2
  mkdir -p "$(dirname "$tree/$file")"
  if [ -f "$tree/$file" ]; then
    cp "$tree/$file" "$work/saved"
    awk -v planted="$include" 'NR == 3 { print planted } { print }' "$work/saved" >"$tree/$file"
  else
    rm -f "$work/saved"
    printf '// planted\n\n%s\n' "$include" >"$tree/$file"
  fi
}
unplant() {
  local file=$1
  if [ -f "$work/saved" ]; then mv "$work/saved" "$tree/$file"; else rm -f "$tree/$file"; fi
  rmdir -p "$(dirname "$tree/$file")" 2>/dev/null || true
}

if out=$(bash "$check" "$tree" 2>&1); then
  passed=$((passed + 1))
else
  fail "the unchanged copy: $out"
fi

# file | planted line | expected: "fail" (upward or sideways) or "pass"
cases=(
  'app/sequencer.cpp|#include "ui/fltk/main_window.h"|fail'
  'serial/com_port.cpp|#include "app/main_form.h"|fail'
  'payload/payload.h|#include "serial/com_port.h"|fail'
  'serial/protocol.h|#include "payload/payload.h"|fail'
  'platform/thread/clock.cpp|#include "payload/payload.h"|fail'
  'ui/console/console_front_end.cpp|#include "ui/fltk/caption.h"|fail'
  'app/probe.cpp|#include "../ui/fltk/caption.h"|fail'
  'app/main_form.h|#include <ui/console/console_front_end.h>|fail'
  'serial/port_table.cpp|  #  include "app/sequencer.h"|fail'
  'serial/com_port.h|#include "main_form.h"|fail'
  'tools/pack/packer.cpp|#include "tests/e2e/fixture.h"|fail'
  'app/payload_link.cpp|#include "tests/unit/app_fakes.h"|fail'
  'ui/win32/main_window.cpp|#include "ui/fltk/caption.h"|fail'
  'ui/win32/main_window.cpp|#include "app/main_form.h"|pass'
  'ui/console/console_front_end.cpp|#include "serial/com_port.h"|fail'
  'ui/fltk/main_window.cpp|#include "payload/payload.h"|fail'
  'ui/win32/main_window.cpp|#include "platform/serial/port_map.h"|pass'
  'tools/lzss/main.cpp|#include "tools/pack/packer.h"|pass'
  'app/probe.cpp|#include "../platform/thread/clock.h"|pass'
  # The operating system is platform's: its headers and the question which
  # system this is, everywhere else but in the two places that stand on one.
  'payload/archive.cpp|#include <unistd.h>|fail'
  'app/main_form.h|#include <windows.h>|fail'
  'serial/com_port.cpp|#include <sys/ioctl.h>|fail'
  'tools/lzss/main.cpp|#include <fcntl.h>|fail'
  'ui/fltk/caption.h|#include <windows.h>|fail'
  'ui/console/console_front_end.cpp|#include <FL/Fl.H>|fail'
  'payload/archive.cpp|#ifdef _WIN32|fail'
  'app/sequencer.cpp|#if defined(__linux__) && 1|fail'
  'ui/win32/main_window.cpp|#ifndef _WIN32|fail'
  'platform/fs/files.cpp|#include <unistd.h>|pass'
  'platform/fs/files.cpp|#ifdef _WIN32|pass'
  'ui/win32/main_window.h|#include <commctrl.h>|pass'
  'tools/vmodem/modem.cpp|#include <termios.h>|pass'
  'ui/fltk/caption.h|#include <FL/Fl_Box.H>|pass'
  'payload/archive.cpp|#include <string_view>|pass'
)
for c in "${cases[@]}"; do
  IFS='|' read -r file include expect <<<"$c"
  plant "$file" "$include"
  status=0
  out=$(bash "$check" "$tree" 2>&1) || status=$?
  unplant "$file"
  if [ "$expect" = pass ]; then
    if [ "$status" -eq 0 ]; then passed=$((passed + 1)); else fail "$file: $include should pass: $out"; fi
  elif [ "$status" -ne 1 ]; then
    fail "$file: $include was not refused (exit $status): $out"
  elif ! grep -qF "$file:3: " <<<"$out"; then
    fail "$file: $include refused without naming $file:3: $out"
  elif [ "$(grep -c '^[^ ]*:[0-9]*: ' <<<"$out")" -ne 1 ]; then
    fail "$file: $include: more than the planted line named: $out"
  else
    passed=$((passed + 1))
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
