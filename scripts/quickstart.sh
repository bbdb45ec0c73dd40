#!/usr/bin/env bash
# The main job: builds what is needed, starts the bundled controller simulator
# on a free port and runs the quickstart example against it. The build shows
# its own progress ([done/total] per compiled file) as it goes.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

# How long a first build takes (measured with this script from a fresh clone on
# 2 cores); the docs' installing page takes the text from this line.
FIRST_BUILD="1 to 6 minutes on 2 cores, by how busy they are (under a minute when ccache already holds the objects)"

echo "== Installing what the build needs (Debian packages, Python packages); skipped when present"
bash scripts/setup.sh
PYTHON="$(bash scripts/find-python.sh)"

# Only what the example needs is built; the test option is left as the tree
# has it, so this and scripts/test-all.sh share `build/` in either order.
# Through ccache (when present), with the cache outside the clone.
. scripts/ccache-env.sh "$ROOT"
LAUNCHER=()
if [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER="$CMAKE_C_COMPILER_LAUNCHER"
            -DCMAKE_CXX_COMPILER_LAUNCHER="$CMAKE_CXX_COMPILER_LAUNCHER")
fi
echo "== Building the module, the TCP plug-in and the simulator in build/"
echo "   (a first build takes $FIRST_BUILD; later runs rebuild only what changed)"
mkdir -p build
start=$SECONDS
if ! cmake -S "$ROOT" -B build -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE="$PYTHON" \
       -DCMAKE_BUILD_TYPE=Release -DHOLVANE_BUILD_PYTHON=ON -DHOLVANE_BUILD_SIMULATOR=ON -DHOLVANE_SANITIZE= \
       "${LAUNCHER[@]}" >build/build.log 2>&1; then
  tail -n 40 build/build.log; echo "configuring failed (full log: build/build.log)"; exit 1
fi
# Ninja prints one "[done/total] Building ..." line per step; the compiler's
# messages go to the log and are shown if the build fails.
if ! cmake --build build -j"$(nproc)" --target Vantrel_HolvaneAPI Vantrel_HolvaneApi-TCP-x64 holvane-sim 2>&1 |
       tee -a build/build.log | awk '/^\[[0-9]+\/[0-9]+\] / { print; fflush() }'; then
  tail -n 60 build/build.log; echo "build failed (full log: build/build.log)"; exit 1
fi
echo "== Built in $((SECONDS - start)) s"

LOG="$(mktemp)"
build/bin/holvane-sim --host 127.0.0.1 --port 0 >"$LOG" 2>&1 &
SIM_PID=$!
trap 'kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; rm -f "$LOG"' EXIT
for _ in $(seq 100); do
  grep -q '^listening on ' "$LOG" && break
  sleep 0.05
done
PORT="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$LOG" | head -1)"
[ -n "$PORT" ] || { echo "the simulator did not start:"; cat "$LOG"; exit 1; }

echo "== Running Examples/quickstart.py against holvane-sim on 127.0.0.1:$PORT"
PYTHONPATH="$ROOT/build/python" "$PYTHON" Examples/quickstart.py --host 127.0.0.1 --port "$PORT"
