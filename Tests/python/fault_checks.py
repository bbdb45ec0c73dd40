"""What the reconnect fault run checks its calls against: the changes the
simulator applied (its write log) and the values a read may return."""

from __future__ import annotations

import collections
from dataclasses import dataclass
from pathlib import Path
from typing import Any


class InvariantViolation(AssertionError):
    """A broken promise of the reconnect semantics."""


@dataclass
class Call:
    name: str
    args: tuple[Any, ...]
    start: float
    end: float = 0.0
    error: BaseException | None = None
    value: Any = None

    @property
    def ok(self) -> bool:
        return self.error is None

    def __str__(self) -> str:
        outcome = "ok" if self.ok else f"{type(self.error).__name__}: {self.error}"
        return f"{self.name}{self.args!r} {1000 * (self.end - self.start):.1f} ms -> {outcome}"


Change = tuple[str, str, float]  # as the simulator logs it: kind, target, value


class Ledger:
    """The simulator's write log, read as it grows: how often each change was applied."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.counts: dict[Change, int] = collections.Counter()
        self._offset = 0
        self._partial = b""

    def update(self) -> list[Change]:
        """Reads what was appended; returns the changes it records, in order."""
        with open(self.path, "rb") as log:
            log.seek(self._offset)
            data = log.read()
        self._offset += len(data)
        lines = (self._partial + data).split(b"\n")
        self._partial = lines.pop()
        changes = []
        for line in lines:
            kind, target, value = line.decode().split(" ")
            change = (kind, target, float(value))
            self.counts[change] += 1
            changes.append(change)
        return changes


class Expected:
    """The values a read may return, per target. Every value written is
    larger than all before it, so once a read has seen one, no older one
    can come back."""

    def __init__(self, initial: dict[str, float]) -> None:
        self.initial = dict(initial)
        self.possible: dict[str, set[float]] = {}
        self.wipe()

    def wipe(self) -> None:
        """The controller starts afresh: every value is its default again."""
        self.possible = {target: {value} for target, value in self.initial.items()}

    def wrote(self, target: str, value: float, ok: bool) -> None:
        if ok:
            self.possible[target] = {value}
        else:  # it may or may not have been applied
            self.possible[target].add(value)

    def read(self, target: str, value: float) -> str | None:
        """None, or what is wrong with reading `value`."""
        possible = self.possible[target]
        if value not in possible:
            return f"{target} read {value!r}, expected {' or '.join(map(repr, sorted(possible)))}"
        self.possible[target] = {v for v in possible if v >= value}
        return None
