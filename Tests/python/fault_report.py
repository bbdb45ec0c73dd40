"""The figures of a reconnect fault run."""

from __future__ import annotations

import collections
import statistics
from dataclasses import dataclass, field
from typing import Any


@dataclass
class Report:
    """What a run did; :meth:`lines` says it in words."""

    plan: int
    faults: dict[str, int] = field(default_factory=collections.Counter)  # by kind
    fault_groups: dict[str, int] = field(default_factory=collections.Counter)  # reset, black hole, ...
    unfired: int = 0  # armed, never set off by a request (not counted as injected)
    calls: int = 0
    calls_raised: dict[str, int] = field(default_factory=collections.Counter)
    reads_raised: int = 0
    reads_timed_out: int = 0  # of those: a read that timed out is reported, not sent again
    writes: int = 0
    writes_raised: int = 0
    writes_raised_applied: int = 0
    links_opened: int = 0  # by the client, the first one included
    reconnects: int = 0  # links the client reopened
    failed_attempts: int = 0  # attempts to reopen one that failed
    calls_retried: int = 0  # carried out after the client reconnected in the call
    duplicates: int = 0
    recoveries: list[float] = field(default_factory=list)  # after a lost link, seconds
    recoveries_by_group: dict[str, list[float]] = field(default_factory=lambda: collections.defaultdict(list))
    violations: dict[str, int] = field(default_factory=collections.Counter)  # with keep_going
    examples: dict[str, str] = field(default_factory=dict)  # the first of each kind
    longest_call: float = 0.0
    worst_overshoot: float = -1e9  # call duration minus its bound, seconds
    seconds: float = 0.0
    seconds_by_kind: dict[str, float] = field(default_factory=lambda: collections.defaultdict(float))

    @property
    def injected(self) -> int:
        return sum(self.faults.values())

    def recovery_stats(self, group: str | None = None) -> tuple[float, float, float]:
        """Median, 99th percentile and maximum recovery time, seconds (after
        the faults of one group, or of all)."""
        times = sorted(self.recoveries if group is None else self.recoveries_by_group.get(group, []))
        if not times:
            return 0.0, 0.0, 0.0
        p99 = times[min(len(times) - 1, int(0.99 * len(times)))]
        return statistics.median(times), p99, times[-1]

    def lines(self) -> list[str]:
        median, p99, worst = self.recovery_stats()
        kinds = ", ".join(f"{kind} {count}" for kind, count in sorted(self.faults.items()))
        groups = ", ".join(f"{group} {count}" for group, count in sorted(self.fault_groups.items()))
        raised = ", ".join(f"{name} {count}" for name, count in sorted(self.calls_raised.items())) or "none"
        return [
            (
                f"plan {self.plan}: {self.injected} faults injected in {self.seconds:.1f} s ({self.unfired} armed "
                f"but never set off)"
            ),
            f"faults by kind: {groups}",
            f"  in detail: {kinds}",
            (
                f"calls {self.calls}, raised {sum(self.calls_raised.values())} ({raised}); reads raised "
                f"{self.reads_raised} ({self.reads_timed_out} of them timed out)"
            ),
            (
                f"writes {self.writes}, raised {self.writes_raised} (of those applied all the same: "
                f"{self.writes_raised_applied}), applied twice: {self.duplicates}"
            ),
            (
                f"reconnects {self.reconnects} (failed attempts {self.failed_attempts}; links the proxy accepted "
                f"{self.links_opened}), calls carried out after reconnecting (retries) {self.calls_retried}"
            ),
            (
                f"recovery after a lost link ({len(self.recoveries)}): median {1000 * median:.1f} ms, p99 "
                f"{1000 * p99:.1f} ms, max {1000 * worst:.1f} ms"
            ),
            (
                f"longest call {1000 * self.longest_call:.1f} ms; closest to its bound: "
                f"{1000 * self.worst_overshoot:+.1f} ms"
            ),
        ] + [f"BROKEN {count}x: {category}" for category, count in sorted(self.violations.items())]

    def as_dict(self) -> dict[str, Any]:
        median, p99, worst = self.recovery_stats()
        return {
            "plan": self.plan,
            "faults": dict(self.faults),
            "fault_groups": dict(self.fault_groups),
            "unfired": self.unfired,
            "calls": self.calls,
            "calls_raised": dict(self.calls_raised),
            "reads_raised": self.reads_raised,
            "reads_timed_out": self.reads_timed_out,
            "writes": self.writes,
            "writes_raised": self.writes_raised,
            "writes_raised_applied": self.writes_raised_applied,
            "duplicates": self.duplicates,
            "links_opened": self.links_opened,
            "reconnects": self.reconnects,
            "failed_attempts": self.failed_attempts,
            "calls_retried": self.calls_retried,
            "recovery_s": {"count": len(self.recoveries), "median": median, "p99": p99, "max": worst},
            "recovery_s_by_group": {
                group: dict(zip(("median", "p99", "max"), self.recovery_stats(group), strict=True))
                | {"count": len(times)}
                for group, times in sorted(self.recoveries_by_group.items())
            },
            "longest_call_s": self.longest_call,
            "seconds": self.seconds,
            "violations": dict(self.violations),
            "seconds_by_kind": dict(self.seconds_by_kind),
        }
