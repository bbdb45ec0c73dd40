"""The blocking client: :func:`connect` and :class:`Controller`.

Units: positions and distances are in the axis's user units (as scaled by its
UNITS parameter), speeds in user units per second, accelerations in user
units per second squared, times in seconds.
"""
from __future__ import annotations

import logging
import math
import threading
import time
from typing import (Any, Callable, List, NamedTuple, Optional, Sequence, Set, Tuple, TypeVar, Union, overload)

import Vantrel_HolvaneAPI as _api

from .errors import (BAD_ARGUMENT, CONNECTION_CONTEXT, FAIL, HolvaneError, HolvaneTimeoutError, TIMEOUT,
                     UNKNOWN_ATTRIB, ConnectionLostError, UnsupportedError, error_for, error_text)

__all__ = ["connect", "Controller", "Axis", "FileInfo", "ControllerInfo", "Batch", "BatchResult"]

log = logging.getLogger("holvane")
trace_log = logging.getLogger("holvane.trace")

_C = _api.Connection
_ERROR_EVENT = _api.EventType.Error

# Items per Batch call: every connection carries at least this many.
BATCH_LIMIT = 4096

# Pause before a reconnect, so that a controller that is restarting has a
# moment to listen again.
RECONNECT_BACKOFF = 0.2

# Attributes this plug-in did not know, warned about once per process.
_unknown_attributes: Set[str] = set()
_unknown_lock = threading.Lock()

Text = Union[str, bytes]
T = TypeVar("T")


class FileInfo(NamedTuple):
    """One file stored on the controller."""

    name: str
    type: int
    size: int
    """Bytes."""
    compiled_size: int
    """Bytes."""
    autorun_process: int
    """Process the program runs in at power-up; -1 when none."""
    editable: bool
    autorun: bool

    @property
    def flags(self) -> Tuple[str, ...]:
        """The names of the flags that are set: ``"editable"``, ``"autorun"``."""
        return tuple(name for name, on in (("editable", self.editable), ("autorun", self.autorun)) if on)


class ControllerInfo(NamedTuple):
    """What the controller told the connection about itself."""

    version: str
    controller_type: int
    number_format: str
    axis_count: int


def _event_handler(peer: str) -> Callable[[Any, int, str], None]:
    # Holds no reference to the Controller: the plug-in keeps the handler as
    # long as the context lives, and a cycle through it would never be freed.
    def handle(kind: Any, code: int, text: str) -> None:
        if kind == _ERROR_EVENT:
            if text:
                log.warning("%s: %s (%s)", peer, text, error_text(code))
            else:
                log.warning("%s: %s", peer, error_text(code))
        elif " >> [" in text or " << [" in text:
            trace_log.debug("%s", text)
        else:
            log.debug("%s: %s", peer, text)

    return handle


def _milliseconds(name: str, seconds: Optional[float]) -> int:
    if seconds is None:
        return 0
    if not isinstance(seconds, (int, float)) or math.isnan(seconds) or seconds < 0:
        raise ValueError(f"{name} must be a non-negative number of seconds, not {seconds!r}")
    return int(round(seconds * 1000.0))


def _set_attribute(connection: Any, name: str, value: int, what: str) -> None:
    code = connection.WriteIntAttribute(name, value).value
    if code == 0:
        return
    if code == UNKNOWN_ATTRIB:
        with _unknown_lock:
            first = name not in _unknown_attributes
            _unknown_attributes.add(name)
        if first:
            log.warning("the connection plug-in does not know %s: %s is not applied", name, what)
        return
    if code == BAD_ARGUMENT:
        raise ValueError(f"{what} is out of range for the connection ({name}={value})")
    raise error_for(code, f"connect: setting {name}={value}")


