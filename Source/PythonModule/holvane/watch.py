"""Watching values change, without a polling loop of one's own: the channels
are sampled by the recording engine at a fixed period and only the changes
are handed over."""

# No postponed annotations here: the records' fields keep real types, which
# inspect.signature() and help() show as such.
import asyncio
import logging
import threading
from collections.abc import AsyncIterator, Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from ._sampler import MAX_RATE, Recorder, check_seconds
from .recording import FloatArray, Recording

if TYPE_CHECKING:
    from typing_extensions import Self

    from .controller import Controller

__all__ = ["AsyncWatch", "Change", "ChangeHandler", "Watch"]

log = logging.getLogger("holvane")


class Change(NamedTuple):
    """A channel's value moved by more than the deadband."""

    channel: str
    """The channel, canonical form (``"VR(10)"``)."""
    value: float
    """Its new value (NaN: the controller answered with an error)."""
    previous: float | None
    """The value last reported (None for a first value)."""
    t: float
    """The scheduled time of the sample that saw it, seconds since the watch began."""


def _check_period(period: float, deadband: float) -> float:
    """The sampling rate of a watch of ``period`` seconds."""
    if not check_seconds(period, "period") > 0 or period < 1.0 / MAX_RATE:
        raise ValueError(f"period must be at least {1.0 / MAX_RATE:g} s, not {period!r}")
    if isinstance(deadband, bool) or not isinstance(deadband, (int, float)) or not deadband >= 0:
        raise ValueError(f"deadband must be a non-negative number, not {deadband!r}")
    return 1.0 / float(period)


class _ChangeFinder:
    """Compares each sample with the values last reported."""

    def __init__(self, channels: Sequence[str], deadband: float, initial: bool) -> None:
        self._channels = list(channels)
        self._deadband = float(deadband)
        self._initial = initial
        self._last: FloatArray | None = None

    def changes(self, block: Recording) -> list[Change]:
        found: list[Change] = []
        for row, t in zip(block.values, block.t, strict=True):
            if self._last is None:
                self._last = row.copy()
                if self._initial:
                    found.extend(
                        Change(name, float(v), None, float(t)) for name, v in zip(self._channels, row, strict=True)
                    )
                continue
            last = self._last
            with np.errstate(invalid="ignore"):
                moved = np.abs(row - last) > self._deadband
            # Into or out of NaN (a controller error) is a change too.
            moved |= np.isnan(row) != np.isnan(last)
            for column in np.flatnonzero(moved):
                found.append(Change(self._channels[column], float(row[column]), float(last[column]), float(t)))
                last[column] = row[column]
        return found


class Watch:
    """An iterator of :class:`Change` (see :meth:`~holvane.Controller.watch`); close
    it, or leave its ``with`` block, to stop sampling."""

    def __init__(
        self,
        controller: "Controller",
        channels: str | Sequence[str],
        period: float,
        deadband: float = 0.0,
        *,
        initial: bool = False,
        reconnect: bool | None = None,
    ) -> None:
        rate = _check_period(period, deadband)
        self._recorder = Recorder(controller, channels, rate, reconnect=reconnect, block_seconds=float(period))
        self._finder = _ChangeFinder(self._recorder.channels, deadband, initial)
        self.channels = self._recorder.channels
        """The channels watched, canonical form."""
        self.period = float(period)
        """Seconds between samples."""

    @property
    def recorder(self) -> Recorder:
        """The recording underneath (its counts, its in-flight figures)."""
        return self._recorder

    def start(self) -> "Self":
        """Starts sampling (done by ``with`` and by iterating). Returns self."""
        self._recorder.start()
        return self

    def __enter__(self) -> "Self":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops sampling."""
        self._recorder.stop()

    def __iter__(self) -> Iterator[Change]:
        """Changes as they are seen, until the watch is closed."""
        while True:
            changes = self.read()
            if changes is None:
                return
            yield from changes

    def read(self, timeout: float | None = None) -> list[Change] | None:
        """The changes seen within ``timeout`` seconds (default one period),
        possibly none; None once the watch has ended.

        :raises ConnectionLostError: the link was lost (without ``reconnect``).
        """
        block = self._recorder.read(timeout)
        return None if block is None else self._finder.changes(block)


class ChangeHandler:
    """Runs a callback for every change on a thread of its own (see
    :meth:`~holvane.Controller.on_change`). The callback may call the controller. An
    exception it raises ends the watch; it is logged and kept in
    :attr:`exception`."""

    def __init__(self, watch: Watch, callback: Callable[[Change], Any]) -> None:
        self._watch = watch
        self._callback = callback
        self._stopping = threading.Event()
        self.exception: BaseException | None = None
        """What ended the watch, if anything did other than :meth:`stop`."""
        self._thread = threading.Thread(target=self._run, name="holvane-on-change", daemon=True)
        watch.start()
        self._thread.start()

    def _run(self) -> None:
        try:
            while not self._stopping.is_set():
                changes = self._watch.read()
                if changes is None:
                    return
                for change in changes:
                    self._callback(change)
        except BaseException as error:
            if not self._stopping.is_set():
                self.exception = error
                log.error("on_change(%s): the watch ended: %s", ", ".join(self._watch.channels), error, exc_info=error)
        finally:
            self._watch.close()

    @property
    def running(self) -> bool:
        """True while changes are still being watched."""
        return self._thread.is_alive()

    def stop(self, timeout: float | None = 5.0) -> None:
        """Stops watching and waits (up to ``timeout`` seconds) for the
        callback in progress. Called from the callback itself, it only asks."""
        self._stopping.set()
        self._watch.close()
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)

    def __enter__(self) -> "Self":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


class AsyncWatch:
    """:class:`Watch` as an async iterator and async context manager (see
    :meth:`holvane.aio.AsyncController.watch`); the blocking calls run on the
    controller's worker threads."""

    def __init__(self, watch: Watch, call: Callable[[Callable[[], Any]], "asyncio.Future[Any]"]) -> None:
        self.sync = watch
        """The blocking watch underneath."""
        self._call = call

    async def __aenter__(self) -> "Self":
        await self._call(self.sync.start)
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self._call(self.sync.close)

    async def read(self, timeout: float | None = None) -> list[Change] | None:
        """As :meth:`Watch.read`, without blocking the event loop."""
        changes: list[Change] | None = await self._call(lambda: self.sync.read(timeout))
        return changes

    def __aiter__(self) -> AsyncIterator[Change]:
        return self._changes()

    async def _changes(self) -> AsyncIterator[Change]:
        while True:
            changes = await self.read()
            if changes is None:
                return
            for change in changes:
                yield change
