"""After a failed call: whether its request went out, the exception that says
why in one sentence, and reopening a lost link with a back-off."""

from __future__ import annotations

import errno
import logging
import math
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from .errors import (
    CONNECTION_CONTEXT,
    FAIL,
    SYSTEM_BAND,
    TIMEOUT,
    ConnectionLostError,
    HolvaneError,
    HolvaneTimeoutError,
    error_for,
    error_text,
)

log = logging.getLogger("holvane")

# The codes of a call refused because the link was already down: its request
# was never written, so sending it after reconnecting cannot duplicate it.
NOTHING_SENT = frozenset({FAIL, SYSTEM_BAND | errno.EBADF})

# The codes of a connect that ran out of time (EINPROGRESS from an older plug-in).
CONNECT_TIMED_OUT = frozenset({TIMEOUT, SYSTEM_BAND | errno.ETIMEDOUT, SYSTEM_BAND | errno.EINPROGRESS})


def sent_nothing(code: int) -> bool:
    """The request was never written."""
    return code in NOTHING_SENT


def lost_in_flight(code: int) -> bool:
    """The link failed after the request was written: it may have been carried out."""
    return code == TIMEOUT or (code >> 32 == 2 and code not in NOTHING_SENT)


@dataclass(frozen=True)
class ReconnectPolicy:
    """How a lost link is reopened: the first attempt at once, then after
    ``delay`` seconds, the pause doubling up to ``delay_max``, until
    ``give_up`` seconds have passed since the first attempt (an attempt's
    socket connect is cut short to the time left; 0: one attempt)."""

    delay: float = 0.2
    delay_max: float = 5.0
    give_up: float = 30.0

    def __post_init__(self) -> None:
        for name, value in (("reconnect_delay", self.delay), ("reconnect_delay_max", self.delay_max)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < math.inf:
                raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
        if self.delay_max < self.delay:
            raise ValueError(
                f"reconnect_delay_max ({self.delay_max!r}) is shorter than reconnect_delay ({self.delay!r})"
            )
        give_up = self.give_up
        if isinstance(give_up, bool) or not isinstance(give_up, (int, float)) or not 0 <= give_up < math.inf:
            raise ValueError(f"reconnect_give_up must be a non-negative number of seconds, not {give_up!r}")

    def pauses(self) -> Iterator[float]:
        """The pauses between attempts: delay, twice that, ... up to delay_max."""
        pause = self.delay
        while True:
            yield pause
            pause = min(pause * 2.0, self.delay_max)


def link_cause(connection: Any) -> str:
    """The connection's own sentence on why its link was lost, or "" (link up,
    or a plug-in that does not tell)."""
    code, text = connection.ReadStringAttribute("LinkLossCause")
    return str(text) if not code.value else ""


def call_error(code: int, what: str, connection: Any, write: bool) -> HolvaneError:
    """The exception for a failed call ``what``, naming one cause."""
    connected = bool(connection.IsConnected())
    if code == CONNECTION_CONTEXT:
        return ConnectionLostError(f"{what}: the controller is closed", code)
    if sent_nothing(code) and not connected:
        return ConnectionLostError(f"{what}: not sent: {link_cause(connection) or 'no link to the controller'}", code)
    if lost_in_flight(code):
        cause = (link_cause(connection) if not connected else "") or error_text(code)
        if write:
            cause += "; the request may have been carried out"
        kind = HolvaneTimeoutError if code == TIMEOUT else ConnectionLostError
        return kind(f"{what}: {cause}", code)
    return error_for(code, what, connected)


def connect_error(code: int, what: str, connection: Any) -> HolvaneError:
    """The exception for a failed connect ``what``."""
    cause = link_cause(connection) or error_text(code)
    if code in CONNECT_TIMED_OUT:
        return HolvaneTimeoutError(f"{what}: {cause}", code)
    if code >> 32 == 2 or code == FAIL:  # refused, unreachable, not resolved, reset
        return ConnectionLostError(f"{what}: {cause}", code)
    return error_for(code, what, connected=False)


def _connect_within(connection: Any, seconds: float | None) -> int:
    """Connect, its socket connect cut short to ``seconds`` when fewer than the
    configured limit are left, so that reconnecting gives up on time."""
    code, configured = connection.ReadIntAttribute("TCP_ConnectTimeout")
    limit = None if seconds is None or code.value else max(1, min(configured, round(seconds * 1000)))
    if limit is None or limit == configured:
        return int(connection.Connect())
    connection.WriteIntAttribute("TCP_ConnectTimeout", limit)
    try:
        return int(connection.Connect())
    finally:
        connection.WriteIntAttribute("TCP_ConnectTimeout", configured)


def _attempts(count: int) -> str:
    return f"{count} attempt" if count == 1 else f"{count} attempts"


def reopen(connection: Any, policy: ReconnectPolicy, lock: threading.Lock, peer: str, what: str, cause: int) -> None:
    """Reopens the lost link of ``connection`` with the back-off of ``policy``.

    Returns at once when the link is up (another thread may have reopened it
    meanwhile); raises :class:`ConnectionLostError` on giving up.
    """
    with lock:
        if connection.IsConnected():
            return
        reason = link_cause(connection) or error_text(cause)
        started = time.monotonic()
        pauses = policy.pauses()
        attempt = 0
        while True:
            attempt += 1
            code = _connect_within(
                connection, policy.give_up - (time.monotonic() - started) if policy.give_up else None
            )
            elapsed = time.monotonic() - started
            if code == 0:
                log.info(
                    "%s: reconnected at attempt %d after %.1f s; the link had been lost: %s",
                    peer,
                    attempt,
                    elapsed,
                    reason,
                )
                return
            if code == CONNECTION_CONTEXT:
                raise ConnectionLostError(f"{what}: the controller is closed", code)
            failure = link_cause(connection) or error_text(code)
            if connection.IsConnected():
                connection.Disconnect()  # half open (the link, not the controller's answers): start afresh
            left = policy.give_up - elapsed
            if left <= 0:
                raise ConnectionLostError(
                    f"{what}: {reason}, and {_attempts(attempt)} to reconnect over {elapsed:.1f} s failed, "
                    f"the last with: {failure}",
                    code,
                )
            pause = min(next(pauses), left)  # the last attempt at the give-up time
            log.info(
                "%s: reconnect attempt %d failed (%s); the link had been lost: %s; next attempt in %.3g s",
                peer,
                attempt,
                failure,
                reason,
                pause,
            )
            time.sleep(pause)
