"""The exceptions of ``holvane`` and the one-line text of every result code.

Every failing operation raises a subclass of :class:`HolvaneError`; its
``code`` is the connection's result code as an int, banded as
``0x1_0000_00nn`` (API errors), ``0x2_0000_0000 | errno`` (system errors) and
``0x4_0000_0000 | n`` (controller error number ``n``).
"""
from __future__ import annotations

import errno as _errno
import os
from typing import Dict, FrozenSet, SupportsInt

__all__ = [
    "HolvaneError", "ControllerError", "HolvaneTimeoutError", "ConnectionLostError",
    "ProtocolError", "UnsupportedError", "error_text",
]

NO_ERROR = 0
API_BAND = 0x1_0000_0000
SYSTEM_BAND = 0x2_0000_0000
CONTROLLER_BAND = 0x4_0000_0000

FAIL = API_BAND | 0x01
CONNECTION_CONTEXT = API_BAND | 0x03
UNKNOWN_ATTRIB = API_BAND | 0x04
TOKEN_TABLE = API_BAND | 0x06
TIMEOUT = API_BAND | 0x07
UNKNOWN_NUMBER_FORMAT = API_BAND | 0x08
REMOTE_TOKEN_BUFFER = API_BAND | 0x09
UNSUPPORTED_CONTROLLER = API_BAND | 0x0B
BAD_RESPONSE = API_BAND | 0x0C
BAD_ARGUMENT = API_BAND | 0x0D

_API_TEXTS: Dict[int, str] = {
    0x00: "unknown API error",
    0x01: "operation failed (no link to the controller, or not carried out by this connection)",
    0x02: "the connection plug-in library could not be loaded",
    0x03: "no connection context",
    0x04: "attribute not known to the connection",
    0x05: "attribute has another type",
    0x06: "the controller's token table could not be downloaded",
    0x07: "timed out waiting for the controller",
    0x08: "the controller's number format is not known",
    0x09: "the token table download failed",
    0x0A: "name not in the controller's token table",
    0x0B: "controller type or version not supported",
    0x0C: "the controller's reply had an unexpected form",
    0x0D: "argument not usable",
}

# The status numbers the bundled simulator answers with.
CONTROLLER_TEXTS: Dict[int, str] = {
    1: "malformed request", 2: "unknown token", 3: "index out of range", 4: "bad axis",
    5: "read-only", 6: "not an axis parameter", 7: "bad value", 8: "unsupported",
    9: "division by zero", 10: "string too long", 11: "SPEED not positive",
    12: "move buffer full", 13: "axis disabled", 14: "request too long", 15: "bad mode",
}

# System errors that mean the link is gone (or was never there).
LINK_ERRNOS: FrozenSet[int] = frozenset({
    _errno.ECONNRESET, _errno.EPIPE, _errno.ECONNABORTED, _errno.ECONNREFUSED, _errno.ENOTCONN,
    _errno.ESHUTDOWN, _errno.EHOSTUNREACH, _errno.ENETUNREACH, _errno.ENETDOWN, _errno.EHOSTDOWN,
    _errno.EBADF,
})


def error_text(code: SupportsInt) -> str:
    """A one-line text for any result code, banded ones included.

    >>> error_text(0x400000004)
    'controller error 4: bad axis'
    """
    value = int(code)
    band, detail = value >> 32, value & 0xFFFF_FFFF
    if value == NO_ERROR:
        return "no error"
    if band == 1:
        return _API_TEXTS.get(detail, f"API error {detail}")
    if band == 2:
        return f"system error {detail}: {os.strerror(detail)}"
    if band == 4:
        text = CONTROLLER_TEXTS.get(detail & 0xFFFF)
        return f"controller error {detail}: {text}" if text else f"controller error {detail}"
    return f"unknown result code 0x{value:x}"


class HolvaneError(Exception):
    """Base of every error ``holvane`` raises; ``code`` is the result code (int)."""

    code: int

    def __init__(self, message: str, code: int = FAIL) -> None:
        super().__init__(message)
        self.code = int(code)


class ControllerError(HolvaneError):
    """The controller refused the request; ``number`` is its error number."""

    number: int

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message, code)
        self.number = int(code) & 0xFFFF


class HolvaneTimeoutError(HolvaneError, TimeoutError):
    """The controller did not answer in time (per wait, or the call's deadline)."""


class ConnectionLostError(HolvaneError, ConnectionError):
    """The link is closed, the controller's port is not open, or the peer reset it."""


class ProtocolError(HolvaneError):
    """The controller's replies or token table do not have the expected form,
    or its type or version is not supported."""


class UnsupportedError(HolvaneError):
    """An operation that the TCP connection does not carry out."""


_PROTOCOL_CODES = frozenset({TOKEN_TABLE, UNKNOWN_NUMBER_FORMAT, REMOTE_TOKEN_BUFFER, UNSUPPORTED_CONTROLLER,
                             BAD_RESPONSE})


def is_link_loss(code: int) -> bool:
    """Whether a code by itself says the link is gone."""
    return code >> 32 == 2 and (code & 0xFFFF_FFFF) in LINK_ERRNOS


def error_for(code: SupportsInt, what: str, connected: bool = True) -> HolvaneError:
    """The exception for a failed operation ``what`` (its name and arguments).

    ``connected`` is the link's state after the failure: ``Fail`` on a closed
    link means the request could not be sent at all.
    """
    value = int(code)
    message = f"{what}: {error_text(value)} (0x{value:x})"
    band = value >> 32
    if band == 4:
        return ControllerError(message, value)
    if value == TIMEOUT or (band == 2 and value & 0xFFFF_FFFF == _errno.ETIMEDOUT):
        return HolvaneTimeoutError(message, value)
    if is_link_loss(value) or value == CONNECTION_CONTEXT or (value == FAIL and not connected):
        if value == CONNECTION_CONTEXT:
            message = f"{what}: the controller is closed (0x{value:x})"
        elif value == FAIL:
            message = f"{what}: no link to the controller (0x{value:x})"
        return ConnectionLostError(message, value)
    if value in _PROTOCOL_CODES:
        return ProtocolError(message, value)
    return HolvaneError(message, value)
