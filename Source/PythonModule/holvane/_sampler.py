"""Recording on a connection: :class:`Recorder` drives the module's sampling
engine (a thread in C++ that keeps the schedule; Python only takes blocks of
samples) and turns its blocks into :class:`~holvane.recording.Recording`."""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import logging
import math
from collections.abc import AsyncIterator, Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

import Vantrel_HolvaneAPI as _api

from .errors import ConnectionLostError, HolvaneError, error_for, error_text
from .recording import Channel, Recording, parse_channels

if TYPE_CHECKING:
    from typing_extensions import Self

    from .controller import Controller

__all__ = ["MAX_RATE", "AsyncRecorder", "Recorder", "RecordingLostError", "record"]

log = logging.getLogger("holvane")

T = TypeVar("T")

MAX_RATE: float = float(_api.Sampler.MaxRate)
"""The highest rate a recording takes (Hz)."""
IN_FLIGHT_SECONDS: float = float(_api.Sampler.InFlightSeconds)
"""Unless told otherwise, a recording keeps this long a stretch of samples in
flight at most, so that a round trip or a stall this long misses no tick."""
MIN_IN_FLIGHT: int = int(_api.Sampler.MinInFlight)
"""Unless told otherwise, a recording allows at least this many samples in flight."""
MAX_IN_FLIGHT: int = int(_api.Sampler.MaxInFlight)
"""The largest in-flight bound a recording takes."""
MAX_REQUESTS_IN_FLIGHT: int = int(_api.Sampler.MaxRequestsInFlight)
"""Requests outstanding at most, whatever the in-flight bound."""

# Consecutive VRs are read one by one (pipelined), never as a block: a block's
# value list costs the controller a handshake round trip during which nothing
# else is answered (see Bench/RESULTS.md). TABLE values always go through a
# value list, so a run of two or more is one block.
VR_BLOCK_FROM = 0
TABLE_BLOCK_FROM = 2

BLOCK_SECONDS = 0.1
"""How long a block of an open-ended recording gathers before it is handed over."""
BUFFER_SECONDS: float = float(_api.Sampler.BufferSeconds)
"""How long a stretch of samples waits for the consumer before overflow counts."""

# The port on which the plug-in turns send coalescing off by itself.
_NO_DELAY_PORT = 3240


def check_rate(rate: float) -> float:
    """The rate as a float.

    :raises ValueError: not a number, or not 0 < rate <= MAX_RATE.
    """
    if isinstance(rate, bool) or not isinstance(rate, (int, float)) or math.isnan(rate):
        raise ValueError(f"rate must be a number of Hz, not {rate!r}")
    if not 0 < rate <= MAX_RATE:
        raise ValueError(f"rate must be above 0 and at most {MAX_RATE:g} Hz, not {rate!r}")
    return float(rate)


def check_seconds(seconds: float, what: str = "seconds") -> float:
    """A length of time as a float.

    :raises ValueError: not a non-negative finite number.
    """
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not math.isfinite(seconds) or seconds < 0:
        raise ValueError(f"{what} must be a non-negative number of seconds, not {seconds!r}")
    return float(seconds)


class RecordingLostError(ConnectionLostError):
    """The link was lost during a recording that could not resume; what was
    recorded before is in :attr:`recording`."""

    def __init__(self, message: str, code: int, recording: Recording | None = None) -> None:
        super().__init__(message, code)
        self.recording = recording
        """The samples taken before the loss (set by :meth:`~holvane.Controller.record`)."""


