#!/usr/bin/env bash
# Every test: the plain suite (with the real-time end-to-end scenarios and the
# GUI tests under Xvfb), the Windows build and its tests under Wine, the Debian
# package, the suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer, the threaded parts under ThreadSanitizer, and a
# short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
fuzz_seconds=${TOLLANDER_FUZZ_SECONDS:-30}

step() { printf '\n=== %s ===\n' "$*"; }

step "plain build and suite"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --test-dir build -j"$jobs" -LE wine --output-on-failure

step "Windows build; its unit suites and the console flasher under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows -j"$jobs"
ctest --test-dir build -j"$jobs" -L wine --output-on-failure

step "Debian package: lintian, and the programs from an unpacked root"
scripts/check_package.sh build

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLLANDER_SANITIZE=address,undefined \
  -DTOLLANDER_GUI=OFF -DTOLLANDER_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" -LE slow --output-on-failure

step "ThreadSanitizer (serial layer and protocol)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLLANDER_SANITIZE=thread \
  -DTOLLANDER_GUI=OFF -DTOLLANDER_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target threaded_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan -j"$jobs" -L threaded --output-on-failure

step "fuzz targets, ${fuzz_seconds} s each"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTOLLANDER_FUZZ=ON -DTOLLANDER_GUI=OFF -DTOLLANDER_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_targets
for target in build-fuzz/bin/fuzz_*; do
  [ -x "$target" ] || continue
  corpus=$(mktemp -d)
  echo "$(basename "$target")"
  "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
  rm -rf "$corpus"
done
echo "all test stages passed"
