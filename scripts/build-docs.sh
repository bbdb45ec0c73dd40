#!/usr/bin/env bash
# Builds the user guide and the API reference (generated from the doc strings
# of the built module) into build/docs; any Sphinx warning fails the build.
#   build-docs.sh [build folder, default build]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
PYTHON="$(bash scripts/find-python.sh)"
BUILD="${1:-build}"
[ -e "$BUILD/python" ] || { echo "missing $BUILD/python: build the module first"; exit 1; }
HOLVANE_BUILD_DIR="$ROOT/$BUILD" "$PYTHON" -m sphinx -W --keep-going -q -b html docs "$BUILD/docs"
echo "documentation: $BUILD/docs/index.html"
