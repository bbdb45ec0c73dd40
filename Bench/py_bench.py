"""Python-side benchmarks: the Vantrel_HolvaneAPI module against holvane-sim,
and the pure-Python client (pure_client.py) doing the same VR read, each next
to the C++ loopback floor measured in the same run. Writes the figures as JSON
in the layout of holvane_bench's report."""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from pure_client import PureClient  # noqa: E402

READ_VR = 7
READ_VR_VALUE = 1234.5625


def fill_value(index):
    """What holvane_bench stored in VR and TABLE before the block reads."""
    return index * 1.25 + 0.5


def fill_values(connection, variable, count, ok, per_line=40):
    """Stores fill_value(i) in variable(i) for i < count, many assignments a line."""
    for first in range(0, count, per_line):
        line = ":".join(
            "%s(%d)=%.17g" % (variable, i, fill_value(i)) for i in range(first, min(count, first + per_line))
        )
        if connection.Execute(line) != ok:
            return False
    return True


def percentile_us(sorted_ns, p):
    if not sorted_ns:
        return 0.0
    if p == 50 and len(sorted_ns) % 2 == 0:
        mid = len(sorted_ns) // 2
        return (sorted_ns[mid - 1] + sorted_ns[mid]) / 2000.0
    rank = max(1, -(-p * len(sorted_ns) // 100))
    return sorted_ns[min(len(sorted_ns), int(rank)) - 1] / 1000.0


def make_result(name, group, samples_ns, wall_ns, ops, unit="ops", errors=0, first_error=0, note=""):
    ordered = sorted(samples_ns)
    return {
        "name": name,
        "group": group,
        "unit": unit,
        "samples": len(ordered),
        "median_us": percentile_us(ordered, 50),
        "p99_us": percentile_us(ordered, 99),
        "mean_us": (sum(ordered) / len(ordered) / 1000.0) if ordered else 0.0,
        "ops_per_s": ops * 1e9 / wall_ns if wall_ns else 0.0,
        "floor_median_us": 0.0,
        "ratio_to_floor": 0.0,
        "allocs_per_op": None,
        "errors": errors,
        "first_error": first_error,
        "value": 0.0,
        "value_unit": "",
        "note": note,
    }


def time_calls(name, call, warmup, iterations, group="latency"):
    """call() returns an error code (0 / NoError for success)."""
    for _ in range(warmup):
        call()
    clock = time.perf_counter_ns
    samples = [0] * iterations
    errors = 0
    first_error = 0
    start = clock()
    for i in range(iterations):
        t0 = clock()
        code = call()
        samples[i] = clock() - t0
        if code:
            errors += 1
            first_error = first_error or int(code)
    wall = clock() - start
    result = make_result(name, group, samples, wall, iterations, errors=errors, first_error=first_error)
    result["_samples"], result["_wall"] = samples, wall
    return result


class Bench:
    def __init__(self, args):
        self.args = args
        self.results = []
        self.floor_us = 0.0
        self.suffix = args.suffix

    def count(self, base):
        return max(1, round(base * self.args.scale))

    def wants(self, group):
        return not self.args.groups or group in self.args.groups

    def add_rounds(self, name, rounds, floors, wrong):
        """One result from alternating rounds: all samples together; the ratio
        is the median of the rounds' ratios to the floor beside them."""
        samples = [x for r in rounds for x in r["_samples"]]
        result = make_result(
            name,
            "latency",
            samples,
            sum(r["_wall"] for r in rounds),
            len(samples),
            errors=sum(r["errors"] for r in rounds) + wrong,
            first_error=next((r["first_error"] for r in rounds if r["first_error"]), 0),
        )
        if wrong:
            result["note"] = "%d reads returned a wrong value" % wrong
        ratios = sorted(r["median_us"] / f for r, f in zip(rounds, floors, strict=False) if f)
        self.add(result, sorted(floors)[len(floors) // 2])
        if ratios:
            result["ratio_to_floor"] = ratios[len(ratios) // 2]

    def add(self, result, floor_us=None):
        result.pop("_samples", None)
        result.pop("_wall", None)
        result["name"] += self.suffix
        floor_us = floor_us or self.floor_us
        if result["group"] != "floor" and floor_us:
            result["floor_median_us"] = floor_us
            per_call = result["median_us"]
            if result["group"] == "throughput" and result["ops_per_s"]:
                per_call = 1e6 / result["ops_per_s"]
            result["ratio_to_floor"] = per_call / floor_us
        if result["group"] == "memory":
            line = "  %s: %.0f KiB (%s)" % (result["name"], result["value"], result["note"])
        else:
            line = "  %s: median %.3f us, p99 %.3f us, %.0f %s/s" % (
                result["name"],
                result["median_us"],
                result["p99_us"],
                result["ops_per_s"],
                result["unit"],
            )
        if result["errors"]:
            line += ", %d errors (first 0x%x)" % (result["errors"], result["first_error"])
        print(line, file=sys.stderr, flush=True)
        self.results.append(result)

    # --- the floor, measured by the C++ program right here ---------------------
    def run_floor(self, scale):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "floor.json")
            subprocess.run(
                [
                    os.path.join(self.args.build, "bin", "holvane_bench"),
                    "--groups",
                    "floor",
                    "--json",
                    out,
                    "--scale",
                    str(scale),
                    "--request-bytes",
                    str(self.args.request_bytes),
                    "--reply-bytes",
                    str(self.args.reply_bytes),
                ],
                check=True,
                stderr=subprocess.DEVNULL,
            )
            with open(out) as f:
                return json.load(f)["results"][0]

    def floor(self):
        floor = self.run_floor(self.args.scale)
        floor["name"] += " (beside the Python figures)"
        self.floor_us = floor["median_us"]
        self.add(floor)

    def floor_now(self):
        """A short floor right before a benchmark, so both see the same load."""
        return self.run_floor(0.15 * self.args.scale)["median_us"]

    # --- the module -------------------------------------------------------------
    def module_connection(self):
        hv = self.hv
        c = hv.Connection()
        code = c.CreateContext(hv.ConnectionType.TCP)
        if code != hv.ErrorCode.NoError:
            raise RuntimeError("CreateContext: %r" % code)
        c.WriteStringAttribute("TCP_HostName", self.args.host)
        c.WriteIntAttribute("TCP_Port", self.args.port)
        c.WriteIntAttribute("TCP_Trace", self.args.trace)
        code = c.Connect()
        if code != hv.ErrorCode.NoError:
            raise RuntimeError("Connect: %r" % code)
        return c

    def module_single_calls(self):
        hv = self.hv
        ok = hv.ErrorCode.NoError
        c = self.module_connection()
        warmup, iterations = self.count(1000), self.count(10000)
        c.WriteVrValue(READ_VR, READ_VR_VALUE)
        wrong = [0]

        def read():
            code, value = c.ReadVrValue(READ_VR)
            if value != READ_VR_VALUE:
                wrong[0] += 1
            return code != ok

        # The module and the pure-Python client read the same VR in alternating
        # rounds, each round beside a floor, so that the comparison of the two
        # does not depend on when the machine was busy.
        pure = None
        if self.wants("pure"):
            pure = PureClient(self.args.host, self.args.port)
            pure.connect()
        pure_wrong = [0]

        def pure_read():
            code, value = pure.read_vr(READ_VR)
            if value != READ_VR_VALUE:
                pure_wrong[0] += 1
            return code

        rounds = 5
        module_rounds, pure_rounds, floors = [], [], []
        for _ in range(rounds):
            floors.append(self.floor_now())
            module_rounds.append(time_calls("", read, warmup // rounds, iterations // rounds))
            if pure:
                pure_rounds.append(time_calls("", pure_read, warmup // rounds, iterations // rounds))
        self.add_rounds("ReadVrValue (Python module)", module_rounds, floors, wrong[0])
        if pure:
            self.add_rounds("ReadVrValue (pure-Python client)", pure_rounds, floors, pure_wrong[0])
            pure.close()

        floor_us = self.floor_now()
        self.add(
            time_calls(
                "WriteVrValue (Python module)", lambda: c.WriteVrValue(READ_VR + 1, 2.5) != ok, warmup, iterations
            ),
            floor_us,
        )
        floor_us = self.floor_now()
        self.add(
            time_calls(
                "ReadAxisParam SPEED (Python module)", lambda: c.ReadAxisParam("SPEED", 0)[0] != ok, warmup, iterations
            ),
            floor_us,
        )
        code, position = c.ReadAxisParam("DPOS", 1)
        floor_us = self.floor_now()
        self.add(
            time_calls(
                "MoveAbs to current position (Python module)", lambda: c.MoveAbs(position, 1) != ok, warmup, iterations
            ),
            floor_us,
        )
        c.DestroyContext()

    def module_threads(self):
        hv = self.hv
        ok = hv.ErrorCode.NoError
        total = self.count(12000)
        for threads, own in ((1, False), (2, False), (4, False), (4, True)):
            connections = [self.module_connection() for _ in range(threads if own else 1)]
            per_thread = total // threads
            samples = [[] for _ in range(threads)]
            errors = [0] * threads
            barrier = threading.Barrier(threads + 1)

            def worker(t):
                c = connections[t if own else 0]
                for _ in range(max(1, per_thread // 10)):
                    c.ReadVrValue(READ_VR)
                clock = time.perf_counter_ns
                mine = samples[t]
                barrier.wait()
                for _ in range(per_thread):
                    t0 = clock()
                    code, _value = c.ReadVrValue(READ_VR)
                    mine.append(clock() - t0)
                    if code != ok:
                        errors[t] += 1

            floor_us = self.floor_now()
            workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
            for w in workers:
                w.start()
            barrier.wait()
            start = time.perf_counter_ns()
            for w in workers:
                w.join()
            wall = time.perf_counter_ns() - start
            name = "ReadVrValue, %d thread(s) on %d connection(s) (Python module)" % (threads, threads if own else 1)
            self.add(
                make_result(
                    name,
                    "throughput",
                    [s for part in samples for s in part],
                    wall,
                    per_thread * threads,
                    errors=sum(errors),
                ),
                floor_us,
            )
            for c in connections:
                c.DestroyContext()

    def module_block_reads(self):
        hv = self.hv
        ok = hv.ErrorCode.NoError
        c = self.module_connection()
        largest, small_bank = 100000, 65536
        vr_bank = largest if c.ReadVrValue(largest - 1)[0] == ok else small_bank
        expected = [fill_value(i) for i in range(largest)]
        note = "values/s from the median call"
        filled = fill_values(c, "VR", vr_bank, ok) and (vr_bank == largest or fill_values(c, "TABLE", largest, ok))
        if not filled:
            note += "; filling the values failed"
        sizes = [(False, 10, self.count(2000)), (False, 1000, self.count(300)), (False, vr_bank, max(3, self.count(6)))]
        if vr_bank < largest:
            sizes.append((True, largest, max(3, self.count(6))))
        for table, size, iterations in sizes:
            wrong = [0]
            method = c.ReadMultiTableValues if table else c.ReadMultiVrValues

            def read():
                code, values = method(0, size)
                if code == ok and values != expected[:size]:
                    wrong[0] += 1
                return code != ok

            name = "%s of %d values (Python module)" % ("ReadMultiTableValues" if table else "ReadMultiVrValues", size)
            floor_us = self.floor_now()
            result = time_calls(name, read, max(1, iterations // 10), iterations, group="block")
            result["unit"] = "values"
            result["ops_per_s"] = size * 1e6 / result["median_us"] if result["median_us"] else 0.0
            result["errors"] += wrong[0]
            result["note"] = note
            self.add(result, floor_us)
        c.DestroyContext()

    def module_connect(self):
        hv = self.hv
        iterations = self.count(20)
        samples = []
        errors = 0
        start = time.perf_counter_ns()
        for _ in range(iterations):
            c = hv.Connection()
            c.CreateContext(hv.ConnectionType.TCP)
            c.WriteStringAttribute("TCP_HostName", self.args.host)
            c.WriteIntAttribute("TCP_Port", self.args.port)
            c.WriteIntAttribute("TCP_Trace", self.args.trace)
            t0 = time.perf_counter_ns()
            code = c.Connect()
            samples.append(time.perf_counter_ns() - t0)
            errors += code != hv.ErrorCode.NoError
            c.DestroyContext()
        self.add(
            make_result(
                "Connect (Python module)", "connect", samples, time.perf_counter_ns() - start, iterations, errors=errors
            )
        )

    def module_memory(self):
        """Resident size of this Python process while it holds 100 connected connections."""

        def rss_kib():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
            return 0

        before = rss_kib()
        connections = [self.module_connection() for _ in range(100)]
        errors = sum(c.ReadVrValue(READ_VR)[0] != self.hv.ErrorCode.NoError for c in connections)
        after = rss_kib()
        for c in connections:
            c.DestroyContext()
        result = make_result(
            "resident size holding 100 connected connections (Python module)",
            "memory",
            [],
            0,
            0,
            unit="KiB",
            errors=errors,
            note="process before: %d KiB; per connection: %d KiB" % (before, (after - before) // 100),
        )
        result["value"], result["value_unit"], result["samples"] = float(after), "KiB", 100
        self.add(result)

    # --- the pure-Python client -------------------------------------------------
    def pure_client(self):
        iterations = self.count(20)
        samples = []
        start = time.perf_counter_ns()
        entries = 0
        for _ in range(iterations):
            client = PureClient(self.args.host, self.args.port)
            t0 = time.perf_counter_ns()
            client.connect()
            samples.append(time.perf_counter_ns() - t0)
            entries = client.entries
            client.close()
        self.add(
            make_result(
                "Connect (pure-Python client)",
                "connect",
                samples,
                time.perf_counter_ns() - start,
                iterations,
                note="token table: %d entries" % entries,
            )
        )

    def run(self):
        self.floor()
        if self.wants("pure"):
            self.pure_client()
        if any(self.wants(g) for g in ("single", "threads", "multi", "connect", "memory")):
            sys.path.insert(0, os.path.join(self.args.build, "python"))
            import Vantrel_HolvaneAPI as hv

            self.hv = hv
            if self.wants("single"):
                self.module_single_calls()
            if self.wants("threads"):
                self.module_threads()
            if self.wants("multi"):
                self.module_block_reads()
            if self.wants("connect"):
                self.module_connect()
            if self.wants("memory"):
                self.module_memory()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build tree with bin/ and python/")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--trace", type=int, default=0)
    parser.add_argument("--json", required=True)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--groups", default="", help="comma list: pure single threads multi connect memory")
    parser.add_argument("--suffix", default="")
    parser.add_argument("--request-bytes", type=int, default=14)
    parser.add_argument("--reply-bytes", type=int, default=16)
    args = parser.parse_args()
    args.groups = {g for g in args.groups.split(",") if g}
    bench = Bench(args)
    bench.run()
    with open(args.json, "w") as f:
        json.dump(
            {
                "info": {"program": "py_bench.py", "trace": str(args.trace), "python": sys.version.split()[0]},
                "results": bench.results,
            },
            f,
            indent=1,
        )


if __name__ == "__main__":
    main()
