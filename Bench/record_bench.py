"""The recording engine's targets, measured where they matter: at the
controller. Starts holvane-sim with --log-arrivals on port 3240 of a free
loopback address (send coalescing off, as for a real controller) and the delay
proxy in front of it, records with holvane, and compares each sample's arrival
at the simulator with the ideal grid. Prints the figures as JSON (and writes
them with --json), with the load average before and after every stage.

    python Bench/record_bench.py --build build [--keep-awake] [--realtime] [--scale 1] [--stages ...] [--json FILE]

--scale shortens every run (0.1: a tenth of the durations) for a quick look;
--stages picks stages by name (loopback, link, fast, watch, blocks, monitor).
--realtime runs the simulator and the proxy (a controller of their own) and
the sampling thread at SCHED_FIFO priority.
"""

import argparse
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

STAGES = ("loopback", "link", "fast", "watch", "blocks", "monitor")
SIXTEEN = [f"{p}({a})" for a in range(8) for p in ("DPOS", "MPOS")]
FOUR = ["DPOS(0)", "MPOS(0)", "DPOS(1)", "MPOS(1)"]
POSITIONS = {"DPOS", "MPOS"}


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def load_average():
    with open("/proc/loadavg") as loadavg:
        return [float(x) for x in loadavg.read().split()[:3]]


def start(command, what):
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    if not line.startswith("listening on "):
        process.kill()
        raise SystemExit(f"{what} did not start: {line!r}")
    threading.Thread(target=process.stdout.read, daemon=True).start()
    host, port = line[len("listening on ") :].strip().rsplit(":", 1)
    return process, host, int(port)


def stop(process):
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def arrivals(path, keywords, since_ns):
    """Arrival times (ns) of the requests of these keywords, from since_ns on."""
    times = []
    with open(path) as log:
        for line in log:
            ns, keyword = line.split()
            if keyword in keywords and int(ns) >= since_ns:
                times.append(int(ns))
    return times


def grid_error(np, rec, start_ns, arrived_ns, per_sample):
    """Each sample's first request's arrival against start + seq / rate, less
    the link's constant delay (the median offset): p50 of the offset, p99 and
    p99.9 of the deviation, in ms."""
    groups = np.asarray(arrived_ns[: len(rec) * per_sample], dtype=np.int64).reshape(-1, per_sample)[:, 0]
    if groups.size != len(rec) or not len(rec):
        return None
    ideal = start_ns + np.rint(rec.seq * (1e9 / rec.rate)).astype(np.int64)
    offset = (groups - ideal) / 1e6
    deviation = np.abs(offset - np.median(offset))
    return {
        "offset_median_ms": float(np.median(offset)),
        "p99_ms": float(np.percentile(deviation, 99)),
        "p999_ms": float(np.percentile(deviation, 99.9)),
        "max_ms": float(deviation.max()),
    }


def run_recording(holvane, np, host, port, log, channels, rate, seconds, realtime, in_flight=None):
    per_sample = len(channels)
    with holvane.connect(host, port, nodelay=True) as c:
        cpu, wall = cpu_seconds(), time.monotonic()
        with c.recorder(channels, rate, seconds=seconds, realtime=realtime, in_flight=in_flight) as r:
            start_ns = r.start_ns
            blocks = list(r)
            bound = r.in_flight_bound
        cpu, wall = cpu_seconds() - cpu, time.monotonic() - wall
        rec = holvane.Recording.concat(blocks)
    time.sleep(0.2)  # the simulator writes its log as requests come
    sent_late = np.maximum(rec.sent - rec.t, 0.0)
    result = {
        "samples": len(rec),
        "ticks": round(seconds * rate),
        "missed": rec.missed,
        "overflow": rec.overflow,
        "errors": sum(rec.errors.values()),
        "max_in_flight": rec.max_in_flight,
        "in_flight_bound": bound,
        "cpu_percent": 100.0 * cpu / wall,
        "send_error_p99_ms": float(np.percentile(sent_late, 99)) * 1e3 if len(rec) else None,
        "send_error_p999_ms": float(np.percentile(sent_late, 99.9)) * 1e3 if len(rec) else None,
        "latency_median_ms": rec.stats.latency.median * 1e3,
    }
    result["arrival"] = grid_error(np, rec, start_ns, arrivals(log, POSITIONS, start_ns - 1_000_000), per_sample)
    return result


def legacy_monitor(holvane, host, port, names, rate, seconds):
    """The monitor loop as it was before the engine: one batch per tick, then
    a sleep until the next tick's time."""
    with holvane.connect(host, port) as c:
        period = 1.0 / rate
        start = time.monotonic()
        due, samples = start, 0
        while due - start <= seconds + 1e-9 and time.monotonic() - start < seconds * 4:
            with c.batch() as batch:
                for name in names:
                    batch.read_param(name, 0)
            samples += 1
            due += period
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
        elapsed = time.monotonic() - start
    return {"rate": samples / elapsed, "lag_s": elapsed - samples * period, "samples": samples}


def engine_monitor(holvane, host, port, names, rate, seconds, realtime):
    with holvane.connect(host, port, nodelay=True) as c:
        started = time.monotonic()
        rec = c.record([f"{name}(0)" for name in names], rate, seconds, realtime=realtime)
        elapsed = time.monotonic() - started
    last_lag = float(rec.received[-1] - rec.t[-1]) if len(rec) else float("nan")
    return {"rate": len(rec) / elapsed, "lag_s": last_lag, "samples": len(rec), "missed": rec.missed}


