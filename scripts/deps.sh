#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  libfltk1.3-dev libasound2-dev libx11-dev libxext-dev libxft-dev libxinerama-dev libxcursor-dev libxrender-dev libxfixes-dev libfontconfig1-dev
  xvfb xauth x11-apps imagemagick
  g++-mingw-w64-x86-64-posix wine64 fonts-wine ccache
  dpkg-dev lintian
  ser2net
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
