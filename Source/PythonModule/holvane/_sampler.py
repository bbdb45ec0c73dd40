"""Recording on a connection: :class:`Recorder` drives the module's sampling
engine (a thread in C++ that keeps the schedule; Python only takes blocks of
samples) and turns its blocks into :class:`~holvane.recording.Recording`."""
from __future__ import annotations

import asyncio
import datetime
import logging
import math
from typing import TYPE_CHECKING, Any, AsyncIterator, Iterator, List, Optional, Sequence, Union

import Vantrel_HolvaneAPI as _api

from .errors import ConnectionLostError, HolvaneError, error_for, error_text
from .recording import Channel, Recording, parse_channels

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["Recorder", "AsyncRecorder", "record", "MAX_RATE"]

log = logging.getLogger("holvane")

MAX_RATE: float = float(getattr(_api.Sampler, "MaxRate", 10000.0))
"""The highest rate a recording takes (Hz)."""
DEFAULT_IN_FLIGHT: int = int(getattr(_api.Sampler, "DefaultInFlight", 64))

# Consecutive VRs are read one by one (pipelined), never as a block: a block's
# value list costs the controller a handshake round trip during which nothing
# else is answered (see Bench/RESULTS.md). TABLE values always go through a
# value list, so a run of two or more is one block.
VR_BLOCK_FROM = 0
TABLE_BLOCK_FROM = 2

# How long a block of an open-ended recording gathers before it is handed over.
BLOCK_SECONDS = 0.1


def check_rate(rate: float) -> float:
    """The rate as a float; ValueError unless 0 < rate <= MAX_RATE."""
    if isinstance(rate, bool) or not isinstance(rate, (int, float)) or math.isnan(rate):
        raise ValueError(f"rate must be a number of Hz, not {rate!r}")
    if not 0 < rate <= MAX_RATE:
        raise ValueError(f"rate must be above 0 and at most {MAX_RATE:g} Hz, not {rate!r}")
    return float(rate)


class Recorder:
    """A recording in progress (see :meth:`Controller.recorder`).

    Iterate it, or call :meth:`read`, for :class:`Recording` blocks as they
    arrive; leaving the ``with`` block (or :meth:`stop`) ends it. Every
    argument is checked, the channels against the controller's token table
    too, before anything is sent.
    """

    def __init__(self, controller: "Controller", channels: Union[str, Sequence[str]], rate: float, *,
                 seconds: Optional[float] = None, reconnect: Optional[bool] = None,
                 in_flight: int = DEFAULT_IN_FLIGHT, buffer_seconds: float = 10.0,
                 block_seconds: float = BLOCK_SECONDS, realtime: bool = False) -> None:
        self._controller = controller
        self._channels: List[Channel] = parse_channels(channels)
        self.rate = check_rate(rate)
        """Samples per second."""
        self.channels = tuple(c.name for c in self._channels)
        """The channels, canonical form (``"DPOS(0)"``)."""
        if seconds is not None and (isinstance(seconds, bool) or not isinstance(seconds, (int, float))
                                    or math.isnan(seconds) or seconds < 0):
            raise ValueError(f"seconds must be a non-negative number, not {seconds!r}")
        if not isinstance(in_flight, int) or not 1 <= in_flight <= int(getattr(_api.Sampler, "MaxInFlight", 256)):
            raise ValueError(f"in_flight must be an int in 1..{getattr(_api.Sampler, 'MaxInFlight', 256)}")
        if not buffer_seconds > 0 or not block_seconds > 0:
            raise ValueError("buffer_seconds and block_seconds must be positive")
        self._ticks = 0 if seconds is None else int(round(seconds * self.rate))
        self._empty = seconds is not None and self._ticks == 0
        self._reconnect = controller._reconnect if reconnect is None else bool(reconnect)
        self._block = block_seconds
        self._block_samples = max(1, int(self.rate * block_seconds))
        self._interruptions: List[str] = []
        self._started = False
        self._done = False
        self._what = f"record({', '.join(self.channels)} at {self.rate:g} Hz)"
        buffer = max(1024, int(self.rate * buffer_seconds))
        self._sampler = _api.Sampler(controller._c, [c.item for c in self._channels], self.rate,
                                     max(self._ticks, 1) if seconds is not None else 0, in_flight, buffer,
                                     VR_BLOCK_FROM, TABLE_BLOCK_FROM, bool(realtime))
        self._realtime = bool(realtime)
        self._check()

    def _check(self) -> None:
        code, per_channel = self._sampler.Check()
        if int(code) == 0 or (int(code) == int(_api.ErrorCode.Fail) and not per_channel):
            if int(code):
                log.debug("%s: the plug-in cannot check channels without sending; checked at the first sample",
                          self._what)
            return
        for channel, channel_code in zip(self._channels, per_channel):
            value = int(channel_code)
            if value == int(_api.ErrorCode.Remote_UnknownToken):
                raise ValueError(f"unknown parameter {channel.keyword!r} in channel {channel.name}: "
                                 "the controller's token table has no such name")
            if value:
                raise error_for(value, f"{self._what}: channel {channel.name}", self._controller.connected)
        raise error_for(code, self._what, self._controller.connected)

    # --- lifecycle ---------------------------------------------------------------

    def start(self) -> "Recorder":
        """Starts sampling (done by ``with`` and by iterating). Returns self."""
        if self._started:
            return self
        self._started = True
        if self._empty:
            self._done = True
            return self
        level = self._controller._c.ReadIntAttribute("InterfaceLevel")
        if int(level[0]) or level[1] < 2:
            raise HolvaneError(f"{self._what}: the connection plug-in offers no Batch (InterfaceLevel "
                               f"{level[1] if not int(level[0]) else 1}); recording needs level 2 or later")
        self._start_engine()
        if self._realtime and not self._sampler.realtime_granted:
            log.info("%s: real-time priority was not granted (needs CAP_SYS_NICE or an rtprio limit)", self._what)
        if self._sampler.in_flight_bound == 1:
            log.info("%s: the plug-in offers no BatchStart (InterfaceLevel 2): one sample in flight at a time",
                     self._what)
        return self

    def _start_engine(self) -> None:
        code = self._sampler.Start()
        if int(code):
            raise error_for(code, self._what, self._controller.connected)

    def stop(self) -> None:
        """Stops sampling; samples already taken stay readable."""
        self._sampler.Stop()

    def __enter__(self) -> "Recorder":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        sampler = getattr(self, "_sampler", None)
        if sampler is not None:
            sampler.Stop()

    @property
    def start_time(self) -> datetime.datetime:
        """Tick 0 on the wall clock (UTC)."""
        return datetime.datetime.fromtimestamp(self._sampler.start_utc, datetime.timezone.utc)

    @property
    def start_ns(self) -> int:
        """Tick 0 on CLOCK_MONOTONIC (nanoseconds), as in a controller-side log."""
        return int(self._sampler.start_ns)

    @property
    def max_in_flight(self) -> int:
        """The most samples outstanding at once so far."""
        return int(self._sampler.max_in_flight)

    @property
    def in_flight_bound(self) -> int:
        """Samples outstanding at most."""
        return int(self._sampler.in_flight_bound)

    # --- blocks ------------------------------------------------------------------

    def read(self, timeout: Optional[float] = None) -> Optional[Recording]:
        """The next block: what arrived within ``timeout`` seconds (default
        one block's gathering time), possibly empty; None once the recording
        has ended and everything was read.

        :raises ConnectionLostError: the link was lost (without ``reconnect``,
            or reconnecting failed); the blocks before were delivered.
        """
        self.start()
        if self._done:
            return None
        wait = self._block if timeout is None else max(0.0, float(timeout))
        while True:
            seq, t, sent, received, values, missed, overflow, errors = self._sampler.Read(
                65536, wait, self._block_samples)
            state = self._sampler.state
            if len(seq) or missed or overflow or any(errors) or state == "running":
                return self._block_of(seq, t, sent, received, values, missed, overflow, errors)
            if state == "lost":
                self._resume()
                continue
            if state == "failed":
                self._done = True
                raise error_for(self._sampler.end_code, self._what, self._controller.connected)
            self._done = True  # finished or stopped, and drained
            return None

    def _block_of(self, seq: Any, t: Any, sent: Any, received: Any, values: Any, missed: int, overflow: int,
                  errors: List[int]) -> Recording:
        interruptions, self._interruptions = self._interruptions, []
        return Recording(self.channels, self.rate, self.start_time, seq, t, sent, received, values, missed=missed,
                         overflow=overflow, errors=dict(zip(self.channels, errors)),
                         max_in_flight=self.max_in_flight, interruptions=interruptions)

    def _resume(self) -> None:
        code = int(self._sampler.end_code)
        cause = self._sampler.end_cause or error_text(code)
        if not self._reconnect:
            self._done = True
            raise ConnectionLostError(f"{self._what}: {cause}", code)
        log.warning("%s: %s; reconnecting", self._what, cause)
        self._controller._revive(self._what, code)
        self._interruptions.append(cause)
        self._start_engine()

    def __iter__(self) -> Iterator[Recording]:
        while True:
            block = self.read()
            if block is None:
                return
            if len(block) or block.missed or block.overflow or any(block.errors.values()) or block.interruptions:
                yield block


