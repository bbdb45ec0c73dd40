#!/usr/bin/env python3
"""What each kind of batch item costs, in round trips, on a link with latency.

    python Examples/batch_costs.py [--delay-us 1000] [--items 48] [--repeat 9] [--csv FILE]

Starts holvane-sim and holvane_delay_proxy (from the build folder: build/bin,
or HOLVANE_BUILD_DIR), which delays every byte by --delay-us in each
direction, and times through it, with the holvane client:
one read_vr (the round trip), then batches of --items items of one kind, the
block reads vr[a:b] and table[a:b] of as many values, and the same reads of
20 times as many. The values read print with full precision (n / 3), as
measured positions do. Each figure is the median over --repeat runs divided by
the median round trip. The proxy listens
on port 3240 of a loopback address, as a controller does, so the connection
sends with the same settings as it would to a controller.

The holvane package and the module beside it must be importable (installed,
or PYTHONPATH=build/python:Source/PythonModule in a source tree).
"""

from __future__ import annotations

import argparse
import csv
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path

import holvane
from holvane.simulator import start_simulator

CONTROLLER_PORT = 3240
FIRST = 1000  # the measured values: VR and TABLE from here on
ZEROS = 40000  # VRs that stay 0


def find_proxy() -> str:
    build = Path(os.environ.get("HOLVANE_BUILD_DIR", Path(__file__).resolve().parents[1] / "build"))
    proxy = build / "bin" / "holvane_delay_proxy"
    if not proxy.is_file():
        raise SystemExit(f"{proxy} is missing: build the benchmarks (scripts/build.sh build -DHOLVANE_BUILD_BENCH=ON)")
    return str(proxy)


def free_controller_address() -> str:
    """A loopback address whose port 3240 is free."""
    for last in range(32, 64):
        host = f"127.0.0.{last}"
        with socket.socket() as probe:
            try:
                probe.bind((host, CONTROLLER_PORT))
                return host
            except OSError:
                continue
    raise SystemExit("no loopback address with port 3240 free (127.0.0.32 to 127.0.0.63)")


def start_proxy(target_port: int, delay_us: int) -> tuple[subprocess.Popen[str], str]:
    host = free_controller_address()
    process = subprocess.Popen(
        [
            find_proxy(),
            "--target",
            f"127.0.0.1:{target_port}",
            "--listen",
            f"{host}:{CONTROLLER_PORT}",
            "--delay-us",
            str(delay_us),
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    assert process.stdout is not None
    line = process.stdout.readline()
    if not line.startswith("listening on "):
        process.kill()
        process.wait()
        raise SystemExit(f"holvane_delay_proxy did not start: {line!r}")
    return process, host


def stop(process: subprocess.Popen[str]) -> None:
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def median_seconds(run: Callable[[], object], repeat: int) -> float:
    run()  # once untimed: the first call pays for what later ones reuse
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def fill(c: holvane.Controller, start: int, count: int) -> None:
    """Gives VR and TABLE start.. values that print with full precision (n / 3),
    as measured positions do; a run of equal values (zeros) prints in a few
    bytes and would make a value list look cheaper than it is."""
    c.vr[start : start + count] = [n / 3 for n in range(start, start + count)]
    for first in range(start, start + count, 10):
        c.execute(":".join(f"TABLE({n})={n}/3" for n in range(first, min(first + 10, start + count))))


def measure(c: holvane.Controller, items: int, repeat: int) -> list[tuple[str, float]]:
    """(what, median seconds) for each kind of item, and the block reads."""

    def batch_of(add: Callable[[holvane.Batch, int], object], count: int = items) -> Callable[[], None]:
        def run() -> None:
            with c.batch() as b:
                for i in range(count):
                    add(b, i)

        return run

    long_run = items * 20
    fill(c, FIRST, long_run)
    axes = c.axis_count()
    return [
        ("one read_vr (the round trip)", median_seconds(lambda: c.read_vr(1), repeat)),
        (f"batch of {items} read_vr", median_seconds(batch_of(lambda b, i: b.read_vr(FIRST + i)), repeat)),
        (f"batch of {items} write_vr", median_seconds(batch_of(lambda b, i: b.write_vr(FIRST + i, i / 3)), repeat)),
        (f"batch of {items} read_param", median_seconds(batch_of(lambda b, i: b.read_param("DPOS", i % axes)), repeat)),
        (
            f"batch of {items} write_param",
            median_seconds(batch_of(lambda b, i: b.write_param("SPEED", i % axes, 100.0 + i)), repeat),
        ),
        (f"batch of {items} read_table", median_seconds(batch_of(lambda b, i: b.read_table(FIRST + i)), repeat)),
        (f"vr[a:b] of {items} values", median_seconds(lambda: c.vr[FIRST : FIRST + items], repeat)),
        (f"table[a:b] of {items} values", median_seconds(lambda: c.table[FIRST : FIRST + items], repeat)),
        (f"vr[a:b] of {items} zeros", median_seconds(lambda: c.vr[ZEROS : ZEROS + items], repeat)),
        (
            f"batch of {long_run} read_vr",
            median_seconds(batch_of(lambda b, i: b.read_vr(FIRST + i), long_run), repeat),
        ),
        (f"vr[a:b] of {long_run} values", median_seconds(lambda: c.vr[FIRST : FIRST + long_run], repeat)),
        (f"table[a:b] of {long_run} values", median_seconds(lambda: c.table[FIRST : FIRST + long_run], repeat)),
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay-us", type=int, default=1000, help="delay each way, microseconds (default 1000)")
    parser.add_argument("--items", type=int, default=48, help="items per batch (default 48)")
    parser.add_argument("--repeat", type=int, default=9, help="timed runs of each (default 9)")
    parser.add_argument("--csv", help="also write the table here")
    args = parser.parse_args(argv)

    simulator, sim_port = start_simulator()
    threading.Thread(target=simulator.stdout.read, daemon=True).start()  # type: ignore[union-attr]
    try:
        proxy, host = start_proxy(sim_port, args.delay_us)
        try:
            with holvane.connect(host, CONTROLLER_PORT) as c:
                rows = measure(c, args.items, args.repeat)
        finally:
            stop(proxy)
    finally:
        stop(simulator)

    round_trip = rows[0][1]
    table = [(what, f"{seconds * 1e3:.2f}", f"{seconds / round_trip:.1f}") for what, seconds in rows]
    print(f"{args.delay_us} us each way, median of {args.repeat} runs")
    print(f"{'what':<36} {'ms':>8} {'round trips':>12}")
    for what, ms, trips in table:
        print(f"{what:<36} {ms:>8} {trips:>12}")
    if args.csv:
        with open(args.csv, "w", newline="") as stream:
            writer = csv.writer(stream)
            writer.writerow(["what", "ms", "round trips"])
            writer.writerows(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
