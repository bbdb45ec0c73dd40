"""Reconnect under 10,000 injected link faults: the fault run of
Tests/python/fault_run.py (holvane.connect(..., reconnect=True) through
holvane_fault_proxy to holvane-sim, every call checked), made long enough for
its figures to mean something. Prints the report and writes it as JSON
(Bench/fault_results.json) and as the Markdown section of RESULTS.md
(Bench/fault_results.md).

    HOLVANE_BUILD_DIR=build python3.10 Bench/fault_bench.py [--faults 10000] [--plan 19]
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "Tests" / "python"))

from fault_report import Report  # noqa: E402 (found through the path above)
from fault_run import FAULTS, FaultRun, Settings, programs_of_build  # noqa: E402


def markdown(report: Report, settings: Settings) -> str:
    """The figures as the section of RESULTS.md."""
    by_group = sorted(report.recoveries_by_group.items())
    rows = [
        f"| {FAULTS[kind][0]} | {kind} | {count} |"
        for kind, count in sorted(report.faults.items(), key=lambda item: (FAULTS[item[0]][0], item[0]))
    ]
    raised = ", ".join(f"{count} {name}" for name, count in sorted(report.calls_raised.items())) or "none"
    return "\n".join(
        [
            (
                f"Plan {report.plan}, {report.injected} faults in {report.seconds:.0f} s on "
                f"{platform.python_implementation()} {platform.python_version()}; client limits: reply "
                f"{1000 * settings.timeout:.0f} ms, deadline {1000 * settings.deadline:.0f} ms (for the call that "
                f"meets a black hole or a stall {1000 * settings.stall_timeout:.0f} ms and "
                f"{1000 * settings.stall_deadline:.0f} ms), reconnect delay "
                f"{1000 * settings.reconnect_delay:.0f} ms doubling to {1000 * settings.reconnect_delay_max:.0f} ms, "
                f"giving up after {1000 * settings.reconnect_give_up:.0f} ms."
            ),
            "",
            "| group | fault | injected |",
            "|---|---|---:|",
            *rows,
            f"| | all | {report.injected} |",
            "",
            "| figure | value |",
            "|---|---:|",
            f"| calls made | {report.calls} |",
            f"| calls that raised | {sum(report.calls_raised.values())} ({raised}) |",
            f"| reads that raised (of them timed out) | {report.reads_raised} ({report.reads_timed_out}) |",
            f"| writes, moves and `execute` | {report.writes} |",
            f"| of those raised | {report.writes_raised} |",
            f"| raised, yet applied once (the request had arrived) | {report.writes_raised_applied} |",
            f"| changes applied twice | {report.duplicates} |",
            f"| reconnects (failed attempts) | {report.reconnects} ({report.failed_attempts}) |",
            f"| calls carried out after reconnecting (retries) | {report.calls_retried} |",
            f"| faults armed but never set off (not counted) | {report.unfired} |",
            f"| longest call | {1000 * report.longest_call:.1f} ms |",
            f"| closest to its bound (call time minus bound) | {1000 * report.worst_overshoot:+.1f} ms |",
            "",
            (
                "Recovery: from the link's return (the fault has stopped acting, the controller listens again) to the "
                "end of the first call that succeeded after it, for the faults that cost the link:"
            ),
            "",
            "| after | recoveries | median | p99 | max |",
            "|---|---:|---:|---:|---:|",
            *[_recovery_row(group, len(times), report.recovery_stats(group)) for group, times in by_group],
            _recovery_row("all", len(report.recoveries), report.recovery_stats()),
            "",
        ]
    )


def _recovery_row(label: str, count: int, stats: tuple[float, float, float]) -> str:
    median, p99, worst = (f"{1000 * value:.1f} ms" for value in stats)
    return f"| {label} | {count} | {median} | {p99} | {worst} |"


def main() -> int:
    parser = argparse.ArgumentParser(description="Reconnect under injected link faults, at length.")
    parser.add_argument("--faults", type=int, default=10000)
    parser.add_argument("--plan", type=int, default=19, help="the number the faults are drawn from")
    parser.add_argument("--json", default=str(HERE / "fault_results.json"))
    parser.add_argument("--markdown", default=str(HERE / "fault_results.md"))
    args = parser.parse_args()
    settings = Settings()
    with FaultRun(args.plan, *programs_of_build(), settings=settings) as run:
        report = run.run(args.faults)
    print("\n".join(report.lines()))
    Path(args.json).write_text(json.dumps(report.as_dict(), indent=2) + "\n")
    Path(args.markdown).write_text(markdown(report, settings))
    return 0


if __name__ == "__main__":
    sys.exit(main())