def connect(host: str = "127.0.0.1", port: int = 3240, *, timeout: float = 10.0,
            deadline: Optional[float] = 60.0, connect_timeout: float = 5.0, keepalive: int = 10,
            trace: bool = False, reconnect: bool = False) -> "Controller":
    """Connects to a controller and returns a :class:`Controller`.

    :param host: the controller's address or host name.
    :param port: its TCP port.
    :param timeout: seconds to wait for the next bytes of a reply.
    :param deadline: seconds one operation may take in all, time queued behind
        other requests included; ``None`` or 0 for no overall limit.
    :param connect_timeout: seconds allowed for opening the link.
    :param keepalive: seconds of idle before the link is probed; 0 for none.
    :param trace: log a hexadecimal line per request and reply to the logger
        ``"holvane.trace"`` at ``DEBUG`` (never to standard output).
    :param reconnect: reopen a lost link once, after a short pause, when an
        operation finds it gone; reads are then retried, while writes,
        motions and ``execute`` whose request may have reached the controller
        are never sent twice (they raise :class:`ConnectionLostError`).
    :raises ConnectionLostError: the controller's port is not open or the link
        failed; :class:`HolvaneTimeoutError`, :class:`ProtocolError`.
    """
    attributes = (
        ("TCP_Timeout", _milliseconds("timeout", timeout), f"timeout={timeout}"),
        ("TCP_ConnectTimeout", _milliseconds("connect_timeout", connect_timeout),
         f"connect_timeout={connect_timeout}"),
        ("TCP_Deadline", _milliseconds("deadline", deadline), f"deadline={deadline}"),
        ("TCP_KeepAlive", int(keepalive), f"keepalive={keepalive}"),
    )
    if int(keepalive) < 0:
        raise ValueError(f"keepalive must be a non-negative number of seconds, not {keepalive!r}")
    what = f"connect({host!r}, {port})"
    connection = _C()
    code = connection.CreateContext(_api.ConnectionType.TCP)
    if code.value:
        raise error_for(code, what)
    try:
        connection.SetEventHandler(_event_handler(f"{host}:{port}"))
        code = connection.WriteStringAttribute("TCP_HostName", host)
        if code.value:
            raise error_for(code, what)
        if not 0 <= int(port) <= 65535:
            raise ValueError(f"port must be 0..65535, not {port!r}")
        code = connection.WriteIntAttribute("TCP_Port", int(port))
        if code.value:
            raise error_for(code, what)
        for name, value, described in attributes:
            _set_attribute(connection, name, value, described)
        _set_trace(connection, trace)
        code = connection.Connect()
        if code.value:
            raise error_for(code, what, connected=False)
    except BaseException:
        connection.SetEventHandler(None)
        connection.DestroyContext()
        raise
    return Controller(connection, host, int(port), reconnect)


def _set_trace(connection: Any, trace: bool) -> None:
    if not trace:
        connection.WriteIntAttribute("TCP_Trace", 0)
        return
    # 2: the lines come as events. A plug-in that reads back anything else
    # would print them on standard output instead: then rather none at all.
    connection.WriteIntAttribute("TCP_Trace", 2)
    code, mode = connection.ReadIntAttribute("TCP_Trace")
    if code.value or mode != 2:
        connection.WriteIntAttribute("TCP_Trace", 0)
        log.warning("the connection plug-in cannot hand trace lines to the logger: trace is off")


def _call_text(name: str, args: Sequence[Any]) -> str:
    """An operation as the caller wrote it, for messages: ``read_vr(5)``."""
    return f"{name}({', '.join(map(repr, args))})"


def _index(key: Any, name: str) -> int:
    if isinstance(key, bool) or not isinstance(key, int):
        raise TypeError(f"{name} index must be an int or a slice, not {type(key).__name__}")
    if key < 0:
        raise IndexError(f"{name} index must not be negative: {key}")
    return key


