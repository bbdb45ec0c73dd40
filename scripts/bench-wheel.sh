#!/usr/bin/env bash
# Same speed: the wheel's build (zig, its own C++ library) against the source
# tree's build (the default compiler), single reads and batches from Python, in
# one run against one simulator (scripts/bench-wheel.py alternates the two).
#   bench-wheel.sh [--keep-awake] [--instructions] [--rounds N] [--scale X]
#   --keep-awake    one busy loop at the lowest priority meanwhile (see Bench/RESULTS.md)
#   --instructions  also the instructions per call, counted by callgrind
# Builds build-bench (Release, as Bench/run.sh does) and the Python 3.10 wheel first.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
PYTHON="$(bash scripts/find-python.sh)"
KEEP_AWAKE=0
PASS=()
while (($#)); do
  case "$1" in
    --keep-awake) KEEP_AWAKE=1 ;;
    --instructions) PASS+=("$1") ;;
    --rounds|--scale) PASS+=("$1" "$2"); shift ;;
    *) echo "usage: bench-wheel.sh [--keep-awake] [--instructions] [--rounds N] [--scale X]" >&2; exit 2 ;;
  esac
  shift
done

LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
  LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DHOLVANE_BUILD_TESTS=OFF "${LAUNCHER[@]}" >&2
bash scripts/build-wheels.sh 3.10 >&2
WHEEL="$(ls dist/holvane-*-cp310-cp310-manylinux_*_x86_64.whl | tail -1)"

WORK="$(mktemp -d)"
SIM_PID=""
AWAKE_PID=""
cleanup() {
  for pid in "$AWAKE_PID" "$SIM_PID"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
"$PYTHON" -m zipfile -e "$WHEEL" "$WORK/wheel"

build-bench/bin/holvane-sim --port 0 --list-grace-us 0 >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do grep -q '^listening on ' "$WORK/sim.out" && break; sleep 0.1; done
PORT="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$WORK/sim.out" | head -1)"
[ -n "$PORT" ] || { cat "$WORK/sim.out"; echo "holvane-sim did not start" >&2; exit 1; }
if [ "$KEEP_AWAKE" = 1 ]; then
  nice -n 19 sh -c 'while :; do :; done' &
  AWAKE_PID=$!
fi
echo "$(basename "$WHEEL") against build-bench; load average before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
status=0
"$PYTHON" scripts/bench-wheel.py --today build-bench/python --wheel "$WORK/wheel" --port "$PORT" "${PASS[@]}" ||
  status=$?
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
exit "$status"