class Recorder:
    """A recording in progress (see :meth:`~holvane.Controller.recorder`).

    Iterate it, or call :meth:`read`, for :class:`~holvane.Recording` blocks as
    they arrive; leaving the ``with`` block (or :meth:`stop`) ends it. Every
    argument is checked, the channels against the controller's token table
    too, before anything is sent.
    """

    def __init__(
        self,
        controller: Controller,
        channels: str | Sequence[str],
        rate: float,
        *,
        seconds: float | None = None,
        reconnect: bool | None = None,
        in_flight: int | None = None,
        buffer_seconds: float = BUFFER_SECONDS,
        block_seconds: float = BLOCK_SECONDS,
        realtime: bool = False,
    ) -> None:
        self._controller = controller
        self._channels: list[Channel] = parse_channels(channels)
        self.rate = check_rate(rate)
        """Samples per second."""
        self.channels = tuple(c.name for c in self._channels)
        """The channels, canonical form (``"DPOS(0)"``)."""
        if seconds is not None:
            check_seconds(seconds)
        if in_flight is not None and (
            isinstance(in_flight, bool) or not isinstance(in_flight, int) or not 1 <= in_flight <= MAX_IN_FLIGHT
        ):
            raise ValueError(f"in_flight must be None or an int in 1..{MAX_IN_FLIGHT}, not {in_flight!r}")
        for name, value in (("buffer_seconds", buffer_seconds), ("block_seconds", block_seconds)):
            if not check_seconds(value, name) > 0:
                raise ValueError(f"{name} must be positive, not {value!r}")
        self._ticks = 0 if seconds is None else round(seconds * self.rate)
        self._empty = seconds is not None and self._ticks == 0
        self._reconnect = controller.reconnect if reconnect is None else bool(reconnect)
        self._block = float(block_seconds)
        self._block_samples = max(1, int(self.rate * block_seconds))
        self._interruptions: list[str] = []
        self._started = False
        self._done = False
        self._what = f"record({', '.join(self.channels)} at {self.rate:g} Hz)"
        self._realtime = bool(realtime)
        self._sampler = _api.Sampler(
            controller._c,
            [c.item for c in self._channels],
            self.rate,
            max(self._ticks, 1) if seconds is not None else 0,
            in_flight or 0,
            max(1024, int(self.rate * buffer_seconds)),
            VR_BLOCK_FROM,
            TABLE_BLOCK_FROM,
            self._realtime,
        )
        self._check()

    def _check(self) -> None:
        code, per_channel = self._sampler.Check()
        if int(code) == 0 or (int(code) == int(_api.ErrorCode.Fail) and not per_channel):
            if int(code):
                log.debug(
                    "%s: the plug-in cannot check channels without sending; checked at the first sample", self._what
                )
            return
        for channel, channel_code in zip(self._channels, per_channel, strict=True):
            value = int(channel_code)
            if value == int(_api.ErrorCode.Remote_UnknownToken):
                raise ValueError(
                    f"unknown parameter {channel.keyword!r} in channel {channel.name}: "
                    "the controller's token table has no such name"
                )
            if value:
                raise error_for(value, f"{self._what}: channel {channel.name}", self._controller.connected)
        raise error_for(code, self._what, self._controller.connected)

    # --- lifecycle ---------------------------------------------------------------

    def start(self) -> Self:
        """Starts sampling (done by ``with`` and by iterating). Returns self.

        :raises UnsupportedError: the plug-in cannot carry a batch.
        :raises ConnectionLostError: the link is down.
        """
        if self._started:
            return self
        self._started = True
        if self._empty:
            self._done = True
            return self
        code, level = self._controller._c.ReadIntAttribute("InterfaceLevel")
        if int(code) or level < 2:
            raise HolvaneError(
                f"{self._what}: the connection plug-in offers no Batch (InterfaceLevel "
                f"{level if not int(code) else 1}); recording needs level 2 or later"
            )
        self._warn_if_coalescing()
        self._start_engine()
        if self._realtime and not self._sampler.realtime_granted:
            log.info("%s: real-time priority was not granted (needs CAP_SYS_NICE or an rtprio limit)", self._what)
        if self._sampler.in_flight_bound == 1:
            log.info(
                "%s: the plug-in offers no BatchStart (InterfaceLevel 2): one sample in flight at a time", self._what
            )
        return self

    def _warn_if_coalescing(self) -> None:
        # With send coalescing on, a sample's requests wait for the controller's
        # acknowledgement of the last ones: a round trip late, whatever the rate.
        code, mode = self._controller._c.ReadIntAttribute("TCP_NoDelay")
        if int(code) == 0 and (mode == 0 or (mode < 0 and self._controller.port != _NO_DELAY_PORT)):
            log.warning(
                "%s: send coalescing is on for port %d, so samples may leave a round trip late; "
                "connect with nodelay=True",
                self._what,
                self._controller.port,
            )

    def _start_engine(self) -> None:
        code = self._sampler.Start()
        if int(code):
            raise error_for(code, self._what, self._controller.connected)

    def stop(self) -> None:
        """Stops sampling and waits for the samples in flight; samples
        already taken stay readable."""
        self._sampler.Stop()

    def __enter__(self) -> Self:
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

    def read(self, timeout: float | None = None) -> Recording | None:
        """The next block: what arrived within ``timeout`` seconds (default
        one block's gathering time), possibly empty; None once the recording
        has ended and everything was read.

        :raises ConnectionLostError: the link was lost (without ``reconnect``,
            or reconnecting failed); the blocks before were delivered.
        """
        self.start()
        if self._done:
            return None
        wait = self._block if timeout is None else check_seconds(timeout, "timeout")
        while True:
            seq, t, sent, received, values, missed, overflow, errors = self._sampler.Read(
                65536, wait, self._block_samples
            )
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

    def _block_of(
        self, seq: Any, t: Any, sent: Any, received: Any, values: Any, missed: int, overflow: int, errors: list[int]
    ) -> Recording:
        interruptions, self._interruptions = self._interruptions, []
        return Recording(
            self.channels,
            self.rate,
            self.start_time,
            seq,
            t,
            sent,
            received,
            values,
            missed=missed,
            overflow=overflow,
            errors=dict(zip(self.channels, errors, strict=True)),
            max_in_flight=self.max_in_flight,
            interruptions=interruptions,
        )

    def _resume(self) -> None:
        code = int(self._sampler.end_code)
        cause = self._sampler.end_cause or error_text(code)
        if not self._reconnect:
            self._done = True
            raise RecordingLostError(f"{self._what}: {cause}", code)
        log.warning("%s: %s; reconnecting", self._what, cause)
        self._controller._revive(self._what, code)
        self._interruptions.append(cause)
        self._start_engine()

    def __iter__(self) -> Iterator[Recording]:
        """Blocks as they arrive (empty ones are left out) until the recording ends."""
        while True:
            block = self.read()
            if block is None:
                return
            if _worth_handing_over(block):
                yield block


