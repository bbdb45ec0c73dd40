"""The blocking client: :class:`Controller`, made by :func:`holvane.connect`.

Units: positions and distances are in the axis's user units (as scaled by its
UNITS parameter), speeds in user units per second, accelerations in user
units per second squared, times in seconds.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

import Vantrel_HolvaneAPI as _api

from . import _arguments as check
from ._recovery import ReconnectPolicy, call_error, lost_in_flight, reopen, sent_nothing
from ._sampler import BLOCK_SECONDS, BUFFER_SECONDS, Recorder, record
from .axes import Axis
from .batches import Batch
from .errors import CONNECTION_CONTEXT, FAIL, TIMEOUT, UnsupportedError, error_text
from .values import ControllerInfo, FileInfo, TableAccess, Text, VrAccess, VrStringAccess
from .watch import Change, ChangeHandler, Watch

if TYPE_CHECKING:
    from typing_extensions import Self

    from .recording import Recording

__all__ = ["Controller"]

log = logging.getLogger("holvane")

T = TypeVar("T")


def _call_text(name: str, args: Sequence[Any]) -> str:
    """An operation as the caller wrote it, for messages: ``read_vr(5)``."""
    return f"{name}({', '.join(map(repr, args))})"


class Controller:
    """One connected controller. Made by :func:`connect`; thread-safe.

    Use it as a context manager, or call :meth:`close`. Every failing
    operation raises a :class:`~holvane.HolvaneError`; an argument that cannot
    be sent raises ``TypeError``, ``IndexError`` or ``ValueError`` before
    anything is sent.
    """

    def __init__(
        self,
        connection: _api.Connection,
        host: str,
        port: int,
        reconnect: bool = False,
        *,
        reconnect_policy: ReconnectPolicy | None = None,
        allow_nonfinite: bool = False,
    ) -> None:
        self._c = connection
        self._host, self._port = host, port
        self._reconnect = reconnect
        self._policy = reconnect_policy or ReconnectPolicy()
        self._revive_lock = threading.Lock()
        self.allow_nonfinite = allow_nonfinite
        self._axis_count: int | None = None
        # A plug-in of interface level 2 or later sends a batch's items in one
        # round trip; one of the first level takes them one at a time.
        code, level = connection.ReadIntAttribute("InterfaceLevel")
        self._carries_batches = not code.value and level >= 2
        self._vr = VrAccess(self)
        self._table = TableAccess(self)
        self._vr_string = VrStringAccess(self)

    @property
    def host(self) -> str:
        """The controller's address, as given to :func:`connect`."""
        return self._host

    @property
    def port(self) -> int:
        """The controller's TCP port."""
        return self._port

    @property
    def vr(self) -> VrAccess:
        """VR values: ``vr[i]``, ``vr[i] = v``, ``vr[a:b]`` (one block read),
        ``vr[a:b] = values`` (one batch)."""
        return self._vr

    @property
    def table(self) -> TableAccess:
        """TABLE values: ``table[i]`` and ``table[a:b]`` (one block read)."""
        return self._table

    @property
    def vr_string(self) -> VrStringAccess:
        """Texts stored under VR numbers: ``vr_string[i]``, ``vr_string[i] = text``."""
        return self._vr_string

    @property
    def allow_nonfinite(self) -> bool:
        """Whether NaN and infinities may be written; refused with ``ValueError``
        unless set (by :func:`connect`, or here)."""
        return self._allow_nonfinite

    @allow_nonfinite.setter
    def allow_nonfinite(self, allow: bool) -> None:
        self._allow_nonfinite = bool(allow)

    # --- lifecycle -------------------------------------------------------------

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "connected" if self.connected else "not connected"
        return f"<holvane.Controller {self.host}:{self.port} {state}>"

    @property
    def connected(self) -> bool:
        """True while the link to the controller is open."""
        return bool(self._c.IsConnected())

    @property
    def reconnect(self) -> bool:
        """Whether a lost link is reopened by the next call (see :func:`connect`)."""
        return self._reconnect

    def close(self) -> None:
        """Disconnects and releases the connection; waits for calls in flight.
        Calling it again does nothing."""
        connection = self._c
        connection.SetEventHandler(None)
        code = connection.DestroyContext().value
        if code not in (0, CONNECTION_CONTEXT):
            log.debug("%s:%s: disconnect reported %s", self.host, self.port, error_text(code))

    # --- failure paths (never taken by a successful call) ------------------------

    def _revive(self, what: str, cause: int) -> None:
        """Reopens a lost link with the back-off; returns at once when it is up.

        :raises ConnectionLostError: on giving up, saying why in one sentence.
        """
        reopen(self._c, self._policy, self._revive_lock, f"{self.host}:{self.port}", what, cause)

    def _recoverable(self, code: int, read: bool) -> bool:
        # Nothing sent: safe to send after reconnecting, whatever the call.
        # Lost while waiting: only a read may go again; a timeout has used
        # the caller's time and is reported.
        return self._reconnect and (sent_nothing(code) or (read and code != TIMEOUT and lost_in_flight(code)))

    def _read_failed(
        self, code: _api.ErrorCode, name: str, args: tuple[Any, ...], again: Callable[[], tuple[_api.ErrorCode, T]]
    ) -> T:
        value = int(code)
        what = _call_text(name, args)
        if self._recoverable(value, read=True):
            self._revive(what, value)
            retried, result = again()
            if not retried.value:
                return result
            value = int(retried)
        raise call_error(value, what, self._c, write=False)

    def _write_failed(
        self,
        code: _api.ErrorCode,
        name: str,
        args: tuple[Any, ...],
        again: Callable[[], _api.ErrorCode],
        unsupported: bool = False,
    ) -> None:
        value = int(code)
        what = _call_text(name, args)
        if self._recoverable(value, read=False):
            self._revive(what, value)
            value = int(again())
            if not value:
                return
        if unsupported and value == FAIL and self._c.IsConnected():
            raise UnsupportedError(f"{what}: not carried out by the TCP connection (0x{value:x})", value)
        raise call_error(value, what, self._c, write=True)

    def _value(self, what: str, value: Any) -> float:
        return check.number(what, "value", value, self._allow_nonfinite)

    def _axis(self, what: str, axis: Any) -> int:
        return check.axis(what, axis, self._axis_count)

    # --- values ------------------------------------------------------------------

    def read_vr(self, index: int) -> float:
        """The value of VR ``index``."""
        index = check.index("read_vr", "index", index)
        code, value = self._c.ReadVrValue(index)
        if code.value:
            return self._read_failed(code, "read_vr", (index,), lambda: self._c.ReadVrValue(index))
        return value

    def write_vr(self, index: int, value: float) -> None:
        """Sets VR ``index`` to ``value``."""
        index = check.index("write_vr", "index", index)
        number = self._value("write_vr", value)
        code = self._c.WriteVrValue(index, number)
        if code.value:
            self._write_failed(code, "write_vr", (index, value), lambda: self._c.WriteVrValue(index, number))

    def read_vr_block(self, start: int, count: int) -> list[float]:
        """``count`` VR values from ``start`` on, in one request."""
        start, count = check.span("read_vr_block", start, count)
        code, values = self._c.ReadMultiVrValues(start, count)
        if code.value:
            return self._read_failed(
                code, "read_vr_block", (start, count), lambda: self._c.ReadMultiVrValues(start, count)
            )
        return values

    def read_table(self, index: int) -> float:
        """The TABLE value at ``index``."""
        index = check.index("read_table", "index", index)
        code, value = self._c.ReadTableValue(index)
        if code.value:
            return self._read_failed(code, "read_table", (index,), lambda: self._c.ReadTableValue(index))
        return value

    def read_table_block(self, start: int, count: int) -> list[float]:
        """``count`` TABLE values from ``start`` on, in one request."""
        start, count = check.span("read_table_block", start, count)
        code, values = self._c.ReadMultiTableValues(start, count)
        if code.value:
            return self._read_failed(
                code, "read_table_block", (start, count), lambda: self._c.ReadMultiTableValues(start, count)
            )
        return values

    def write_table(self, index: int, value: float) -> None:
        """Writing TABLE values is not carried out over TCP.

        :raises UnsupportedError: always, on a live link.
        """
        index = check.index("write_table", "index", index)
        number = self._value("write_table", value)
        code = self._c.WriteTableValue(index, number)
        if code.value:
            self._write_failed(
                code, "write_table", (index, value), lambda: self._c.WriteTableValue(index, number), unsupported=True
            )

    def read_param(self, name: str, axis: int) -> float:
        """Axis parameter ``name`` (e.g. ``"DPOS"``, ``"SPEED"``) of ``axis``.

        Positions are in user units, speeds in user units per second.
        """
        name = check.name("read_param", "name", name)
        axis = self._axis("read_param", axis)
        code, value = self._c.ReadAxisParam(name, axis)
        if code.value:
            return self._read_failed(code, "read_param", (name, axis), lambda: self._c.ReadAxisParam(name, axis))
        return value

    def write_param(self, name: str, axis: int, value: float) -> None:
        """Sets axis parameter ``name`` of ``axis``. Read-only parameters
        (DPOS, MPOS, FE, IDLE, ...) raise :class:`ControllerError`."""
        name = check.name("write_param", "name", name)
        axis = self._axis("write_param", axis)
        number = self._value("write_param", value)
        code = self._c.WriteAxisParam(name, axis, number)
        if code.value:
            self._write_failed(
                code, "write_param", (name, axis, value), lambda: self._c.WriteAxisParam(name, axis, number)
            )

    def read_vr_string(self, index: int) -> str:
        """The text stored under VR ``index``; bytes that are not UTF-8 come
        back as surrogate escapes."""
        index = check.index("read_vr_string", "index", index)
        code, text = self._c.ReadVrString(index)
        if code.value:
            return self._read_failed(code, "read_vr_string", (index,), lambda: self._c.ReadVrString(index))
        return text

    def write_vr_string(self, index: int, text: Text) -> None:
        """Stores ``text`` (as UTF-8, or ``bytes`` as they are) under VR ``index``."""
        index = check.index("write_vr_string", "index", index)
        data = check.text("write_vr_string", "text", text)
        code = self._c.WriteVrString(index, data)
        if code.value:
            self._write_failed(code, "write_vr_string", (index, text), lambda: self._c.WriteVrString(index, data))

    def execute(self, line: Text) -> None:
        """Runs one line of the controller's language, e.g. ``"VR(1)=VR(2)*2"``."""
        data = check.text("execute", "line", line)
        code = self._c.Execute(data)
        if code.value:
            self._write_failed(code, "execute", (line,), lambda: self._c.Execute(data))

    def ex(self, mode: int = 0) -> None:
        """EX: stops and resets the controller's programs and axes."""
        mode = check.small("ex", "mode", mode)
        code = self._c.Ex(mode)
        if code.value:
            self._write_failed(code, "ex", (mode,), lambda: self._c.Ex(mode))

    def invert_input(self, input: int, invert: bool = True) -> None:
        """Switches the inversion of digital input ``input``."""
        input = check.index("invert_input", "input", input)
        code = self._c.InvertIN(input, bool(invert))
        if code.value:
            self._write_failed(code, "invert_input", (input, invert), lambda: self._c.InvertIN(input, bool(invert)))

    def files(self) -> list[FileInfo]:
        """The files stored on the controller."""
        code, entries = self._c.Dir()
        if code.value:
            entries = self._read_failed(code, "files", (), self._c.Dir)
        return [
            FileInfo(e.name, e.type, e.size, e.compiled_size, e.autorun_process, bool(e.editable), bool(e.autorun))
            for e in entries
        ]

    def info(self) -> ControllerInfo:
        """Firmware version, controller type, number format and axis count."""
        code, version = self._c.ReadStringAttribute("ControllerVersion")
        if code.value:
            version = "unknown"
        code, controller_type = self._c.ReadIntAttribute("ControllerType")
        if code.value:
            controller_type = 0
        code, number_format = self._c.ReadStringAttribute("ControllerNumberFormat")
        if code.value:
            number_format = "unknown"
        return ControllerInfo(version, controller_type, number_format, self.axis_count())

    def axis_count(self, limit: int = 1024) -> int:
        """The number of axes, found by reading DPOS of ever higher axes until
        the controller refuses (about 2 log2(n) reads). Once known, axis
        numbers beyond it are refused with ``IndexError`` before anything is
        sent."""
        limit = check.small("axis_count", "limit", limit, low=1)

        what = _call_text("axis_count", (limit,))

        def exists(axis: int) -> bool:
            code = int(self._c.ReadAxisParam("DPOS", axis)[0])
            if code and self._recoverable(code, read=True):
                self._revive(what, code)
                code = int(self._c.ReadAxisParam("DPOS", axis)[0])
            if code and code >> 32 != 4:  # a controller error: no such axis
                raise call_error(code, what, self._c, write=False)
            return code == 0

        count = 0
        if exists(0):
            low, high = 1, 1  # axes below `low` exist; find the first that does not
            while high < limit and exists(high):
                low, high = high + 1, min(high * 2, limit)
            while low < high:
                middle = (low + high) // 2
                if exists(middle):
                    low = middle + 1
                else:
                    high = middle
            count = low
        self._axis_count = count
        return count

    # --- axes and batches --------------------------------------------------------

    def axis(self, number: int) -> Axis:
        """The axis ``number`` (from 0)."""
        return Axis(self, self._axis("axis", number))

    # --- recording (holvane.recording, holvane.watch) ------------------------------

    def record(
        self,
        channels: str | Sequence[str],
        rate: float,
        seconds: float,
        *,
        reconnect: bool | None = None,
        in_flight: int | None = None,
        realtime: bool = False,
    ) -> Recording:
        """Samples ``channels`` ``rate`` times a second for ``seconds`` and
        returns the whole :class:`~holvane.Recording`.

        Channels are written as the controller writes them: ``"DPOS(0)"``,
        ``"MPOS(3)"`` (an axis parameter and its axis), ``"VR(10)"``,
        ``"TABLE(200)"``; at most ``holvane.recording.MAX_CHANNELS``. ``rate``
        is in Hz, above 0 and at most :data:`holvane.MAX_RATE`. A sampling
        thread in C++ sends one exchange of every channel's read at each tick
        of an absolute schedule (tick n at n / rate seconds, no drift), with up
        to ``in_flight`` samples outstanding (default: ``IN_FLIGHT_SECONDS`` of
        samples, within ``MIN_IN_FLIGHT`` and ``MAX_IN_FLIGHT``, and no more
        than ``MAX_REQUESTS_IN_FLIGHT`` requests; the numbers are in the user
        guide's recording page), so the rate does not depend on the round
        trip. A tick that cannot be sent in its own period is counted in
        ``missed`` and leaves a gap in ``seq``. ``reconnect`` (default: as
        connected) resumes after a lost link, the outage a gap in ``seq``;
        ``realtime`` runs the sampling thread at real-time priority where the
        process may (``CAP_SYS_NICE``), so that a busy machine does not make
        it late.

        :raises ValueError: a malformed or unknown channel, a rate not in
            (0, MAX_RATE], a negative length; nothing is sent.
        :raises RecordingLostError: the link was lost and not resumed; its
            ``recording`` holds what was taken.
        """
        return record(self, channels, rate, seconds, reconnect=reconnect, in_flight=in_flight, realtime=realtime)

    def recorder(
        self,
        channels: str | Sequence[str],
        rate: float,
        *,
        seconds: float | None = None,
        reconnect: bool | None = None,
        in_flight: int | None = None,
        buffer_seconds: float = BUFFER_SECONDS,
        block_seconds: float = BLOCK_SECONDS,
        realtime: bool = False,
    ) -> Recorder:
        """An open-ended recording (see :meth:`record`): ``with
        c.recorder(["DPOS(0)"], 1000) as r:`` then iterate ``r`` (or call
        ``r.read(timeout)``) for :class:`~holvane.Recording` blocks of about
        ``block_seconds`` as they arrive; leaving the ``with`` stops it.
        ``seconds`` ends it by itself; ``buffer_seconds`` of samples wait for
        the reader before further ones count as overflow.

        :raises ValueError: as for :meth:`record`; nothing is sent.
        """
        return Recorder(
            self,
            channels,
            rate,
            seconds=seconds,
            reconnect=reconnect,
            in_flight=in_flight,
            buffer_seconds=buffer_seconds,
            block_seconds=block_seconds,
            realtime=realtime,
        )

    def watch(
        self,
        channels: str | Sequence[str],
        period: float,
        deadband: float = 0.0,
        *,
        initial: bool = False,
        reconnect: bool | None = None,
    ) -> Watch:
        """Samples ``channels`` every ``period`` seconds and yields a
        :class:`~holvane.Change` whenever one moves by more than ``deadband``
        from the value last reported (``initial=True`` also yields the first
        values): ``with c.watch(["VR(1)"], 0.1) as w: for change in w:``.

        :raises ValueError: as for :meth:`record`; nothing is sent.
        """
        return Watch(self, channels, period, deadband, initial=initial, reconnect=reconnect)

    def on_change(
        self,
        channels: str | Sequence[str],
        callback: Callable[[Change], Any],
        period: float,
        deadband: float = 0.0,
        *,
        initial: bool = False,
        reconnect: bool | None = None,
    ) -> ChangeHandler:
        """Calls ``callback(change)`` for every change (see :meth:`watch`) on a
        thread of its own, not the connection's reader thread: the callback
        may call the controller. Returns the handle whose ``stop()`` (or
        ``with`` block) ends it; an exception from the callback ends it too
        and is kept in the handle's ``exception``.

        :raises ValueError: as for :meth:`record`; nothing is sent.
        """
        return ChangeHandler(Watch(self, channels, period, deadband, initial=initial, reconnect=reconnect), callback)

    # --- batches -----------------------------------------------------------------

    def batch(self) -> Batch:
        """Collects reads and writes and sends them together when the
        ``with`` block ends::

            with c.batch() as b:
                pos = b.read_param("DPOS", 0)
                b.write_vr(5, 1.0)
            print(pos.value)
        """
        return Batch(self)