def _span(key: slice, name: str) -> Tuple[int, int]:
    if key.step not in (None, 1):
        raise ValueError(f"{name}[a:b] takes no step")
    if key.start is None or key.stop is None:
        raise ValueError(f"{name}[a:b] needs both bounds")
    start, stop = _index(key.start, name), _index(key.stop, name)
    return start, max(stop - start, 0)


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
                    f"{what}: link lost ({error_text(cause)}) and reconnecting failed: {error_text(code)}",
                    int(code))
            log.warning("%s:%s: reconnected after the link was lost (%s)", self.host, self.port,
                        error_text(cause))

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

    def _write_failed(self, code: Any, name: str, args: Tuple[Any, ...], call: Callable[..., Any],
                      unsupported: bool = False) -> None:
        code = int(code)
        connected = bool(self._c.IsConnected())
        if code == FAIL and connected and unsupported:
            raise UnsupportedError(f"{_call_text(name, args)}: not carried out by the TCP connection (0x{code:x})",
                                   code)
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
        return [FileInfo(e.name, e.type, e.size, e.compiled_size, e.autorun_process, bool(e.editable),
                         bool(e.autorun)) for e in entries]

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

    def _run_batch(self, items: List[Tuple[Any, ...]], results: List["BatchResult"]) -> None:
        if not items:
            return
        reads_only = all(item[0].startswith("Read") for item in items)
        what = f"batch of {len(items)}"
        answers = self._send_batch(items)
        if self._reconnect:
            if answers is None:
                # The link was down before anything was sent.
                self._revive(what, FAIL)
                answers = self._send_batch(items)
            elif reads_only and any(_lost(code) for code, _ in answers) and not self._c.IsConnected():
                self._revive(what, int(next(code for code, _ in answers if code != 0)))
                answers = self._send_batch(items) or answers
        if answers is None:
            raise error_for(FAIL, what, bool(self._c.IsConnected()))
        first_error: Optional[HolvaneError] = None
        for item, result, (code, value) in zip(items, results, answers):
            if code:
                error = self._error(code, _BATCH_NAMES[item[0]], item[1:])
                result._fail(error)
                if first_error is None:
                    first_error = error
            else:
                result._set(value)
        if first_error is not None:
            raise first_error

    def _send_batch(self, items: List[Tuple[Any, ...]]) -> Optional[List[Tuple[int, Any]]]:
        """Per-item (code, value); None when nothing at all could be sent."""
        connection = self._c
        if self._batch_call is not None:
            answers: List[Tuple[int, Any]] = []
            for start in range(0, len(items), BATCH_LIMIT):
                chunk = items[start:start + BATCH_LIMIT]
                code, results = self._batch_call(chunk)
                if len(results) == len(chunk):
                    answers.extend((c.value, v) for c, v in results)
                else:  # refused as a whole
                    answers.extend([(code.value, None)] * len(chunk))
            if not all(c == FAIL for c, _ in answers):
                return answers
            if not connection.IsConnected():
                return None
            # Every item Fail on a live link: a plug-in without batches.
        log.debug("batch of %d items sent one by one: the connection carries no batches", len(items))
        answers = []
        for item in items:
            outcome = getattr(connection, item[0])(*item[1:])
            answers.append((outcome[0].value, outcome[1]) if isinstance(outcome, tuple) else (outcome.value, None))
        if all(code == FAIL for code, _ in answers) and not connection.IsConnected():
            return None
        return answers


def _lost(code: int) -> bool:
    return code == FAIL or code >> 32 == 2


_BATCH_NAMES = {"ReadVrValue": "read_vr", "WriteVrValue": "write_vr", "ReadTableValue": "read_table",
                "ReadAxisParam": "read_param", "WriteAxisParam": "write_param"}


class BatchResult:
    """The outcome of one item of a batch; filled when the batch's block ends."""

    __slots__ = ("_value", "_error", "_done")

    def __init__(self) -> None:
        self._value: Optional[float] = None
        self._error: Optional[HolvaneError] = None
        self._done = False

    def _set(self, value: Optional[float]) -> None:
        self._value, self._done = value, True

    def _fail(self, error: HolvaneError) -> None:
        self._error, self._done = error, True

    @property
    def done(self) -> bool:
        """True once the batch has been carried out."""
        return self._done

    @property
    def error(self) -> Optional[HolvaneError]:
        """The item's error, or None."""
        return self._error

    @property
    def value(self) -> Optional[float]:
        """The value read (None for writes).

        :raises HolvaneError: the item's own error.
        :raises RuntimeError: before the batch has been carried out.
        """
        if self._error is not None:
            raise self._error
        if not self._done:
            raise RuntimeError("a batch result has its value once the batch block has ended")
        return self._value

    def __repr__(self) -> str:
        if not self._done:
            return "<BatchResult pending>"
        return f"<BatchResult error={self._error}>" if self._error else f"<BatchResult {self._value!r}>"


