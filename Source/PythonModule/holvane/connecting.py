"""Opening a link: :func:`connect`, the connection's attributes and where its
events go."""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable
from typing import Any

import Vantrel_HolvaneAPI as _api

from . import _arguments as check
from ._limits import DEFAULT_CONNECT_TIMEOUT, DEFAULT_KEEPALIVE, DEFAULT_TIMEOUT, MAX_KEEPALIVE, MAX_LIMIT
from ._recovery import ReconnectPolicy, connect_error
from .controller import Controller
from .errors import BAD_ARGUMENT, UNKNOWN_ATTRIB, error_for, error_text

__all__ = ["connect"]

log = logging.getLogger("holvane")
trace_log = logging.getLogger("holvane.trace")
tokens_log = logging.getLogger("holvane.tokens")

TOKENS = 5
"""Below DEBUG: the controller's token table, line by line, as it is read at
every connect (``logging.getLogger("holvane.tokens").setLevel(5)`` shows it)."""
logging.addLevelName(TOKENS, "TOKENS")

_ERROR_EVENT = _api.EventType.Error

DEFAULT_DEADLINE = 60.0
"""Seconds one operation may take in all, unless :func:`connect` is told otherwise."""

_POLICY = ReconnectPolicy()

# Attributes this plug-in did not know, warned about once per process.
_unknown_attributes: set[str] = set()
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
        elif text.startswith("->") or text == "TOKENTABLE":
            tokens_log.log(TOKENS, "%s: %s", peer, text)
        elif text.startswith("Connected to "):
            log.info("%s: %s", peer, text)
        else:
            log.debug("%s: %s", peer, text)

    return handle


def _milliseconds(name: str, seconds: float | None, allow_zero: bool = False) -> int:
    if seconds is None:
        return 0
    return round(check.seconds(name, seconds, MAX_LIMIT, allow_zero) * 1000.0)


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
    timeout: float = DEFAULT_TIMEOUT,
    deadline: float | None = DEFAULT_DEADLINE,
    connect_timeout: float = DEFAULT_CONNECT_TIMEOUT,
    keepalive: int = DEFAULT_KEEPALIVE,
    nodelay: bool | None = None,
    trace: bool = False,
    reconnect: bool = False,
    reconnect_delay: float = _POLICY.delay,
    reconnect_delay_max: float = _POLICY.delay_max,
    reconnect_give_up: float = _POLICY.give_up,
    allow_nonfinite: bool = False,
) -> Controller:
    """Connects to a controller and returns a :class:`Controller`.

    :param host: the controller's IPv4 address or host name.
    :param port: its TCP port.
    :param timeout: seconds to wait for the next bytes of a reply.
    :param deadline: seconds one request to the controller may take in all,
        time queued behind other requests included; ``None`` or 0 for no
        overall limit.
    :param connect_timeout: seconds allowed for opening the link.
    :param keepalive: seconds of idle before the link is probed; 0 for none.
    :param nodelay: ``True`` sends every request at once, ``False`` lets the
        system coalesce small sends; ``None`` (default) coalesces on every port
        but 3240. Recordings need ``True`` on other ports: with coalescing a
        sample may leave a round trip late.
    :param trace: log a hexadecimal line per request and reply to the logger
        ``"holvane.trace"`` at ``DEBUG`` (never to standard output).
    :param reconnect: reopen a lost link when a call finds it gone. A call
        that found the link already down (nothing was sent) is then carried
        out, read or write alike; a read whose link was lost while it waited
        is sent again; a write, motion or ``execute`` whose request may have
        reached the controller is never sent twice: it raises
        :class:`ConnectionLostError` and the next call reconnects. A call
        that timed out raises :class:`HolvaneTimeoutError`, and the next call
        reconnects.
    :param reconnect_delay: seconds before the second attempt to reconnect
        (the first is made at once); the pause doubles after every failed
        attempt, up to ``reconnect_delay_max``.
    :param reconnect_delay_max: the longest pause between two attempts.
    :param reconnect_give_up: seconds after the first attempt when
        reconnecting gives up and the call raises :class:`ConnectionLostError`.
    :param allow_nonfinite: let writes send NaN and infinities (refused with
        ``ValueError`` otherwise).
    :raises ValueError: an argument that cannot be used (an empty host, an
        IPv6 address, a port or time limit out of range).
    :raises ConnectionLostError: the controller's port is not open, its host
        name does not resolve, or the link failed.
    :raises HolvaneTimeoutError: the link could not be opened in time.
    :raises ProtocolError: the controller's answers or type are not usable.
    """
    host = check.host(host)
    port = check.port(port)
    policy = ReconnectPolicy(reconnect_delay, reconnect_delay_max, reconnect_give_up)
    if isinstance(keepalive, bool) or not isinstance(keepalive, int) or not 0 <= keepalive <= MAX_KEEPALIVE:
        raise ValueError(f"keepalive must be 0 to {MAX_KEEPALIVE} whole seconds, not {keepalive!r}")
    attributes: tuple[tuple[str, int, str], ...] = (
        ("TCP_Timeout", _milliseconds("timeout", timeout), f"timeout={timeout}"),
        ("TCP_ConnectTimeout", _milliseconds("connect_timeout", connect_timeout), f"connect_timeout={connect_timeout}"),
        ("TCP_Deadline", _milliseconds("deadline", deadline, allow_zero=True), f"deadline={deadline}"),
        ("TCP_KeepAlive", keepalive, f"keepalive={keepalive}"),
    )
    if nodelay is not None:
        if not isinstance(nodelay, bool):
            raise TypeError(f"nodelay must be True, False or None, not {nodelay!r}")
        attributes += (("TCP_NoDelay", int(nodelay), f"nodelay={nodelay}"),)
    connection = _open(host, port, attributes, trace)
    return Controller(connection, host, port, reconnect, reconnect_policy=policy, allow_nonfinite=allow_nonfinite)


def _open(host: str, port: int, attributes: tuple[tuple[str, int, str], ...], trace: bool) -> _api.Connection:
    """A TCP context set up as asked and connected; released again if any step fails."""
    what = f"connect({host!r}, {port})"
    connection = _api.Connection()
    code = connection.CreateContext(_api.ConnectionType.TCP)
    if code.value:
        raise error_for(code, what)
    try:
        connection.SetEventHandler(_event_handler(f"{host}:{port}"))
        for code in (
            connection.WriteStringAttribute("TCP_HostName", host),
            connection.WriteIntAttribute("TCP_Port", port),
        ):
            if code.value:
                raise error_for(code, what)
        for name, value, described in attributes:
            _set_attribute(connection, name, value, described)
        _set_trace(connection, trace)
        code = connection.Connect()
        if code.value:
            raise connect_error(int(code), what, connection)
    except BaseException:
        connection.SetEventHandler(None)
        connection.DestroyContext()
        raise
    return connection