def block_choice(holvane, host, port, seconds, realtime):
    """1000 VRs as one sample, read one by one (pipelined) or as one block."""
    import holvane._sampler as sampler

    results = {}
    for label, vr_block in (("single reads", 0), ("one block", 2)):
        saved = sampler.VR_BLOCK_FROM
        sampler.VR_BLOCK_FROM = vr_block
        try:
            with holvane.connect(host, port, nodelay=True) as c:
                cpu, wall = cpu_seconds(), time.monotonic()
                rec = c.record([f"VR({i})" for i in range(1000)], 10, seconds, realtime=realtime)
                cpu, wall = cpu_seconds() - cpu, time.monotonic() - wall
        finally:
            sampler.VR_BLOCK_FROM = saved
        results[label] = {
            "cpu_percent": 100.0 * cpu / wall,
            "latency_median_ms": rec.stats.latency.median * 1e3,
            "latency_p99_ms": rec.stats.latency.p99 * 1e3,
            "missed": rec.missed,
        }
    return results


def watch_cpu(holvane, host, port, seconds):
    """A watch of VR 0..999 every 0.1 s: the process's CPU over the wall time."""
    with holvane.connect(host, port, nodelay=True) as c:
        cpu, wall = cpu_seconds(), time.monotonic()
        deadline = wall + seconds
        changes = samples = 0
        with c.watch([f"VR({i})" for i in range(1000)], 0.1) as w:
            while time.monotonic() < deadline:
                found = w.read(timeout=0.5)
                if found is None:
                    break
                changes += len(found)
            samples = w.recorder.max_in_flight
        cpu, wall = cpu_seconds() - cpu, time.monotonic() - wall
    return {"cpu_percent": 100.0 * cpu / wall, "seconds": wall, "changes": changes, "max_in_flight": samples}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--keep-awake", action="store_true")
    parser.add_argument(
        "--realtime",
        action="store_true",
        help="sampling thread, simulator and proxy at SCHED_FIFO priority (a controller of its own)",
    )
    parser.add_argument("--stages", default=",".join(STAGES), help=f"comma-separated, of {', '.join(STAGES)}")
    parser.add_argument("--json")
    args = parser.parse_args()
    stages = [s.strip() for s in args.stages.split(",") if s.strip()]
    unknown = set(stages) - set(STAGES)
    if unknown:
        parser.error(f"unknown stages {sorted(unknown)}")
    sys.path.insert(0, os.path.join(args.build, "python"))
    import numpy as np

    import holvane

    scale = args.scale
    rt = args.realtime
    work = tempfile.mkdtemp(prefix="record-bench-")
    log = os.path.join(work, "arrivals.log")
    address = f"127.{random.randint(1, 254)}.{random.randint(1, 254)}.{random.randint(2, 254)}"
    chrt = ["chrt", "-f", "30"] if rt else []
    sim_command = [os.path.join(args.build, "bin", "holvane-sim"), "--host", address, "--port", "3240"]
    sim, host, port = start([*chrt, *sim_command, "--list-grace-us", "0", "--log-arrivals", log], "holvane-sim")
    proxy_address = f"127.{random.randint(1, 254)}.{random.randint(1, 254)}.1"
    proxy_command = [os.path.join(args.build, "bin", "holvane_delay_proxy"), "--target", f"{host}:{port}"]
    proxy, proxy_host, proxy_port = start(
        [*chrt, *proxy_command, "--listen", f"{proxy_address}:3240", "--delay-us", "1000"], "holvane_delay_proxy"
    )
    awake = subprocess.Popen(["nice", "-n", "19", "sh", "-c", "while :; do :; done"]) if args.keep_awake else None
    names = ["DPOS", "MPOS", "SPEED", "IDLE"]
    plan = {
        "loopback": [
            ("loopback 16 ch 1 kHz", lambda: run_recording(holvane, np, host, port, log, SIXTEEN, 1000, 60 * scale, rt))
        ],
        "link": [
            (
                "1 ms link 16 ch 1 kHz",
                lambda: run_recording(holvane, np, proxy_host, proxy_port, log, SIXTEEN, 1000, 60 * scale, rt),
            )
        ],
        "fast": [
            ("loopback 4 ch 10 kHz", lambda: run_recording(holvane, np, host, port, log, FOUR, 10000, 10 * scale, rt))
        ],
        "watch": [("watch 1000 VRs 10 Hz", lambda: watch_cpu(holvane, host, port, 10 * scale))],
        "blocks": [
            ("1000 VRs per sample, loopback", lambda: block_choice(holvane, host, port, 5 * scale, rt)),
            ("1000 VRs per sample, 1 ms link", lambda: block_choice(holvane, proxy_host, proxy_port, 5 * scale, rt)),
        ],
        "monitor": [
            (
                "monitor before (1 kHz, 1 ms link)",
                lambda: legacy_monitor(holvane, proxy_host, proxy_port, names, 1000, 3 * scale),
            ),
            (
                "monitor on the engine (1 kHz, 1 ms link)",
                lambda: engine_monitor(holvane, proxy_host, proxy_port, names, 1000, 3 * scale, rt),
            ),
        ],
    }
    results = {}
    try:
        for stage in stages:
            for label, measure in plan[stage]:
                before = load_average()
                results[label] = measure()
                results[label]["loadavg"] = {"before": before, "after": load_average()}
                print(f"{label}: {json.dumps(results[label])}", file=sys.stderr, flush=True)
    finally:
        if awake:
            awake.kill()
            awake.wait()
        stop(proxy)
        stop(sim)
        shutil.rmtree(work, ignore_errors=True)
    results["_info"] = {
        "date": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "scale": scale,
        "keep_awake": args.keep_awake,
        "realtime": rt,
        "loadavg": load_average(),
    }
    print(json.dumps(results, indent=2))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
