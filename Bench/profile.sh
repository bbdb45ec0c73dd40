#!/usr/bin/env bash
# Where a VR read spends its time, against a running holvane-sim:
#   profile.sh BUILD HOST PORT [OPS]
# system calls per operation (strace -c -f, the difference of two loop lengths
# so that connecting does not count), context switches (perf stat, software
# events) and the hottest functions (callgrind, instrumentation limited to the
# loop). Allocations per operation come from holvane_bench's own counter.
set -euo pipefail
BUILD="$1"; HOST="$2"; PORT="$3"; OPS="${4:-4000}"
BENCH="$BUILD/bin/holvane_bench"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
loop() { "$BENCH" --host "$HOST" --port "$PORT" --trace 0 --profile "$1" --ops "$2"; }

for op in read write; do
  echo "--- allocations, $OPS x $op"
  loop "$op" "$OPS" 2>&1 | grep "profile loop"
done

if command -v strace >/dev/null; then
  echo "--- system calls per ReadVrValue (strace -c -f, $OPS calls minus 0 calls)"
  strace -c -f -o "$WORK/short.txt" "$BENCH" --host "$HOST" --port "$PORT" --profile read --ops 0 2>/dev/null
  strace -c -f -o "$WORK/long.txt" "$BENCH" --host "$HOST" --port "$PORT" --profile read --ops "$OPS" 2>/dev/null
  python3 - "$WORK/short.txt" "$WORK/long.txt" "$OPS" <<'PY'
import sys
def calls(path):
    out = {}
    for line in open(path):
        parts = line.split()
        if len(parts) >= 5 and parts[0][0].isdigit() and not line.startswith("100.00"):
            name = parts[-1]
            count = int(parts[3])
            out[name] = count
    return out
short, long_, ops = calls(sys.argv[1]), calls(sys.argv[2]), int(sys.argv[3])
total = 0.0
for name in sorted(long_, key=lambda n: -(long_[n] - short.get(n, 0))):
    per = (long_[name] - short.get(name, 0)) / ops
    if per >= 0.01:
        total += per
        print("  %-16s %.2f per call" % (name, per))
print("  %-16s %.2f per call" % ("total", total))
PY
fi

if perf stat -e context-switches true >/dev/null 2>&1; then
  echo "--- perf stat (software events), $OPS x read"
  perf stat -e task-clock,context-switches,cpu-migrations -x, -o "$WORK/perf.txt" \
    "$BENCH" --host "$HOST" --port "$PORT" --profile read --ops "$OPS" 2>/dev/null || true
  grep -v '^#' "$WORK/perf.txt" | awk -F, -v ops="$OPS" 'NF > 2 && $1 != "" {printf "  %-18s %s total, %.2f per call (includes connecting)\n", $3, $1, $1 / ops}'
fi

if perf record -e cpu-clock -o "$WORK/probe.data" true >/dev/null 2>&1; then
  PERF_OPS=$(( OPS * 5 ))
  echo "--- perf record (cpu-clock samples of the client, kernel included), $PERF_OPS x read, top 20"
  perf record -e cpu-clock -F 10000 -o "$WORK/perf.data" \
    "$BENCH" --host "$HOST" --port "$PORT" --profile read --ops "$PERF_OPS" >/dev/null 2>&1 || true
  perf report -i "$WORK/perf.data" --sort dso,sym --stdio 2>/dev/null | grep -v '^#' | grep -v '^$' | head -20 | sed 's/^/  /' || true
  echo "--- the same by shared object"
  perf report -i "$WORK/perf.data" --sort dso --stdio 2>/dev/null | grep -v '^#' | grep -v '^$' | head -8 | sed 's/^/  /' || true
fi

if command -v valgrind >/dev/null; then
  CG_OPS=$(( OPS < 2000 ? OPS : 2000 ))
  echo "--- callgrind, $CG_OPS x read, instructions by function (exclusive, top 25)"
  valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$WORK/cg.out" \
    "$BENCH" --host "$HOST" --port "$PORT" --profile read --ops "$CG_OPS" >/dev/null 2>"$WORK/cg.err" || true
  # The loop's own dump (cg.out.1); cg.out holds only what follows the loop.
  out="$(ls "$WORK"/cg.out.* 2>/dev/null | sort | tail -1 || true)"
  if [ -n "$out" ]; then
    callgrind_annotate --threshold=99 "$out" 2>/dev/null | awk '/Ir/ && /file:function/ {on=1; next} on && /^ *[0-9]/' | head -25 | sed 's/^/  /' || true
    total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}' || true)
    if [ -n "$total" ]; then echo "  instructions per call (all threads of the client): $(( total / CG_OPS ))"; fi
    echo "--- callgrind, inclusive (top 25)"
    callgrind_annotate --inclusive=yes "$out" 2>/dev/null | awk '/Ir/ && /file:function/ {on=1; next} on && /^ *[0-9]/' | head -25 | sed 's/^/  /' || true
  else
    echo "  callgrind produced no profile:"; tail -5 "$WORK/cg.err"
  fi
fi