def record(controller: "Controller", channels: Union[str, Sequence[str]], rate: float, seconds: float,
           **options: Any) -> Recording:
    """The whole recording of ``seconds`` at ``rate`` (see :meth:`Controller.record`)."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or math.isnan(seconds) or seconds < 0:
        raise ValueError(f"seconds must be a non-negative number, not {seconds!r}")
    blocks: List[Recording] = []
    with Recorder(controller, channels, rate, seconds=seconds, block_seconds=0.25, **options) as recorder:
        try:
            blocks.extend(recorder)
        except ConnectionLostError as error:
            error.recording = _joined(recorder, blocks)  # type: ignore[attr-defined]
            raise
        return _joined(recorder, blocks)


def _joined(recorder: Recorder, blocks: List[Recording]) -> Recording:
    if not blocks:
        start = recorder.start_time if recorder._sampler.start_ns else None
        return Recording.empty(recorder.channels, recorder.rate, start)
    return Recording.concat(blocks)


class AsyncRecorder:
    """:class:`Recorder` as an async context manager and async iterator."""

    def __init__(self, recorder: Recorder) -> None:
        self.sync = recorder
        """The blocking recorder underneath."""

    async def __aenter__(self) -> "AsyncRecorder":
        await asyncio.get_running_loop().run_in_executor(None, self.sync.start)
        return self

    async def __aexit__(self, *exc: object) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self.sync.stop)

    async def read(self, timeout: Optional[float] = None) -> Optional[Recording]:
        """As :meth:`Recorder.read`, without blocking the event loop."""
        return await asyncio.get_running_loop().run_in_executor(None, self.sync.read, timeout)

    def __aiter__(self) -> AsyncIterator[Recording]:
        return self._blocks()

    async def _blocks(self) -> AsyncIterator[Recording]:
        while True:
            block = await self.read()
            if block is None:
                return
            if len(block) or block.missed or block.overflow or any(block.errors.values()) or block.interruptions:
                yield block