class Batch:
    """Reads and writes collected in a ``with`` block and sent as one batch
    when it ends, in order. If an item fails the others still run; the block
    then raises the first item's error. Nothing is sent if the block raises."""

    def __init__(self, controller: Controller) -> None:
        self._controller = controller
        self._items: List[Tuple[Any, ...]] = []
        self._results: List[BatchResult] = []

    def __enter__(self) -> "Batch":
        return self

    def __exit__(self, exc_type: Any, *rest: object) -> None:
        if exc_type is None:
            self.run()

    def __len__(self) -> int:
        return len(self._items)

    def _add(self, item: Tuple[Any, ...]) -> BatchResult:
        result = BatchResult()
        self._items.append(item)
        self._results.append(result)
        return result

    def read_vr(self, index: int) -> BatchResult:
        return self._add(("ReadVrValue", index))

    def write_vr(self, index: int, value: float) -> BatchResult:
        return self._add(("WriteVrValue", index, float(value)))

    def read_table(self, index: int) -> BatchResult:
        return self._add(("ReadTableValue", index))

    def read_param(self, name: str, axis: int) -> BatchResult:
        """Axis parameter ``name`` of ``axis`` (user units)."""
        return self._add(("ReadAxisParam", name, axis))

    def write_param(self, name: str, axis: int, value: float) -> BatchResult:
        return self._add(("WriteAxisParam", name, axis, float(value)))

    def run(self) -> None:
        """Sends what was collected (done by the end of the ``with`` block)."""
        items, results = self._items, self._results
        self._items, self._results = [], []
        self._controller._run_batch(items, results)


class VrAccess:
    """``vr[i]``, ``vr[i] = v``, ``vr[a:b]``, ``vr[a:b] = values``."""

    __slots__ = ("_controller",)

    def __init__(self, controller: Controller) -> None:
        self._controller = controller

    @overload
    def __getitem__(self, key: int) -> float: ...
    @overload
    def __getitem__(self, key: slice) -> List[float]: ...

    def __getitem__(self, key: Union[int, slice]) -> Union[float, List[float]]:
        controller = self._controller
        if type(key) is int and key >= 0:  # the common case, without a further call
            code, value = controller._c.ReadVrValue(key)
            if code.value:
                return controller._read_failed(code, "read_vr", (key,), _C.ReadVrValue)
            return value
        if isinstance(key, slice):
            return controller.read_vr_block(*_span(key, "vr"))
        return controller.read_vr(_index(key, "vr"))

    def __setitem__(self, key: Union[int, slice], value: Any) -> None:
        controller = self._controller
        if type(key) is int and key >= 0:
            code = controller._c.WriteVrValue(key, value)
            if code.value:
                controller._write_failed(code, "write_vr", (key, value), _C.WriteVrValue)
            return
        if isinstance(key, slice):
            start, count = _span(key, "vr")
            values = list(value)
            if len(values) != count:
                raise ValueError(f"vr[{key.start}:{key.stop}] takes {count} values, not {len(values)}")
            with self._controller.batch() as batch:
                for offset, item in enumerate(values):
                    batch.write_vr(start + offset, item)
            return
        self._controller.write_vr(_index(key, "vr"), value)


class TableAccess:
    """``table[i]`` and ``table[a:b]`` (reads only over TCP)."""

    __slots__ = ("_controller",)

    def __init__(self, controller: Controller) -> None:
        self._controller = controller

    @overload
    def __getitem__(self, key: int) -> float: ...
    @overload
    def __getitem__(self, key: slice) -> List[float]: ...

    def __getitem__(self, key: Union[int, slice]) -> Union[float, List[float]]:
        if isinstance(key, slice):
            return self._controller.read_table_block(*_span(key, "table"))
        return self._controller.read_table(_index(key, "table"))

    def __setitem__(self, key: int, value: float) -> None:
        self._controller.write_table(_index(key, "table"), value)


