#!/usr/bin/env bash
# Builds the user guide and the API reference into <build folder>/docs; any
# Sphinx warning fails the build. From a fresh clone it first installs what
# the docs need and builds the module, the TCP plug-in and the simulator
# (with ccache when present; only what changed is rebuilt).
#   build-docs.sh [build folder, default build]
#   HOLVANE_DOCS_INSTALLED=1 build-docs.sh [output parent]   documents the installed wheel instead
# The pages' command-line examples run at build time against the simulator on
# 127.0.0.1:3240, in a network namespace of the build's own (unshare) so that
# no other program's port 3240 is in the way.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
BUILD="${1:-build}"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
PYTHON="$(bash scripts/find-python.sh)"

if ! "$PYTHON" -c "import sphinx, furo" 2>/dev/null; then
  echo "== Installing the documentation tools (docs/requirements.txt)"
  "$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore -r docs/requirements.txt
fi

if [ "${HOLVANE_DOCS_INSTALLED:-}" = 1 ]; then
  "$PYTHON" -c "import Vantrel_HolvaneAPI, holvane" ||
    { echo "HOLVANE_DOCS_INSTALLED=1: install the wheel into $PYTHON first"; exit 1; }
else
  # The module the reference pages are generated from, and the programs the
  # examples run; through ccache (when present), with the cache outside the clone.
  . scripts/ccache-env.sh "$ROOT"
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    bash scripts/setup.sh
    LAUNCHER=()
    if [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
      LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER="$CMAKE_C_COMPILER_LAUNCHER"
                -DCMAKE_CXX_COMPILER_LAUNCHER="$CMAKE_CXX_COMPILER_LAUNCHER")
    fi
    mkdir -p "$BUILD"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE="$PYTHON" \
      -DCMAKE_BUILD_TYPE=Release -DHOLVANE_BUILD_PYTHON=ON -DHOLVANE_BUILD_SIMULATOR=ON -DHOLVANE_SANITIZE= \
      "${LAUNCHER[@]}" >"$BUILD/build.log" 2>&1 || { tail -n 40 "$BUILD/build.log"; exit 1; }
  fi
  echo "== Building the module, the TCP plug-in and the simulator in $BUILD (only what changed)"
  if ! cmake --build "$BUILD" -j"$(nproc)" --target Vantrel_HolvaneAPI Vantrel_HolvaneApi-TCP-x64 holvane-sim 2>&1 |
         tee -a "$BUILD/build.log" | awk '/^\[[0-9]+\/[0-9]+\] / { print; fflush() }'; then
    tail -n 60 "$BUILD/build.log"; echo "build failed (full log: $BUILD/build.log)"; exit 1
  fi
  export HOLVANE_BUILD_DIR="$BUILD"
fi

# -E: every page is read again, so the commands' output is today's.
SPHINX=("$PYTHON" -m sphinx -E -W --keep-going -q -b html docs "$BUILD/docs")
echo "== Building the documentation"
if unshare --map-root-user --net true 2>/dev/null; then
  HOLVANE_DOCS_NETNS=1 unshare --map-root-user --net "${SPHINX[@]}"
else
  echo "(no network namespace available: the examples' simulator takes a free port of this machine)"
  "${SPHINX[@]}"
fi
echo "documentation: $BUILD/docs/index.html"
