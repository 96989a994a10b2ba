#!/usr/bin/env bash
# Every test: the plain suite (with the real-time end-to-end scenarios and the
# GUI tests under Xvfb), the Windows build and its tests under Wine, the Debian
# package, the suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer, the threaded parts under ThreadSanitizer, a
# short run of every fuzz target, and a check that none of them touched the
# invoking user's run record.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
fuzz_seconds=${TOLLANDER_FUZZ_SECONDS:-30}

step() { printf '\n=== %s ===\n' "$*"; }

# The suites run every program in scratch homes of their own: the run record
# of the user who runs them stays as it was (or absent), byte for byte.
state=${XDG_STATE_HOME:-}
[[ $state == /* ]] || state=${HOME:-~}/.local/state
run_record=$state/tollander-flash/runs.log
record_digest() { sha256sum "$run_record" 2>/dev/null || echo "absent"; }
record_before=$(record_digest)

step "plain build and suite"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --test-dir build -j"$jobs" -LE wine --output-on-failure

step "Windows build; its unit suites and the console flasher under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows -j"$jobs"
ctest --test-dir build -j"$jobs" -L wine --output-on-failure

step "Debian packages: lintian, and the programs from an unpacked root"
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
step "the invoking user's run record"
if [ "$(record_digest)" != "$record_before" ]; then
  echo "the suites changed $run_record (before: $record_before)" >&2
  exit 1
fi
echo "unchanged: $run_record"
echo "all test stages passed"