class VrStringAccess:
    """``vr_string[i]`` and ``vr_string[i] = text``."""

    __slots__ = ("_controller",)

    def __init__(self, controller: Controller) -> None:
        self._controller = controller

    def __getitem__(self, key: int) -> str:
        return self._controller.read_vr_string(_index(key, "vr_string"))

    def __setitem__(self, key: int, text: Text) -> None:
        self._controller.write_vr_string(_index(key, "vr_string"), text)


class Axis:
    """One axis of a controller. Positions in user units, speeds in user
    units per second, times in seconds."""

    __slots__ = ("_controller", "number")

    def __init__(self, controller: Controller, number: int) -> None:
        self._controller = controller
        self.number = number

    def __repr__(self) -> str:
        return f"<holvane.Axis {self.number}>"

    @property
    def dpos(self) -> float:
        """Demand position (read-only)."""
        return self._controller.read_param("DPOS", self.number)

    @property
    def mpos(self) -> float:
        """Measured position (read-only)."""
        return self._controller.read_param("MPOS", self.number)

    @property
    def speed(self) -> float:
        """Programmed speed of moves (writable)."""
        return self._controller.read_param("SPEED", self.number)

    @speed.setter
    def speed(self, value: float) -> None:
        self._controller.write_param("SPEED", self.number, value)

    @property
    def idle(self) -> bool:
        """True when the axis has no move running or buffered (read-only)."""
        return self._controller.read_param("IDLE", self.number) != 0.0

    def param(self, name: str) -> float:
        """Axis parameter ``name`` of this axis."""
        return self._controller.read_param(name, self.number)

    def set_param(self, name: str, value: float) -> None:
        """Sets axis parameter ``name`` of this axis."""
        self._controller.write_param(name, self.number, value)

    def _motion(self, name: str, method: Callable[..., Any], *args: Any) -> None:
        controller = self._controller
        code = method(controller._c, *args)
        if code.value:
            controller._write_failed(code, name, args, method)

    def move_abs(self, position: float, *, sp: bool = False) -> None:
        """Moves to ``position`` (MOVEABS; with ``sp`` MOVEABSSP, at FORCE_SPEED)."""
        self._motion("move_abs", _C.MoveAbsSp if sp else _C.MoveAbs, position, self.number)

    def move_rel(self, distance: float, *, sp: bool = False) -> None:
        """Moves by ``distance`` (MOVE; with ``sp`` MOVESP, at FORCE_SPEED)."""
        self._motion("move_rel", _C.MoveRelSp if sp else _C.MoveRel, distance, self.number)

    def forward(self) -> None:
        """Runs forward until cancelled or the forward limit."""
        self._motion("forward", _C.Forward, self.number)

    def reverse(self) -> None:
        """Runs in reverse until cancelled or the reverse limit."""
        self._motion("reverse", _C.Reverse, self.number)

    def cancel(self, mode: int = 0) -> None:
        """CANCEL: 0 stops the current move, 1 drops the buffered ones, 2 both."""
        self._motion("cancel", _C.Cancel, mode, self.number)

    def datum(self, sequence: int = 0) -> None:
        """DATUM with the given sequence number."""
        self._motion("datum", _C.Datum, sequence, self.number)

    def define_pos(self, position: float) -> None:
        """DEFPOS: declares the current position to be ``position``."""
        self._motion("define_pos", _C.DefPos, position, self.number)

    def wait_idle(self, timeout: float = 60.0, poll: float = 0.01) -> None:
        """Waits until the axis is idle, reading IDLE every ``poll`` seconds.

        :raises HolvaneTimeoutError: still moving after ``timeout`` seconds.
        """
        end = time.monotonic() + timeout
        while not self.idle:
            if time.monotonic() >= end:
                raise HolvaneTimeoutError(
                    f"wait_idle({timeout!r}): axis {self.number} still moving after {timeout} s", TIMEOUT)
            time.sleep(poll)
