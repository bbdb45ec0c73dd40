#!/usr/bin/env bash
# Configures and builds one tree, through ccache (scripts/ccache-env.sh):
#   build.sh <build-dir> [extra cmake options...] [-- targets...]
# With targets named, only those are built (and what they need).
# The compiler's output is kept in <build-dir>/build.log and shown on failure.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/scripts/ccache-env.sh" "$ROOT"
BUILD_DIR="$1"; shift
OPTIONS=()
while (($#)) && [ "$1" != -- ]; do OPTIONS+=("$1"); shift; done
TARGETS=()
if (($#)); then shift; TARGETS=(--target "$@"); fi
LAUNCHERS=()
if [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  LAUNCHERS=(-DCMAKE_C_COMPILER_LAUNCHER="$CMAKE_C_COMPILER_LAUNCHER"
             -DCMAKE_CXX_COMPILER_LAUNCHER="$CMAKE_CXX_COMPILER_LAUNCHER")
fi
PYTHON="$(bash "$ROOT/scripts/find-python.sh")"
mkdir -p "$BUILD_DIR"
ccache_log "$BUILD_DIR/ccache-stats.log"
LOG="$BUILD_DIR/build.log"
start=$(date +%s)
if ! { cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE="$PYTHON" \
         "${LAUNCHERS[@]}" "${OPTIONS[@]}" &&
       cmake --build "$BUILD_DIR" -j"$(nproc)" "${TARGETS[@]}"; } >"$LOG" 2>&1; then
  tail -n 80 "$LOG"
  echo "build of $BUILD_DIR failed (full log: $LOG)"
  exit 1
fi
echo "built $BUILD_DIR in $(( $(date +%s) - start )) s ($(ccache_summary "$BUILD_DIR/ccache-stats.log"))"
