"""The exceptions of ``holvane`` and the one-line text of every result code.

Every failing operation raises a subclass of :class:`HolvaneError`; its
``code`` is the connection's result code as an int, banded as
``0x1_0000_00nn`` (API errors), ``0x2_0000_0000 | errno`` (system errors) and
``0x4_0000_0000 | n`` (controller error number ``n``).
"""

from __future__ import annotations

import errno as _errno
from typing import SupportsInt

import Vantrel_HolvaneAPI as _api

__all__ = [
    "ConnectionLostError",
    "ControllerError",
    "HolvaneError",
    "HolvaneTimeoutError",
    "ProtocolError",
    "UnsupportedError",
    "error_text",
]

_codes = _api.ErrorCode

NO_ERROR = int(_codes.NoError)
API_BAND = int(_codes.__ApiError)
SYSTEM_BAND = int(_codes.__SystemError)
CONTROLLER_BAND = int(_codes.__ControllerError)

FAIL = int(_codes.Fail)
CONNECTION_CONTEXT = int(_codes.ConnectionContext)
UNKNOWN_ATTRIB = int(_codes.ConnectionUnknownAttrib)
TOKEN_TABLE = int(_codes.TokenTable)
TIMEOUT = int(_codes.Timeout)
UNKNOWN_NUMBER_FORMAT = int(_codes.UnknownFloatingPointFormat)
REMOTE_TOKEN_BUFFER = int(_codes.Remote_TokenBuffer)
UNSUPPORTED_CONTROLLER = int(_codes.UnsupportedController)
BAD_RESPONSE = int(_codes.BadResponse)
BAD_ARGUMENT = int(_codes.BadArgument)

# System errors that mean the link is gone (or was never there).
LINK_ERRNOS: frozenset[int] = frozenset(
    {
        _errno.ECONNRESET,
        _errno.EPIPE,
        _errno.ECONNABORTED,
        _errno.ECONNREFUSED,
        _errno.ENOTCONN,
        _errno.ESHUTDOWN,
        _errno.EHOSTUNREACH,
        _errno.ENETUNREACH,
        _errno.ENETDOWN,
        _errno.EHOSTDOWN,
        _errno.EBADF,
    }
)


def error_text(code: SupportsInt) -> str:
    """A one-line text for any result code, banded ones included (the
    module's ``ErrorText``). A controller's error numbers mean what that
    controller says they mean, so they are given as numbers.

    >>> error_text(0x400000004)
    'controller error 4'
    """
    value = int(code)
    if not 0 <= value < 1 << 64:
        return f"unknown result code {value:#x}"
    return _api.ErrorText(value)


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


_PROTOCOL_CODES = frozenset(
    {TOKEN_TABLE, UNKNOWN_NUMBER_FORMAT, REMOTE_TOKEN_BUFFER, UNSUPPORTED_CONTROLLER, BAD_RESPONSE}
)


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
