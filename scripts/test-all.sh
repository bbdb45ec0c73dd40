#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what it needs, builds the
# release tree, checks the style (clang-format, clang-tidy), builds the
# sanitizer trees, runs the C++ tests (the slow ones too, in parallel), the
# sanitizer runs, and finally the Python end-to-end tests.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh
PYTHON="$(bash scripts/find-python.sh)"
JOBS="$(nproc)"

section() { printf '\n=== %s ===\n' "$*"; }

section "release build"
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

section "style: clang-format on every C++ file, clang-tidy on Source/ and Simulator/"
bash scripts/check-style.sh build

section "C++ unit tests"
ctest --test-dir build -j"$JOBS" --output-on-failure -E 'SLOW_'
section "C++ slow tests (long protocol time-outs)"
ctest --test-dir build -j8 --output-on-failure -R 'SLOW_' --no-tests=ignore

section "AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLVANE_SANITIZE=address \
  -DHOLVANE_BUILD_PYTHON=OFF -DHOLVANE_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$JOBS" --output-on-failure -E 'SLOW_'

section "ThreadSanitizer (concurrency tests)"
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLVANE_SANITIZE=thread \
  -DHOLVANE_BUILD_PYTHON=OFF -DHOLVANE_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j"$JOBS" --output-on-failure -E 'SLOW_' -R 'Concurren|Thread|Race|Pump|Parallel'

section "Fuzzing: corpus replay and a short run of every target"
bash Tests/fuzz/run-ci.sh 20

section "Python end-to-end tests and the benchmark tools' checks"
HOLVANE_BUILD_DIR="$ROOT/build" HOLVANE_BENCH_BUILD="$ROOT/build" \
  "$PYTHON" -m pytest Tests/python Bench/test_benchmarks.py -n 4 -p no:cacheprovider -q
