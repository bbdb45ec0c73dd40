"""The blocking client: :class:`Controller`, made by :func:`holvane.connect`.

Units: positions and distances are in the axis's user units (as scaled by its
UNITS parameter), speeds in user units per second, accelerations in user
units per second squared, times in seconds.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Any, Callable, List, Optional, Sequence, Tuple, TypeVar

import Vantrel_HolvaneAPI as _api

from .axes import Axis
from .batches import Batch, BatchResult, run_batch
from .errors import (
    CONNECTION_CONTEXT,
    FAIL,
    ConnectionLostError,
    HolvaneError,
    UnsupportedError,
    error_for,
    error_text,
)
from .values import ControllerInfo, FileInfo, TableAccess, Text, VrAccess, VrStringAccess

__all__ = ["Controller"]

log = logging.getLogger("holvane")

_C = _api.Connection

# Pause before a reconnect, so that a controller that is restarting has a
# moment to listen again.
RECONNECT_BACKOFF = 0.2

T = TypeVar("T")


def _call_text(name: str, args: Sequence[Any]) -> str:
    """An operation as the caller wrote it, for messages: ``read_vr(5)``."""
    return f"{name}({', '.join(map(repr, args))})"


class Controller:
    """One connected controller. Made by :func:`connect`; thread-safe.

    Use it as a context manager, or call :meth:`close`. Every failing
    operation raises a :class:`~holvane.HolvaneError`.
    """

    def __init__(self, connection: "_api.Connection", host: str, port: int, reconnect: bool) -> None:
        self._c = connection
        self.host = host
        """The controller's address, as given to :func:`connect`."""
        self.port = port
        """The controller's TCP port."""
        self._reconnect = reconnect
        self._revive_lock = threading.Lock()
        # Connection.Batch sends many items in one round trip; without it a
        # batch is sent item by item.
        self._batch_call: Optional[Callable[..., Any]] = getattr(connection, "Batch", None)
        self.vr = VrAccess(self)
        """VR values: ``vr[i]``, ``vr[i] = v``, ``vr[a:b]`` (one block read),
        ``vr[a:b] = values`` (one batch)."""
        self.table = TableAccess(self)
        """TABLE values: ``table[i]`` and ``table[a:b]`` (one block read)."""
        self.vr_string = VrStringAccess(self)
        """Texts stored under VR numbers: ``vr_string[i]``, ``vr_string[i] = text``."""

    # --- lifecycle -------------------------------------------------------------

    def __enter__(self) -> "Controller":
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
        with self._revive_lock:
            if self._c.IsConnected():
                return  # another thread has already reconnected
            time.sleep(RECONNECT_BACKOFF)
            code = self._c.Connect()
            if code.value:
                raise ConnectionLostError(
                    f"{what}: link lost ({error_text(cause)}) and reconnecting failed: {error_text(code)}", int(code)
                )
            log.warning("%s:%s: reconnected after the link was lost (%s)", self.host, self.port, error_text(cause))

    def _error(self, code: Any, name: str, args: Sequence[Any]) -> HolvaneError:
        return error_for(code, _call_text(name, args), bool(self._c.IsConnected()))

    def _read_failed(self, code: Any, name: str, args: Tuple[Any, ...], call: Callable[..., Tuple[Any, T]]) -> T:
        code = int(code)
        error = self._error(code, name, args)
        if self._reconnect and isinstance(error, ConnectionLostError) and code != CONNECTION_CONTEXT:
            self._revive(_call_text(name, args), code)
            code, value = call(self._c, *args)
            if not code.value:
                return value
            error = self._error(code, name, args)
        raise error

    def _write_failed(
        self, code: Any, name: str, args: Tuple[Any, ...], call: Callable[..., Any], unsupported: bool = False
    ) -> None:
        code = int(code)
        connected = bool(self._c.IsConnected())
        if code == FAIL and connected and unsupported:
            raise UnsupportedError(
                f"{_call_text(name, args)}: not carried out by the TCP connection (0x{code:x})", code
            )
        # Fail on a closed link: the request was never sent, so sending it
        # after reconnecting cannot duplicate it. Any other failure may have
        # reached the controller and is reported, never resent.
        if self._reconnect and code == FAIL and not connected:
            self._revive(_call_text(name, args), code)
            code = call(self._c, *args)
            if not code.value:
                return
        raise self._error(code, name, args)

    # --- values ------------------------------------------------------------------

    def read_vr(self, index: int) -> float:
        """The value of VR ``index``."""
        code, value = self._c.ReadVrValue(index)
        if code.value:
            return self._read_failed(code, "read_vr", (index,), _C.ReadVrValue)
        return value

    def write_vr(self, index: int, value: float) -> None:
        """Sets VR ``index`` to ``value``."""
        code = self._c.WriteVrValue(index, value)
        if code.value:
            self._write_failed(code, "write_vr", (index, value), _C.WriteVrValue)

    def read_vr_block(self, start: int, count: int) -> List[float]:
        """``count`` VR values from ``start`` on, in one request."""
        code, values = self._c.ReadMultiVrValues(start, count)
        if code.value:
            return self._read_failed(code, "read_vr_block", (start, count), _C.ReadMultiVrValues)
        return values

    def read_table(self, index: int) -> float:
        """The TABLE value at ``index``."""
        code, value = self._c.ReadTableValue(index)
        if code.value:
            return self._read_failed(code, "read_table", (index,), _C.ReadTableValue)
        return value

    def read_table_block(self, start: int, count: int) -> List[float]:
        """``count`` TABLE values from ``start`` on, in one request."""
        code, values = self._c.ReadMultiTableValues(start, count)
        if code.value:
            return self._read_failed(code, "read_table_block", (start, count), _C.ReadMultiTableValues)
        return values

    def write_table(self, index: int, value: float) -> None:
        """Writing TABLE values is not carried out over TCP.

        :raises UnsupportedError: always, on a live link.
        """
        code = self._c.WriteTableValue(index, value)
        if code.value:
            self._write_failed(code, "write_table", (index, value), _C.WriteTableValue, unsupported=True)

    def read_param(self, name: str, axis: int) -> float:
        """Axis parameter ``name`` (e.g. ``"DPOS"``, ``"SPEED"``) of ``axis``.

        Positions are in user units, speeds in user units per second.
        """
        code, value = self._c.ReadAxisParam(name, axis)
        if code.value:
            return self._read_failed(code, "read_param", (name, axis), _C.ReadAxisParam)
        return value

    def write_param(self, name: str, axis: int, value: float) -> None:
        """Sets axis parameter ``name`` of ``axis``. Read-only parameters
        (DPOS, MPOS, FE, IDLE, ...) raise :class:`ControllerError`."""
        code = self._c.WriteAxisParam(name, axis, value)
        if code.value:
            self._write_failed(code, "write_param", (name, axis, value), _C.WriteAxisParam)

    def read_vr_string(self, index: int) -> str:
        """The text stored under VR ``index``; bytes that are not UTF-8 come
        back as surrogate escapes."""
        code, text = self._c.ReadVrString(index)
        if code.value:
            return self._read_failed(code, "read_vr_string", (index,), _C.ReadVrString)
        return text

    def write_vr_string(self, index: int, text: Text) -> None:
        """Stores ``text`` (as UTF-8, or ``bytes`` as they are) under VR ``index``."""
        code = self._c.WriteVrString(index, text)
        if code.value:
            self._write_failed(code, "write_vr_string", (index, text), _C.WriteVrString)

    def execute(self, line: Text) -> None:
        """Runs one line of the controller's language, e.g. ``"VR(1)=VR(2)*2"``."""
        code = self._c.Execute(line)
        if code.value:
            self._write_failed(code, "execute", (line,), _C.Execute)

    def ex(self, mode: int = 0) -> None:
        """EX: stops and resets the controller's programs and axes."""
        code = self._c.Ex(mode)
        if code.value:
            self._write_failed(code, "ex", (mode,), _C.Ex)

    def invert_input(self, input: int, invert: bool = True) -> None:
        """Switches the inversion of digital input ``input``."""
        code = self._c.InvertIN(input, invert)
        if code.value:
            self._write_failed(code, "invert_input", (input, invert), _C.InvertIN)

    def files(self) -> List[FileInfo]:
        """The files stored on the controller."""
        code, entries = self._c.Dir()
        if code.value:
            entries = self._read_failed(code, "files", (), _C.Dir)
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
        the controller refuses (about 2 log2(n) reads)."""

        def exists(axis: int) -> bool:
            code = self._c.ReadAxisParam("DPOS", axis)[0].value
            if code == 0:
                return True
            if code >> 32 == 4:
                return False
            raise self._error(code, "axis_count", (limit,))

        if not exists(0):
            return 0
        low, high = 1, 1  # axes below `low` exist; find the first that does not
        while high < limit and exists(high):
            low, high = high + 1, min(high * 2, limit)
        while low < high:
            middle = (low + high) // 2
            if exists(middle):
                low = middle + 1
            else:
                high = middle
        return low

    # --- axes --------------------------------------------------------------------

    def axis(self, number: int) -> "Axis":
        """The axis ``number`` (from 0)."""
        return Axis(self, number)

    # --- batches -----------------------------------------------------------------

    def batch(self) -> "Batch":
        """Collects reads and writes and sends them together when the
        ``with`` block ends::

            with c.batch() as b:
                pos = b.read_param("DPOS", 0)
                b.write_vr(5, 1.0)
            print(pos.value)
        """
        return Batch(self)

    def _run_batch(self, items: List[Tuple[Any, ...]], results: List[BatchResult]) -> None:
        run_batch(self, items, results)
