#!/usr/bin/env bash
# The main job: builds what is needed, starts the bundled controller simulator
# on a free port and runs the quickstart example against it.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh
PYTHON="$(bash scripts/find-python.sh)"
# Only what the example needs is built; the test option is left as the tree
# has it, so this and scripts/test-all.sh share `build/` in either order.
mkdir -p build
if ! { cmake -S "$ROOT" -B build -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE="$PYTHON" \
         -DCMAKE_BUILD_TYPE=Release -DHOLVANE_BUILD_PYTHON=ON -DHOLVANE_BUILD_SIMULATOR=ON -DHOLVANE_SANITIZE= &&
       cmake --build build -j"$(nproc)" --target Vantrel_HolvaneAPI Vantrel_HolvaneApi-TCP-x64 holvane-sim; } \
     >build/build.log 2>&1; then
  tail -n 60 build/build.log; echo "build failed (full log: build/build.log)"; exit 1
fi

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

PYTHONPATH="$ROOT/build/python" "$PYTHON" Examples/quickstart.py --host 127.0.0.1 --port "$PORT"
