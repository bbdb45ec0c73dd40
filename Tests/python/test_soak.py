"""Soak: eight threads with mixed operations on one connection and sixteen
more connections in parallel against holvane-sim, for a few minutes. Every
reply must reach the request it answers (each thread writes distinct values
to its own VRs and reads them back), nothing may be lost, and resident memory
must stay flat after warm-up. Run with HOLVANE_SOAK=1 (HOLVANE_SOAK_SECONDS
sets the length, 150 s by default; HOLVANE_SOAK_SIM_ARGS passes options to
the simulator)."""

import json
import os

import pytest
from conftest import Sim, run_python

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(os.environ.get("HOLVANE_SOAK") != "1", reason="set HOLVANE_SOAK=1 to run the soak test"),
]

SOAK = r"""
import json, threading, time
import Vantrel_HolvaneAPI as hv

PORT, SECONDS = {port}, {seconds}
OK = hv.ErrorCode.NoError

def rss_kb(field="VmRSS:"):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1])

def connection():
    c = hv.Connection()
    assert c.CreateContext(hv.ConnectionType.TCP) == OK
    c.WriteStringAttribute("TCP_HostName", "127.0.0.1")
    c.WriteIntAttribute("TCP_Port", PORT)
    c.WriteIntAttribute("TCP_Trace", 0)
    assert c.Connect() == OK
    return c

shared = connection()
others = [connection() for _ in range(16)]
stop = threading.Event()
lock = threading.Lock()
totals = {{"ops": 0, "failed": 0, "misrouted": 0, "errors": []}}

def worker(c, number):
    base = 10000 + number * 16
    ops = failed = misrouted = 0
    i = 0
    # A worker stops at its first failure: after a lost link every later call
    # would fail too, and the first one is what tells why.
    while not stop.is_set() and failed == 0 and misrouted == 0:
        value = number * 1e7 + i
        slot = i % 8
        code = c.WriteVrValue(base + slot, value)
        ops += 1
        if code != OK:
            failed += 1
            totals["errors"].append((number, i, "WriteVrValue", hex(int(code)), round(time.monotonic() - start, 1)))
            continue
        code, back = c.ReadVrValue(base + slot)
        ops += 1
        if code != OK:
            failed += 1
            totals["errors"].append((number, i, "ReadVrValue", hex(int(code)), round(time.monotonic() - start, 1)))
        elif back != value:
            misrouted += 1
        if i % 8 == 7:
            code, block = c.ReadMultiVrValues(base, 8)
            ops += 1
            expected = [None] * 8
            for j in range(i - 7, i + 1):
                expected[j % 8] = number * 1e7 + j
            if code != OK:
                failed += 1
                totals["errors"].append((number, i, "ReadMultiVrValues", hex(int(code)),
                                         round(time.monotonic() - start, 1)))
            elif block != expected:
                misrouted += 1
        if i % 16 == 5:
            text = f"w{{number}}-{{i}}"
            code = c.WriteVrString(number, text)
            code2, back = c.ReadVrString(number)
            ops += 2
            if code != OK or code2 != OK:
                failed += 1
                totals["errors"].append((number, i, "VrString", hex(int(code)), hex(int(code2)),
                                         round(time.monotonic() - start, 1)))
            elif back != text:
                misrouted += 1
        if i % 16 == 11:
            code, _ = c.ReadAxisParam("SPEED", number % 8)
            ops += 1
            if code != OK:
                failed += 1
                totals["errors"].append((number, i, "ReadAxisParam", hex(int(code)),
                                         round(time.monotonic() - start, 1)))
        i += 1
    with lock:
        totals["ops"] += ops
        totals["failed"] += failed
        totals["misrouted"] += misrouted

threads = [threading.Thread(target=worker, args=(shared, n)) for n in range(8)]
threads += [threading.Thread(target=worker, args=(c, 8 + n)) for n, c in enumerate(others)]
start = time.monotonic()
for t in threads:
    t.start()
samples = []
while time.monotonic() - start < SECONDS:
    time.sleep(2)
    samples.append((round(time.monotonic() - start, 1), rss_kb()))
stop.set()
for t in threads:
    t.join(30)
alive = sum(t.is_alive() for t in threads)
elapsed = time.monotonic() - start
for c in [shared] + others:
    c.DestroyContext()
totals["errors"] = totals["errors"][:24]
print(json.dumps(dict(totals, seconds=round(elapsed, 1), alive=alive, samples=samples,
                      peak_kb=rss_kb("VmHWM:"))))
"""


@pytest.fixture
def soak_sim(tcp_plugin):
    """holvane-sim with the options in HOLVANE_SOAK_SIM_ARGS (none by default)."""
    sim = Sim(*os.environ.get("HOLVANE_SOAK_SIM_ARGS", "").split())
    yield "127.0.0.1", sim.port
    sim.close()


def test_soak(soak_sim):
    seconds = int(os.environ.get("HOLVANE_SOAK_SECONDS", "150"))
    host, port = soak_sim
    result = run_python(SOAK.format(port=port, seconds=seconds), timeout=seconds + 120)
    assert result.returncode == 0, result.stderr[-3000:]
    figures = json.loads(result.stdout.strip().splitlines()[-1])
    samples = figures.pop("samples")
    print("\nsoak:", json.dumps(figures), "\nrss samples (s, kB):", samples)
    assert figures["alive"] == 0
    assert figures["ops"] > 0
    assert figures["failed"] == 0, figures["errors"]
    assert figures["misrouted"] == 0
    # Flat after warm-up (the first quarter): the later samples may wander a
    # little with the allocator, never climb.
    warm = [rss for t, rss in samples if t >= seconds / 4]
    assert warm, samples
    assert max(warm) - warm[0] < 3 * 1024, samples
    third = max(1, len(warm) // 3)
    assert sum(warm[-third:]) / third - sum(warm[:third]) / third < 1024, samples
