#!/usr/bin/env bash
# The one command for the benchmarks: builds a Release tree (build-bench), starts
# holvane-sim on a free port, runs the C++ and Python benchmarks with trace off
# and on, the Python latency benchmarks through the delay proxy, prints one table and writes Bench/results.json (and the same tables in
# Markdown, Bench/results.md, for RESULTS.md).
#   HOLVANE_BENCH_BUILD  build tree (default <repo>/build-bench)
#   HOLVANE_BENCH_SCALE  multiplies every iteration count (default 1)
#   --profile            also run Bench/profile.sh (strace, callgrind, perf), output in Bench/profile.txt
#   --no-build           use the tree as it is
#   --keep-awake         run one busy loop at the lowest priority meanwhile (see RESULTS.md:
#                        in a virtual machine an idle core halts, and waking it costs more
#                        than the loopback round trip itself)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${HOLVANE_BENCH_BUILD:-$ROOT/build-bench}"
SCALE="${HOLVANE_BENCH_SCALE:-1}"
PROFILE=0
BUILD_FIRST=1
KEEP_AWAKE=0
for arg in "$@"; do
  case "$arg" in
    --profile) PROFILE=1 ;;
    --no-build) BUILD_FIRST=0 ;;
    --keep-awake) KEEP_AWAKE=1 ;;
    *) echo "unknown option $arg" >&2; exit 2 ;;
  esac
done
PYTHON="$(bash "$ROOT/scripts/find-python.sh")"
started=$(date +%s)

if [ "$BUILD_FIRST" = 1 ]; then
  echo "== building $BUILD (Release)" >&2
  bash "$ROOT/scripts/build.sh" "$BUILD" -DCMAKE_BUILD_TYPE=Release -DHOLVANE_BUILD_TESTS=OFF >&2
fi
for needed in bin/holvane-sim bin/holvane_bench bin/holvane_delay_proxy python/libVantrel_HolvaneApi-TCP-x64.so; do
  [ -e "$BUILD/$needed" ] || { echo "missing $BUILD/$needed" >&2; exit 1; }
done

