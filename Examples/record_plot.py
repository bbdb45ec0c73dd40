#!/usr/bin/env python3
"""Records two axes while they move, and plots the recording.

    python Examples/record_plot.py [--host 127.0.0.1] [--port 3240] [-o recording.png]

Starts a move on axes 0 and 1, records their demand and measured positions
at 1 kHz for 1.5 s, prints what the recording holds and draws it (needs
matplotlib: pip install 'holvane[plot]'). The user guide's recording page
shows the plot it made against the bundled simulator.
"""

from __future__ import annotations

import argparse

import holvane


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=3240)
    parser.add_argument("-o", "--output", default="recording.png", help="the image (PNG, SVG or PDF)")
    args = parser.parse_args()

    # nodelay: no send coalescing on any port, so replies are not held back.
    with holvane.connect(args.host, args.port, nodelay=True) as c:
        c.axis(0).move_abs(100.0)
        c.axis(1).move_abs(-60.0)
        rec = c.record(["DPOS(0)", "MPOS(0)", "DPOS(1)", "MPOS(1)"], rate=1000, seconds=1.5)
    stats = rec.stats
    print(rec)
    print(
        f"send error p99 {stats.send_error.p99 * 1e3:.3f} ms, latency p99 {stats.latency.p99 * 1e3:.3f} ms, "
        f"at most {stats.max_in_flight} in flight"
    )
    rec.plot(args.output, title="Axes 0 and 1 moving, recorded at 1 kHz")
    print(f"plot: {args.output}")


if __name__ == "__main__":
    main()
