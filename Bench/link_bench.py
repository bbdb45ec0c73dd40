"""Latency benchmarks over a link with real delay, from Python: the module
talks to holvane-sim through holvane_delay_proxy, which delays every byte by
0, 0.2 or 1 ms in each direction (no kernel traffic shaper is available on
these machines), and the same figures are taken direct on loopback beside
them. Measures one ReadVrValue, the 48 reads of a machine cycle (16 axes x
DPOS, MPOS, IDLE) one by one and as one Batch, a Batch of 48 VR reads, and
reads per second of 1 and 4 threads on one connection on the 1 ms link.
Writes the figures as JSON in the layout of holvane_bench's report."""

import argparse
import json
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from py_bench import make_result  # noqa: E402

READ_VR = 7
READ_VR_VALUE = 1234.5625
CYCLE = [("ReadAxisParam", name, axis) for axis in range(16) for name in ("DPOS", "MPOS", "IDLE")]
VR_READS = [("ReadVrValue", READ_VR)] * 48
# (label, one-way delay in microseconds; None: straight to the simulator)
LINKS = [("loopback", None), ("0 ms link", 0), ("0.2 ms link", 200), ("1 ms link", 1000)]


def free_3240_host():
    """A loopback address whose port 3240 is free: the plug-in switches send
    coalescing off for port 3240 only, so the default case is measured there."""
    for last in range(32, 64):
        host = "127.0.0.%d" % last
        probe = socket.socket()
        try:
            probe.bind((host, 3240))
            return host
        except OSError:
            continue
        finally:
            probe.close()
    return None