def _worth_handing_over(block: Recording) -> bool:
    return bool(len(block) or block.missed or block.overflow or any(block.errors.values()) or block.interruptions)


RECORD_BLOCK_SECONDS = 0.25
"""A whole recording (``record``) gathers its blocks this long: fewer
hand-overs than an open-ended one, which shows its blocks as they come."""


def whole_recorder(
    controller: Controller,
    channels: str | Sequence[str],
    rate: float,
    seconds: float,
    *,
    reconnect: bool | None,
    in_flight: int | None,
    realtime: bool,
) -> Recorder:
    """The recorder of a whole recording of ``seconds`` (``record``, blocking or asyncio)."""
    return Recorder(
        controller,
        channels,
        rate,
        seconds=check_seconds(seconds),
        reconnect=reconnect,
        in_flight=in_flight,
        block_seconds=RECORD_BLOCK_SECONDS,
        realtime=realtime,
    )


@contextlib.contextmanager
def keeping_on_loss(recorder: Recorder, blocks: list[Recording]) -> Iterator[None]:
    """A :class:`RecordingLostError` raised inside carries the blocks taken so far."""
    try:
        yield
    except RecordingLostError as error:
        error.recording = joined(recorder, blocks)
        raise


def record(
    controller: Controller,
    channels: str | Sequence[str],
    rate: float,
    seconds: float,
    *,
    reconnect: bool | None = None,
    in_flight: int | None = None,
    realtime: bool = False,
) -> Recording:
    """The whole recording of ``seconds`` at ``rate`` (see :meth:`~holvane.Controller.record`)."""
    recorder = whole_recorder(
        controller, channels, rate, seconds, reconnect=reconnect, in_flight=in_flight, realtime=realtime
    )
    blocks: list[Recording] = []
    with recorder, keeping_on_loss(recorder, blocks):
        blocks.extend(recorder)
    return joined(recorder, blocks)


def joined(recorder: Recorder, blocks: list[Recording]) -> Recording:
    """The blocks of a recording as one (an empty one when there is none)."""
    if not blocks:
        start = recorder.start_time if recorder.start_ns else None
        return Recording.empty(recorder.channels, recorder.rate, start)
    return Recording.concat(blocks)


class AsyncRecorder:
    """:class:`Recorder` as an async context manager and async iterator (see
    :meth:`holvane.aio.AsyncController.recorder`); the blocking calls run on
    the controller's worker threads."""

    def __init__(self, recorder: Recorder, call: Callable[[Callable[[], Any]], asyncio.Future[Any]]) -> None:
        self.sync = recorder
        """The blocking recorder underneath."""
        self._call = call

    async def __aenter__(self) -> Self:
        await self._call(self.sync.start)
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self._call(self.sync.stop)

    async def read(self, timeout: float | None = None) -> Recording | None:
        """As :meth:`Recorder.read`, without blocking the event loop."""
        block: Recording | None = await self._call(lambda: self.sync.read(timeout))
        return block

    def __aiter__(self) -> AsyncIterator[Recording]:
        return self._blocks()

    async def _blocks(self) -> AsyncIterator[Recording]:
        while True:
            block = await self.read()
            if block is None:
                return
            if _worth_handing_over(block):
                yield block
