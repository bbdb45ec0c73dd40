"""The wheel's build against the source tree's build, in one run, on one simulator.

    bench-wheel.py --today BUILD/python --wheel UNPACKED_WHEEL --port PORT [--rounds 12] [--scale 1]

Both folders hold a module Vantrel_HolvaneAPI with the TCP plug-in beside it.
Each round runs every figure once for each build, each in a fresh interpreter
(two builds of one module cannot share a process), in the order A B, then B A
in the next round, so that both see the same load. A figure of a build is the
median of its rounds' medians; the ratio is the median of the rounds' ratios
(wheel over today, per round), which a busy machine moves far less than the
figures themselves. Prints a Markdown table and exits 1 if the ratio of a
median exceeds --limit (1.05 by default); the processor time per call of the
client process (all its threads) is shown beside each median, as information.
--instructions adds the instructions per call that callgrind counts in the
client process, which no load moves much; information too.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(os.path.dirname(HERE), "Bench")

INSTRUCTION_CALLS = 100
# The figure's processor time per call, all threads of the client process.
CPU = ", processor time"
# One round of one build, run in a child interpreter: prints {figure: median µs}
# and {figure + CPU: µs of processor time per call}.
CHILD = r"""
import json, sys, time
CPU = {cpu!r}
sys.path.insert(0, {module_dir!r})
sys.path.insert(1, {bench!r})
import Vantrel_HolvaneAPI as hv
from link_bench import CYCLE, READ_VR, READ_VR_VALUE, VR_READS
from py_bench import fill_values, time_calls

OK = hv.ErrorCode.NoError
assert {module_dir!r} in hv.__file__, hv.__file__
c = hv.Connection()
assert c.CreateContext(hv.ConnectionType.TCP) == OK
c.WriteStringAttribute("TCP_HostName", "127.0.0.1")
c.WriteIntAttribute("TCP_Port", {port})
c.WriteIntAttribute("TCP_Trace", 0)
assert c.Connect() == OK
assert fill_values(c, "VR", 1000, OK)
assert c.WriteVrValue(READ_VR, READ_VR_VALUE) == OK
scale = {scale}
only = {only!r}
fixed = {fixed!r}

def n(base):
    return fixed if fixed else max(5, int(base * scale))

def checked(call, check):
    def run():
        out = call()
        if not check(out):
            raise SystemExit("wrong result: %r" % (out,))
        return 0
    return run

