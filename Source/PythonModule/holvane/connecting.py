"""Opening a link: :func:`connect`, the connection's attributes and where its
events go."""

from __future__ import annotations

import logging
import math
import threading
from typing import Any, Callable, Optional, Set

import Vantrel_HolvaneAPI as _api

from .controller import Controller
from .errors import BAD_ARGUMENT, UNKNOWN_ATTRIB, error_for, error_text

__all__ = ["connect"]

log = logging.getLogger("holvane")
trace_log = logging.getLogger("holvane.trace")

_ERROR_EVENT = _api.EventType.Error

# Attributes this plug-in did not know, warned about once per process.
_unknown_attributes: Set[str] = set()
_unknown_lock = threading.Lock()


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


def connect(
    host: str = "127.0.0.1",
    port: int = 3240,
    *,
    timeout: float = 10.0,
    deadline: Optional[float] = 60.0,
    connect_timeout: float = 5.0,
    keepalive: int = 10,
    trace: bool = False,
    reconnect: bool = False,
) -> Controller:
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
        ("TCP_ConnectTimeout", _milliseconds("connect_timeout", connect_timeout), f"connect_timeout={connect_timeout}"),
        ("TCP_Deadline", _milliseconds("deadline", deadline), f"deadline={deadline}"),
        ("TCP_KeepAlive", int(keepalive), f"keepalive={keepalive}"),
    )
    if int(keepalive) < 0:
        raise ValueError(f"keepalive must be a non-negative number of seconds, not {keepalive!r}")
    what = f"connect({host!r}, {port})"
    connection = _api.Connection()
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
