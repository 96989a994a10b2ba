#!/usr/bin/env bash
# A flasher stays one file that needs no library it did not need before:
# the system's cryptography is linked in (libcrypto) or part of Windows
# (bcrypt.dll, the only import the signatures added; WS2_32.dll is for
# ports on a serial server).
# Usage: flasher_libraries.sh BUILD [WINDOWS_BUILD]
set -euo pipefail
build=$1
windows=${2:-}
status=0

check() { # what, expected, actual
  if [ "$2" != "$3" ]; then
    echo "$1: needs [$3], expected [$2]" >&2
    status=1
  fi
}
needed() { readelf -d "$1" | awk '/NEEDED/ { gsub(/[][]/, "", $5); print $5 }' | sort | tr '\n' ' '; }
imports() { x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name/ { print $3 }' | sort -f | tr '\n' ' '; }

check tollander-flash-console "libasound.so.2 libc.so.6 libgcc_s.so.1 libstdc++.so.6 " \
  "$(needed "$build/bin/tollander-flash-console")"
for program in "$build"/bin/tollander-flash "$build"/bin/tollander-pack; do
  [ -e "$program" ] || continue
  if needed "$program" | grep -Eq 'libcrypto|libssl'; then
    echo "$program: links libcrypto dynamically" >&2
    status=1
  fi
done
if [ -n "$windows" ] && [ -e "$windows/bin/tollander-flash-console.exe" ]; then
  check tollander-flash-console.exe \
    "ADVAPI32.dll bcrypt.dll KERNEL32.dll msvcrt.dll SETUPAPI.dll WINMM.dll WS2_32.dll " \
    "$(imports "$windows/bin/tollander-flash-console.exe")"
  check tollander-flash.exe \
    "ADVAPI32.dll bcrypt.dll COMCTL32.dll GDI32.dll KERNEL32.dll msvcrt.dll SETUPAPI.dll SHELL32.dll USER32.dll UxTheme.dll WINMM.dll WS2_32.dll " \
    "$(imports "$windows/bin/tollander-flash.exe")"
fi
exit $status
