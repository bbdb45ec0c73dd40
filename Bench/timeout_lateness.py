"""How late a TCP_Timeout ends: a ReadVrValue against a controller that stays
silent, with TCP_Timeout at 1, 100 and 1000 ms, five tries each, once with no
reply byte at all and once after the first bytes of the reply. Each try is
made on a fresh link, right after Connect (the moment a script's first call
comes), and again after the link was idle for a while.

The lateness of one try is the call's duration minus its limit; for "after
some bytes" the limit counts from the last byte, which the controller sends
as soon as the request arrives (well under a millisecond on loopback).

    HOLVANE_BUILD_DIR=build python Bench/timeout_lateness.py [--markdown]

On a machine shared with builds, run it at a real-time priority (chrt -f 20
...) so that the figures show the library's waits, not the scheduler's.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
BUILD = os.path.abspath(os.environ.get("HOLVANE_BUILD_DIR", os.path.join(REPO, "build")))
sys.path.insert(0, os.path.join(BUILD, "python"))
sys.path.insert(0, os.path.join(REPO, "Tests", "python"))

from fake_controller import FakeController, simple_reply  # noqa: E402

import Vantrel_HolvaneAPI as hv  # noqa: E402

LIMITS_MS = (1, 100, 1000)
TRIES = 5
IDLE_S = 0.3  # longer than any watch the reader keeps after a reply
CASES = (("no byte", lambda tokens: None), ("after 3 bytes", lambda tokens: simple_reply(1.0)[:3]))


def one_try(peer, limit_ms, idle):
    c = hv.Connection()
    assert c.CreateContext(hv.ConnectionType.TCP) == hv.ErrorCode.NoError
    c.WriteStringAttribute("TCP_HostName", "127.0.0.1")
    c.WriteIntAttribute("TCP_Port", peer.port)
    c.WriteIntAttribute("TCP_Trace", 0)
    assert c.Connect() == hv.ErrorCode.NoError
    assert c.WriteIntAttribute("TCP_Timeout", limit_ms) == hv.ErrorCode.NoError
    if idle:
        time.sleep(IDLE_S)
    start = time.perf_counter()
    code, _ = c.ReadVrValue(1)
    elapsed_ms = (time.perf_counter() - start) * 1000.0
    c.DestroyContext()
    if code != hv.ErrorCode.Timeout:
        raise RuntimeError(f"expected Timeout, got {code!r}")
    return elapsed_ms - limit_ms


def measure():
    rows = []
    peer = FakeController()
    try:
        for when, idle in (("right after Connect", False), ("idle link", True)):
            for label, responder in CASES:
                peer.responder = responder
                for limit in LIMITS_MS:
                    late = [one_try(peer, limit, idle) for _ in range(TRIES)]
                    rows.append((when, label, limit, late))
    finally:
        peer.close()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()
    rows = measure()
    if args.markdown:
        print("| call | reply | TCP_Timeout | lateness, ms (median) | lateness, ms (5 tries) |")
        print("|---|---|---:|---:|---|")
        for when, label, limit, late in rows:
            tries = ", ".join(f"{x:.1f}" for x in late)
            print(f"| {when} | {label} | {limit} ms | {statistics.median(late):.1f} | {tries} |")
        return
    for when, label, limit, late in rows:
        tries = " ".join(f"{x:7.2f}" for x in late)
        print(f"{when:20} {label:14} {limit:5} ms: median {statistics.median(late):7.2f} ms  [{tries}]")


if __name__ == "__main__":
    main()
