#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what it needs, builds the
# release tree, checks the style (clang-format, clang-tidy, ruff), builds the
# sanitizer trees, runs the C++ tests (the slow ones too, in parallel), the
# sanitizer runs, the Python end-to-end tests on the reference interpreter and
# on the newest one, builds the module for the others, builds and installs the
# wheel, and checks the typing and the docs.
# Every tree is configured with its options spelled out, so whatever another
# command left in a build folder's cache, the same tests run; a test runner
# that finds no test fails. Every tree compiles through ccache and clang-tidy
# skips units it found clean before; both caches live outside the clone
# (scripts/ccache-env.sh, scripts/run-tidy.py), so a fresh clone with warm
# caches compiles and checks only what changed.
# Each step is one `timed` line; the table of step times is printed at the end.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh
. scripts/ccache-env.sh "$ROOT"
PYTHON="$(bash scripts/find-python.sh)"
JOBS="$(nproc)"

section() { printf '\n=== %s ===\n' "$*"; }
TIMES=()
# CPU_SECONDS: processor seconds used so far by the finished commands of this
# shell, so that a step's cost shows apart from how busy the machine was
# (`times` must run in this shell, not in a subshell of its own).
TIMES_FILE="$(mktemp)"
cpu_seconds() {
  times >"$TIMES_FILE"
  CPU_SECONDS="$(awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, t, "m"); s += t[1] * 60 + t[2] } printf "%d", s }' "$TIMES_FILE")"
}
timed() {  # timed <label> <command...>: runs it and notes how long it took
  local label="$1" start=$SECONDS cpu_start; shift
  cpu_seconds; cpu_start=$CPU_SECONDS
  "$@"
  cpu_seconds
  TIMES+=("$(printf '%5d s %6d s  %s' $((SECONDS - start)) $((CPU_SECONDS - cpu_start)) "$label")")
}
RUN_START=$SECONDS
# Compilations outside the build script's trees (the wheel's) are noted here.
mkdir -p build
export CCACHE_STATSLOG="$ROOT/build/ccache-other.log"
rm -f "$CCACHE_STATSLOG"
print_times() {
  if ((${#TIMES[@]})); then
    section "times"
    printf '%7s %8s  %s\n' "time" "cpu" "step"
    printf '%s\n' "${TIMES[@]}"
    cpu_seconds
    printf '%5d s %6d s  %s\n' $((SECONDS - RUN_START)) "$CPU_SECONDS" "total"
    echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "this run's $(ccache_summary build*/ccache-*.log)"
  fi
}
trap print_times EXIT
# The C++ tests that skipped in a tree's last ctest run, each with its reason.
print_skips() {
  grep -h -A1 ': Skipped$' "$1"/Testing/Temporary/LastTest.log 2>/dev/null | grep -v -- '^--$' |
    paste -d' ' - - | sed 's/^/skipped: /' || true
}

ALL_ON=(-DHOLVANE_BUILD_TESTS=ON -DHOLVANE_BUILD_PYTHON=ON -DHOLVANE_BUILD_SIMULATOR=ON
        -DHOLVANE_BUILD_BENCH=ON -DHOLVANE_BUILD_FUZZ=OFF -DHOLVANE_BUILD_EXAMPLES=ON
        -DHOLVANE_TEST_GROUPS= -DHOLVANE_SANITIZE=)
SANITIZED=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLVANE_BUILD_TESTS=ON -DHOLVANE_BUILD_PYTHON=OFF
           -DHOLVANE_BUILD_SIMULATOR=ON -DHOLVANE_BUILD_BENCH=OFF -DHOLVANE_BUILD_FUZZ=OFF
           -DHOLVANE_BUILD_EXAMPLES=ON -DHOLVANE_TEST_GROUPS=)

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

section "AddressSanitizer + UndefinedBehaviorSanitizer (clang; the fuzz targets build in the same tree)"
timed "ASan build" bash scripts/build.sh build-asan "${SANITIZED[@]}" -DHOLVANE_SANITIZE=address \
  -DHOLVANE_BUILD_FUZZ=ON -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  timed "ASan tests" ctest --test-dir build-asan -j"$JOBS" --output-on-failure --no-tests=error -E 'SLOW_'
print_skips build-asan

section "ThreadSanitizer (concurrency tests)"
# The tree builds only the test programs that hold a test the pattern picks.
TSAN_TESTS='Concurren|Thread|Race|Pump|Parallel'
TSAN_GROUPS="$(grep -lE "^(TYPED_)?TEST(_F|_P)?\(.*($TSAN_TESTS)" Tests/cpp/*/*.cpp | cut -d/ -f3 | sort -u | paste -sd';')"
timed "TSan build" bash scripts/build.sh build-tsan "${SANITIZED[@]}" -DHOLVANE_SANITIZE=thread \
  -DHOLVANE_TEST_GROUPS="$TSAN_GROUPS" -DHOLVANE_BUILD_EXAMPLES=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  timed "TSan tests" ctest --test-dir build-tsan -j"$JOBS" --output-on-failure --no-tests=error -E 'SLOW_' \
  -R "$TSAN_TESTS"
print_skips build-tsan

section "Fuzzing: corpus replay and a short run of every target"
HOLVANE_FUZZ_BUILD_DIR="$ROOT/build-asan" timed "fuzzing" bash Tests/fuzz/run-ci.sh 20

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