bench_started=$(date +%s)
WORK="$(mktemp -d)"
SIM_PID=""
AWAKE_PID=""
stop_awake() {
  if [ -n "$AWAKE_PID" ]; then
    kill "$AWAKE_PID" 2>/dev/null || true
    wait "$AWAKE_PID" 2>/dev/null || true
    AWAKE_PID=""
  fi
}
cleanup() {
  stop_awake
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# The simulator pauses after each value list by default, so that a pipelined
# reply cannot arrive in the same read as the list's end. Block reads here are
# never pipelined (one thread per connection), so the pause would only measure
# the simulator: switch it off where the simulator offers that.
SIM_OPTIONS=(--port 0)
if "$BUILD/bin/holvane-sim" --help 2>&1 | grep -q -- "--list-grace-us"; then
  SIM_OPTIONS+=(--list-grace-us 0)
fi
"$BUILD/bin/holvane-sim" "${SIM_OPTIONS[@]}" >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
for _ in $(seq 100); do
  grep -q "^listening on " "$WORK/sim.out" 2>/dev/null && break
  kill -0 "$SIM_PID" 2>/dev/null || { echo "holvane-sim ended:" >&2; cat "$WORK/sim.err" >&2; exit 1; }
  sleep 0.1
done
ENDPOINT="$(sed -n 's/^listening on //p' "$WORK/sim.out" | head -1)"
[ -n "$ENDPOINT" ] || { echo "holvane-sim printed no 'listening on' line" >&2; exit 1; }
HOST="${ENDPOINT%:*}"
PORT="${ENDPOINT##*:}"
echo "== holvane-sim listening on $HOST:$PORT" >&2

# The floor exchanges exactly the bytes of one VR read: take the counts from
# the plug-in's own trace lines.
read -r REQUEST_BYTES REPLY_BYTES < <(
  PYTHONPATH="$BUILD/python" "$PYTHON" - "$HOST" "$PORT" <<'PY' 2>/dev/null || echo "14 16"
import re, sys, os, io
import Vantrel_HolvaneAPI as hv
c = hv.Connection()
c.CreateContext(hv.ConnectionType.TCP)
c.WriteStringAttribute("TCP_HostName", sys.argv[1])
c.WriteIntAttribute("TCP_Port", int(sys.argv[2]))
c.WriteIntAttribute("TCP_Trace", 0)
assert c.Connect() == hv.ErrorCode.NoError
c.WriteIntAttribute("TCP_Trace", 1)
r, w = os.pipe()
saved = os.dup(1)
sys.stdout.flush()
os.dup2(w, 1)
c.ReadVrValue(7)
sys.stdout.flush()
os.dup2(saved, 1)
os.close(w)
text = os.read(r, 65536).decode()
c.DestroyContext()
req = re.search(r"CmdGetVr >> \[(\d+)\]", text)
rep = re.search(r"CmdGetVr << \[(\d+)\]", text)
print(req.group(1), rep.group(1))
PY
)
echo "== a VR read is $REQUEST_BYTES request bytes and $REPLY_BYTES reply bytes" >&2

# How busy the two cores are with other work (other developers' builds), over
# two seconds: the figures are only as quiet as the machine.
cpu_busy() {
  local a b
  a=($(head -1 /proc/stat)); sleep 2; b=($(head -1 /proc/stat))
  local idle=$(( (b[4] + b[5]) - (a[4] + a[5]) )) total=0 i
  for i in 1 2 3 4 5 6 7 8; do total=$(( total + b[i] - a[i] )); done
  echo "$(( total > 0 ? 100 * (total - idle) / total : 0 ))% of both cores busy"
}
# Processes using more than 10 % of a core right now (top's second sample).
others() {
  top -bn2 -d 0.5 2>/dev/null | awk '/^top -/ {n++} n == 2 && $1 ~ /^[0-9]+$/ && $9 + 0 > 10 {printf "%s %s%% ", $12, $9}'
}
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
busy_before="$(cpu_busy); busy processes: $(others)"
if [ "$KEEP_AWAKE" = 1 ]; then
  # Lowest priority: any benchmark thread that wakes preempts it at once.
  nice -n 19 sh -c 'while :; do :; done' &
  AWAKE_PID=$!
fi
COMMON=(--host "$HOST" --port "$PORT" --scale "$SCALE" --request-bytes "$REQUEST_BYTES" --reply-bytes "$REPLY_BYTES")

echo "== C++, trace off" >&2
# A stage that fails is reported and the others still run; its figures are
# then missing from the table, and the run's exit status is 1.
STATUS=0
stage() { local name="$1"; shift; "$@" || { echo "!! $name failed (exit $?)" >&2; STATUS=1; }; }
stage "C++, trace off" "$BUILD/bin/holvane_bench" "${COMMON[@]}" --trace 0 --json "$WORK/cpp.json"
echo "== C++, trace on (stdout to /dev/null)" >&2
stage "C++, trace on" "$BUILD/bin/holvane_bench" "${COMMON[@]}" --trace 1 --groups single,threads \
  --suffix " (trace on)" --json "$WORK/cpp_trace.json" >/dev/null
echo "== Python, trace off" >&2
stage "Python, trace off" "$PYTHON" "$ROOT/Bench/py_bench.py" --build "$BUILD" "${COMMON[@]}" --trace 0 \
  --json "$WORK/py.json"
echo "== Python, trace on (stdout to /dev/null)" >&2
stage "Python, trace on" "$PYTHON" "$ROOT/Bench/py_bench.py" --build "$BUILD" "${COMMON[@]}" --trace 1 \
  --groups single --suffix " (trace on)" --json "$WORK/py_trace.json" >/dev/null
echo "== Python, over the delay link (0, 0.2 and 1 ms each way) and direct" >&2
stage "Python, delay link" "$PYTHON" "$ROOT/Bench/link_bench.py" --build "$BUILD" --host "$HOST" --port "$PORT" \
  --scale "$SCALE" --json "$WORK/link.json"

stop_awake
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
busy_after="$(cpu_busy); busy processes: $(others)"
if [ "$PROFILE" = 1 ]; then
  echo "== profile" >&2
  stage "profile" bash "$ROOT/Bench/profile.sh" "$BUILD" "$HOST" "$PORT" > "$ROOT/Bench/profile.txt" 2>&1
  cat "$ROOT/Bench/profile.txt"
fi

echo
"$PYTHON" "$ROOT/Bench/report.py" --out "$ROOT/Bench/results.json" --markdown "$ROOT/Bench/results.md" \
  --info "date=$(date -u +%FT%TZ)" \
  --info "nproc=$(nproc)" \
  --info "cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1), family $(lscpu | sed -n 's/^CPU family: *//p' | head -1) model $(lscpu | sed -n 's/^Model: *//p' | head -1), $(lscpu | sed -n 's/^Hypervisor vendor: *//p' | head -1) guest" \
  --info "memory=$(free -h | awk '/^Mem:/ {print $2}')" \
  --info "kernel=$(uname -r)" \
  --info "loadavg_before=$load_before" \
  --info "loadavg_after=$load_after" \
  --info "cpu_before=$busy_before" \
  --info "cpu_after=$busy_after" \
  --info "vr_read_bytes=$REQUEST_BYTES/$REPLY_BYTES" \
  --info "scale=$SCALE" \
  --info "simulator_options=${SIM_OPTIONS[*]}" \
  --info "keep_awake=$([ "$KEEP_AWAKE" = 1 ] && echo "one busy loop at nice 19 during the benchmarks" || echo "no")" \
  --info "seconds=$(( $(date +%s) - started )) in all, $(( $(date +%s) - bench_started )) without the build" \
  "$WORK/cpp.json" "$WORK/cpp_trace.json" "$WORK/py.json" "$WORK/py_trace.json" "$WORK/link.json"
exit "$STATUS"
