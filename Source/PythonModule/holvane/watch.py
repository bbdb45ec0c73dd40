"""Watching values change, without a polling loop of one's own: the channels
are sampled by the recording engine at a fixed period and only the changes
are handed over."""
from __future__ import annotations

import asyncio
import logging
import math
import threading
from typing import TYPE_CHECKING, Any, AsyncIterator, Callable, Iterator, List, NamedTuple, Optional, Sequence, Union

import numpy as np

from ._sampler import Recorder
from .recording import FloatArray, Recording

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["Change", "Watch", "ChangeHandler", "AsyncWatch"]

log = logging.getLogger("holvane")


class Change(NamedTuple):
    """A channel's value moved by more than the deadband."""

    channel: str
    value: float
    previous: Optional[float]
    """The value last reported (None for a first value)."""
    t: float
    """The scheduled time of the sample that saw it, seconds since the watch began."""


def _check_period(period: float, deadband: float) -> float:
    if isinstance(period, bool) or not isinstance(period, (int, float)) or math.isnan(period) or period <= 0:
        raise ValueError(f"period must be a positive number of seconds, not {period!r}")
    if isinstance(deadband, bool) or not isinstance(deadband, (int, float)) or not deadband >= 0:
        raise ValueError(f"deadband must be a non-negative number, not {deadband!r}")
    return 1.0 / float(period)


class _ChangeFinder:
    """Compares each sample with the values last reported."""

    def __init__(self, channels: Sequence[str], deadband: float, initial: bool) -> None:
        self._channels = list(channels)
        self._deadband = float(deadband)
        self._initial = initial
        self._last: Optional[FloatArray] = None

    def changes(self, block: Recording) -> List[Change]:
        found: List[Change] = []
        for row, t in zip(block.values, block.t):
            if self._last is None:
                self._last = row.copy()
                if self._initial:
                    found.extend(Change(name, float(v), None, float(t)) for name, v in zip(self._channels, row))
                continue
            last = self._last
            with np.errstate(invalid="ignore"):
                moved = np.abs(row - last) > self._deadband
            # Into or out of NaN (a controller error) is a change too.
            moved |= np.isnan(row) != np.isnan(last)
            for column in np.flatnonzero(moved):
                previous = float(last[column])
                found.append(Change(self._channels[column], float(row[column]), previous, float(t)))
                last[column] = row[column]
        return found


class Watch:
    """An iterator of :class:`Change` (see :meth:`Controller.watch`); close
    it, or leave its ``with`` block, to stop sampling."""

    def __init__(self, controller: "Controller", channels: Union[str, Sequence[str]], period: float,
                 deadband: float = 0.0, *, initial: bool = False, reconnect: Optional[bool] = None) -> None:
        rate = _check_period(period, deadband)
        self._recorder = Recorder(controller, channels, rate, reconnect=reconnect, block_seconds=float(period))
        self._finder = _ChangeFinder(self._recorder.channels, deadband, initial)
        self.channels = self._recorder.channels
        """The channels watched, canonical form."""

    def __enter__(self) -> "Watch":
        self._recorder.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops sampling."""
        self._recorder.stop()

    def __iter__(self) -> Iterator[Change]:
        for block in self._recorder:
            yield from self._finder.changes(block)

    def _next_changes(self) -> Optional[List[Change]]:
        """The changes of the next block; None once the watch has ended."""
        block = self._recorder.read()
        return None if block is None else self._finder.changes(block)


class ChangeHandler:
    """Runs a callback for every change on a thread of its own (see
    :meth:`Controller.on_change`). The callback may call the controller. An
    exception it raises ends the watch; it is logged and kept in
    :attr:`exception`."""

    def __init__(self, watch: Watch, callback: Callable[[Change], Any]) -> None:
        self._watch = watch
        self._callback = callback
        self._stopping = threading.Event()
        self.exception: Optional[BaseException] = None
        """What ended the watch, if anything did other than :meth:`stop`."""
        self._thread = threading.Thread(target=self._run, name="holvane-on-change", daemon=True)
        self._watch._recorder.start()
        self._thread.start()

    def _run(self) -> None:
        try:
            while not self._stopping.is_set():
                changes = self._watch._next_changes()
                if changes is None:
                    return
                for change in changes:
                    self._callback(change)
        except BaseException as error:  # noqa: BLE001 - kept for the owner, the thread must end quietly
            if not self._stopping.is_set():
                self.exception = error
                log.error("on_change(%s): the watch ended: %s", ", ".join(self._watch.channels), error,
                          exc_info=error)
        finally:
            self._watch.close()

    @property
    def running(self) -> bool:
        """True while changes are still being watched."""
        return self._thread.is_alive()

    def stop(self, timeout: Optional[float] = 5.0) -> None:
        """Stops watching and waits (up to ``timeout`` seconds) for the
        callback in progress. Called from the callback itself, it only asks."""
        self._stopping.set()
        self._watch.close()
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)

    def __enter__(self) -> "ChangeHandler":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


class AsyncWatch:
    """:class:`Watch` as an async iterator (and async context manager)."""

    def __init__(self, watch: Watch) -> None:
        self.sync = watch
        """The blocking watch underneath."""

    async def __aenter__(self) -> "AsyncWatch":
        await asyncio.get_running_loop().run_in_executor(None, self.sync._recorder.start)
        return self

    async def __aexit__(self, *exc: object) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self.sync.close)

    def __aiter__(self) -> AsyncIterator[Change]:
        return self._changes()

    async def _changes(self) -> AsyncIterator[Change]:
        loop = asyncio.get_running_loop()
        while True:
            changes = await loop.run_in_executor(None, self.sync._next_changes)
            if changes is None:
                return
            for change in changes:
                yield change