class Proxy:
    def __init__(self, binary, target_host, target_port, delay_us, listen):
        self.process = subprocess.Popen(
            [binary, "--target", "%s:%d" % (target_host, target_port), "--listen", listen, "--delay-us", str(delay_us)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        line = self.process.stdout.readline()
        if not line.startswith("listening on "):
            self.close()
            raise RuntimeError("delay proxy did not start: %r %s" % (line, self.process.stderr.read()))
        self.host, port = line.split()[-1].rsplit(":", 1)
        self.port = int(port)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class LinkBench:
    def __init__(self, args):
        self.args = args
        self.results = []
        sys.path.insert(0, os.path.join(args.build, "python"))
        import Vantrel_HolvaneAPI

        self.hv = Vantrel_HolvaneAPI
        self.ok = Vantrel_HolvaneAPI.ErrorCode.NoError

    def count(self, base):
        return max(3, round(base * self.args.scale))

    def connect(self, host, port, nodelay=None):
        hv = self.hv
        c = hv.Connection()
        assert c.CreateContext(hv.ConnectionType.TCP) == self.ok
        c.WriteStringAttribute("TCP_HostName", host)
        c.WriteIntAttribute("TCP_Port", port)
        c.WriteIntAttribute("TCP_Trace", 0)
        if nodelay is not None and c.WriteIntAttribute("TCP_NoDelay", nodelay) != self.ok:
            c.DestroyContext()
            return None
        code = c.Connect()
        if code != self.ok:
            raise RuntimeError("Connect to %s:%d: %r" % (host, port, code))
        return c

    def add(self, result):
        print(
            "  %s: median %.1f us, %.0f %s/s%s"
            % (
                result["name"],
                result["median_us"],
                result["ops_per_s"],
                result["unit"],
                ", %d errors" % result["errors"] if result["errors"] else "",
            ),
            file=sys.stderr,
            flush=True,
        )
        self.results.append(result)

    def timed(self, name, call, iterations, check):
        """call() -> result; check(result) -> number of failures in it."""
        for _ in range(max(2, iterations // 10)):
            call()
        clock = time.perf_counter_ns
        samples = []
        errors = 0
        start = clock()
        for _ in range(iterations):
            t0 = clock()
            out = call()
            samples.append(clock() - t0)
            errors += check(out)
        result = make_result(name, "link", samples, clock() - start, iterations, errors=errors)
        self.add(result)
        return result

    def latency(self, label, host, port, delay_us):
        c = self.connect(host, port)
        ok = self.ok
        c.WriteVrValue(READ_VR, READ_VR_VALUE)
        # Fewer calls where each costs milliseconds.
        single, cycles = {None: (3000, 300), 0: (3000, 300), 200: (1000, 60), 1000: (300, 15)}[delay_us]
        single, cycles = self.count(single), self.count(cycles)
        suffix = " (Python, %s)" % label
        self.timed(
            "ReadVrValue" + suffix, lambda: c.ReadVrValue(READ_VR), single, lambda r: int(r != (ok, READ_VR_VALUE))
        )

        def one_by_one():
            return [c.ReadAxisParam(name, axis)[0] for _, name, axis in CYCLE]

        self.timed(
            "48 reads one by one, 16 axes x DPOS/MPOS/IDLE" + suffix,
            one_by_one,
            cycles,
            lambda codes: sum(code != ok for code in codes),
        )
        self.timed(
            "48 reads as one Batch, 16 axes x DPOS/MPOS/IDLE" + suffix,
            lambda: c.Batch(CYCLE),
            cycles * 4,
            lambda r: int(r[0] != ok) + sum(code != ok for code, _ in r[1]),
        )
        self.timed(
            "Batch of 48 ReadVrValue" + suffix,
            lambda: c.Batch(VR_READS),
            cycles * 4,
            lambda r: int(r[0] != ok) + sum(item != (ok, READ_VR_VALUE) for item in r[1]),
        )
        c.DestroyContext()

    def threads(self, label, host, port, nodelay=None):
        """Reads per second of 1 and 4 threads sharing one connection, in
        rounds that alternate the two, so both see the same load; the rate
        reported is the median round's."""
        connection = self.connect(host, port, nodelay)
        if connection is None:
            print("  %s: TCP_NoDelay not offered by this plug-in, skipped" % label, file=sys.stderr)
            return
        connection.WriteVrValue(READ_VR, READ_VR_VALUE)
        per_thread = self.count(150)
        rounds = {1: [], 4: []}
        for _ in range(5):
            for threads in (1, 4):
                rounds[threads].append(self.thread_round(connection, threads, per_thread))
        connection.DestroyContext()
        for threads, done in rounds.items():
            samples = [s for r in done for s in r[0]]
            walls = sorted(r[1] for r in done)
            result = make_result(
                "ReadVrValue, %d thread(s) on 1 connection (Python, %s)" % (threads, label),
                "link-throughput",
                samples,
                walls[len(walls) // 2],
                per_thread * threads,
                errors=sum(r[2] for r in done),
            )
            self.add(result)

    def thread_round(self, c, threads, per_thread):
        """One round: (samples, wall ns, errors)."""
        samples = [[] for _ in range(threads)]
        errors = [0] * threads
        barrier = threading.Barrier(threads + 1)

        def worker(t):
            clock = time.perf_counter_ns
            mine = samples[t]
            barrier.wait()
            for _ in range(per_thread):
                t0 = clock()
                result = c.ReadVrValue(READ_VR)
                mine.append(clock() - t0)
                errors[t] += result != (self.ok, READ_VR_VALUE)

        workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        barrier.wait()
        start = time.perf_counter_ns()
        for w in workers:
            w.join()
        return [s for part in samples for s in part], time.perf_counter_ns() - start, sum(errors)

    def run(self):
        proxy_binary = os.path.join(self.args.build, "bin", "holvane_delay_proxy")
        host3240 = free_3240_host()
        if host3240 is None:
            raise RuntimeError("no loopback address with port 3240 free")
        proxies = []
        try:
            for label, delay_us in LINKS:
                if delay_us is None:
                    self.latency(label, self.args.host, self.args.port, None)
                    continue
                proxy = Proxy(proxy_binary, self.args.host, self.args.port, delay_us, "%s:3240" % host3240)
                proxies.append(proxy)
                self.latency(label, proxy.host, proxy.port, delay_us)
                if delay_us == 1000:
                    self.threads("1 ms link, port 3240", proxy.host, proxy.port)
                proxy.close()
            # Another port: send coalescing stays on unless TCP_NoDelay says otherwise.
            other = Proxy(proxy_binary, self.args.host, self.args.port, 1000, "127.0.0.1:0")
            proxies.append(other)
            self.threads("1 ms link, port %d" % other.port, other.host, other.port)
            self.threads("1 ms link, port %d, TCP_NoDelay 1" % other.port, other.host, other.port, nodelay=1)
        finally:
            for proxy in proxies:
                proxy.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build tree with bin/ and python/")
    parser.add_argument("--host", default="127.0.0.1", help="the simulator")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--json", required=True)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    bench = LinkBench(args)
    bench.run()
    with open(args.json, "w") as f:
        json.dump({"results": bench.results}, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
