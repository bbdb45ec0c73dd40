#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what it needs, builds the
# release tree, checks the style (clang-format, clang-tidy), builds the
# sanitizer trees, runs the C++ tests (the slow ones too, in parallel), the
# sanitizer runs, the Python end-to-end tests on the reference interpreter and
# on the newest one, builds the module for the others, builds and installs the
# wheel, and checks the typing and the docs.
# Every tree is configured with its options spelled out, so whatever another
# command left in a build folder's cache, the same tests run; a test runner
# that finds no test fails.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh
PYTHON="$(bash scripts/find-python.sh)"
JOBS="$(nproc)"

section() { printf '\n=== %s ===\n' "$*"; }
TIMES=()
timed() {  # timed <label> <command...>: runs it and notes how long it took
  local label="$1" start=$SECONDS; shift
  "$@"
  TIMES+=("$(printf '%5d s  %s' $((SECONDS - start)) "$label")")
}
trap 'if ((${#TIMES[@]})); then section "times"; printf "%s\n" "${TIMES[@]}"; fi' EXIT
# The C++ tests that skipped in a tree's last ctest run, each with its reason.
print_skips() {
  grep -h -A1 ': Skipped$' "$1"/Testing/Temporary/LastTest.log 2>/dev/null | grep -v -- '^--$' |
    paste -d' ' - - | sed 's/^/skipped: /' || true
}

ALL_ON=(-DHOLVANE_BUILD_TESTS=ON -DHOLVANE_BUILD_PYTHON=ON -DHOLVANE_BUILD_SIMULATOR=ON
        -DHOLVANE_BUILD_BENCH=ON -DHOLVANE_BUILD_FUZZ=OFF -DHOLVANE_SANITIZE=)
SANITIZED=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLVANE_BUILD_TESTS=ON -DHOLVANE_BUILD_PYTHON=OFF
           -DHOLVANE_BUILD_SIMULATOR=ON -DHOLVANE_BUILD_BENCH=OFF -DHOLVANE_BUILD_FUZZ=OFF)

section "release build"
timed "release build" bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  "${ALL_ON[@]}"

section "style: clang-format on every C++ file, clang-tidy on Source/ and Simulator/"
timed "style" bash scripts/check-style.sh build

section "C++ unit tests"
timed "C++ unit tests" ctest --test-dir build -j"$JOBS" --output-on-failure --no-tests=error -E 'SLOW_'
print_skips build
section "C++ slow tests (long protocol time-outs)"
timed "C++ slow tests" ctest --test-dir build -j8 --output-on-failure --no-tests=error -R 'SLOW_'
print_skips build

section "AddressSanitizer + UndefinedBehaviorSanitizer"
timed "ASan build" bash scripts/build.sh build-asan "${SANITIZED[@]}" -DHOLVANE_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  timed "ASan tests" ctest --test-dir build-asan -j"$JOBS" --output-on-failure --no-tests=error -E 'SLOW_'
print_skips build-asan

section "ThreadSanitizer (concurrency tests)"
timed "TSan build" bash scripts/build.sh build-tsan "${SANITIZED[@]}" -DHOLVANE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  timed "TSan tests" ctest --test-dir build-tsan -j"$JOBS" --output-on-failure --no-tests=error -E 'SLOW_' \
  -R 'Concurren|Thread|Race|Pump|Parallel'
print_skips build-tsan

section "Fuzzing: corpus replay and a short run of every target"
timed "fuzzing" bash Tests/fuzz/run-ci.sh 20

# -rs prints the reason of every skip; conftest fails any skip it does not declare.
section "Python end-to-end tests and the benchmark tools' checks (Python 3.10)"
HOLVANE_BUILD_DIR="$ROOT/build" HOLVANE_BENCH_BUILD="$ROOT/build" \
  timed "pytest 3.10" "$PYTHON" -m pytest Tests/python Bench/test_benchmarks.py -n 4 -p no:cacheprovider -q -rs

section "Other interpreters: 3.13 end to end, 3.11 and 3.12 build and import"
timed "other interpreters" bash scripts/test-interpreters.sh

section "Wheels (zig, glibc 2.28): build and check 3.10 and 3.13, the end-to-end suite on the installed 3.10 wheel, the quickstart on the installed 3.13 wheel"
timed "wheels" bash scripts/test-wheel.sh

section "Documentation: user guide and API reference, warnings are errors"
timed "docs" bash scripts/build-docs.sh build
