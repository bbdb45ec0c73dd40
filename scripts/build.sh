#!/usr/bin/env bash
# Configures and builds one tree: build.sh <build-dir> [extra cmake options...]
# The compiler's output is kept in <build-dir>/build.log and shown on failure.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="$1"; shift
PYTHON="$(bash "$ROOT/scripts/find-python.sh")"
mkdir -p "$BUILD_DIR"
LOG="$BUILD_DIR/build.log"
start=$(date +%s)
if ! { cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE="$PYTHON" "$@" &&
       cmake --build "$BUILD_DIR" -j"$(nproc)"; } >"$LOG" 2>&1; then
  tail -n 80 "$LOG"
  echo "build of $BUILD_DIR failed (full log: $LOG)"
  exit 1
fi
echo "built $BUILD_DIR in $(( $(date +%s) - start )) s"