figures = {{}}
for name, call, check, count in (
    ("ReadVrValue", lambda: c.ReadVrValue(READ_VR), lambda r: r == (OK, READ_VR_VALUE), 2000),
    ("WriteVrValue", lambda: c.WriteVrValue(READ_VR + 1, 2.5), lambda r: r == OK, 2000),
    ("Batch of 48 ReadVrValue", lambda: c.Batch(VR_READS),
     lambda r: r[0] == OK and all(item == (OK, READ_VR_VALUE) for item in r[1]), 300),
    ("48 reads as one Batch, 16 axes x DPOS/MPOS/IDLE", lambda: c.Batch(CYCLE),
     lambda r: r[0] == OK and len(r[1]) == 48, 300),
    ("ReadMultiVrValues of 1000 values", lambda: c.ReadMultiVrValues(0, 1000),
     lambda r: r[0] == OK and len(r[1]) == 1000, 60),
):
    if only and name != only:
        continue
    warmup, iterations = (5 if fixed else n(count) // 10), n(count)
    cpu = time.process_time_ns()
    result = time_calls(name, checked(call, check), warmup, iterations)
    figures[name] = result["median_us"]
    figures[name + CPU] = (time.process_time_ns() - cpu) / 1000.0 / (warmup + iterations)
c.DestroyContext()
print(json.dumps(figures))
"""


FIGURES = (
    "ReadVrValue",
    "WriteVrValue",
    "Batch of 48 ReadVrValue",
    "48 reads as one Batch, 16 axes x DPOS/MPOS/IDLE",
    "ReadMultiVrValues of 1000 values",
)


def run_child(command: list[str], module_dir: str, port: int, scale: float, only: str = "", fixed: int = 0) -> str:
    code = CHILD.format(module_dir=module_dir, bench=BENCH, port=port, scale=scale, cpu=CPU, only=only, fixed=fixed)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    result = subprocess.run([*command, "-c", code], check=False, capture_output=True, text=True, timeout=900, env=env)
    if result.returncode != 0:
        raise SystemExit(f"benchmark run with {module_dir} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def one_round(python: str, module_dir: str, port: int, scale: float) -> dict[str, float]:
    figures: dict[str, float] = json.loads(run_child([python], module_dir, port, scale).strip().splitlines()[-1])
    return figures


def instructions_per_call(python: str, module_dir: str, port: int, figure: str) -> float:
    """Instructions the client process executes per call (all its threads), from
    two runs under callgrind that differ only in the number of calls: exact
    and the same on a busy machine as on a quiet one."""
    totals = []
    for calls in (INSTRUCTION_CALLS, 2 * INSTRUCTION_CALLS):
        out = os.path.join(tempfile.mkdtemp(), "callgrind.out")
        run_child(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python],
            module_dir,
            port,
            1.0,
            only=figure,
            fixed=calls,
        )
        with open(out) as f:
            totals.append(next(int(line.split()[1]) for line in f if line.startswith(("summary:", "totals:"))))
        shutil.rmtree(os.path.dirname(out))
    return (totals[1] - totals[0]) / INSTRUCTION_CALLS


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--today", required=True, help="folder of the source tree's module and plug-in")
    parser.add_argument("--wheel", required=True, help="folder of the wheel's module and plug-in")
    parser.add_argument("--port", type=int, required=True, help="the simulator, on 127.0.0.1")
    parser.add_argument("--rounds", type=int, default=12)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--limit", type=float, default=1.05)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--instructions", action="store_true", help="also count instructions per call (callgrind)")
    args = parser.parse_args()

    builds = {"today": os.path.abspath(args.today), "wheel": os.path.abspath(args.wheel)}
    rounds: dict[str, list[dict[str, float]]] = {"today": [], "wheel": []}
    for index in range(args.rounds):
        order = ("today", "wheel") if index % 2 == 0 else ("wheel", "today")
        for build in order:
            rounds[build].append(one_round(args.python, builds[build], args.port, args.scale))
        print(
            f"round {index + 1}/{args.rounds}: "
            + ", ".join(
                f"{name} {rounds['today'][-1][name]:.1f}/{rounds['wheel'][-1][name]:.1f} us"
                for name in rounds["today"][-1]
            ),
            file=sys.stderr,
            flush=True,
        )

    print("| figure (µs per call: the median, or processor time) | today's build | the wheel's build | wheel / today |")
    print("|---|---:|---:|---:|")
    worst = 0.0
    for name in rounds["today"][0] if rounds["today"] else ():
        today = statistics.median(r[name] for r in rounds["today"])
        wheel = statistics.median(r[name] for r in rounds["wheel"])
        ratio = statistics.median(w[name] / t[name] for t, w in zip(rounds["today"], rounds["wheel"], strict=True))
        if not name.endswith(CPU):  # the verdict is the benchmark's own figure, the median
            worst = max(worst, ratio)
        print(f"| {name} | {today:.1f} | {wheel:.1f} | {ratio:.3f} |")
    if args.instructions:
        print(
            "\n| figure (instructions per call, client process) | today's build | the wheel's build | wheel / today |"
        )
        print("|---|---:|---:|---:|")
        for name in FIGURES:
            counts = [instructions_per_call(args.python, builds[b], args.port, name) for b in ("today", "wheel")]
            print(f"| {name} | {counts[0]:.0f} | {counts[1]:.0f} | {counts[1] / counts[0]:.3f} |", flush=True)
    verdict = "met" if worst <= args.limit else "NOT met"
    print(
        f"\nworst ratio of the medians {worst:.3f}: the wheel's build within {100 * (args.limit - 1):.0f} % of "
        f"today's: {verdict}"
    )
    return 0 if worst <= args.limit else 1


if __name__ == "__main__":
    sys.exit(main())
