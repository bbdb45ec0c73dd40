#!/usr/bin/env bash
# Configures and builds one tree: build.sh <build-dir> [extra cmake options...]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="$1"; shift
PYTHON="$(bash "$ROOT/scripts/find-python.sh")"
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DPython_EXECUTABLE="$PYTHON" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
