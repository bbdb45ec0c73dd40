"""Arguments checked where the caller writes them, before anything is sent.

A wrong kind raises ``TypeError``, an index or axis out of range
``IndexError``, any other unusable value ``ValueError``; each names the
operation and the argument. The module's own checks would otherwise answer
with its overload list or a bare ``BadArgument``.
"""

from __future__ import annotations

import ipaddress
import math
from typing import Any

U32_MAX = 0xFFFF_FFFF
I32_MAX = 0x7FFF_FFFF


def _integer(what: str, name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what}: {name} must be an int, not {type(value).__name__}")
    return value


def index(what: str, name: str, value: Any) -> int:
    """A VR or TABLE number (or another unsigned 32-bit number)."""
    number = _integer(what, name, value)
    if not 0 <= number <= U32_MAX:
        raise IndexError(f"{what}: {name} must be 0 to {U32_MAX}, not {number}")
    return number


def span(what: str, start: Any, count: Any) -> tuple[int, int]:
    """The start and count of a block read."""
    first = index(what, "start", start)
    number = _integer(what, "count", count)
    if number < 0:
        raise ValueError(f"{what}: count must not be negative, not {number}")
    if first + number - 1 > U32_MAX:
        raise IndexError(f"{what}: the block ends beyond {U32_MAX}")
    return first, number


def axis(what: str, value: Any, known_count: int | None) -> int:
    """An axis number; beyond the controller's axes once their count is known."""
    number = _integer(what, "axis", value)
    if number < 0:
        raise IndexError(f"{what}: axis must not be negative, not {number}")
    if number > I32_MAX:
        raise IndexError(f"{what}: axis must be at most {I32_MAX}, not {number}")
    if known_count is not None and number >= known_count:
        raise IndexError(
            f"{what}: axis {number} is beyond the controller's {known_count} axes (0 to {known_count - 1})"
        )
    return number


def small(what: str, name: str, value: Any, low: int = 0, high: int = I32_MAX) -> int:
    """A mode, a sequence number or another small integer in ``low..high``."""
    number = _integer(what, name, value)
    if not low <= number <= high:
        raise ValueError(f"{what}: {name} must be {low} to {high}, not {number}")
    return number


def number(what: str, name: str, value: Any, allow_nonfinite: bool) -> float:
    """A value to send: a real number, finite unless the caller allowed otherwise."""
    if isinstance(value, str) or (not isinstance(value, (int, float)) and not hasattr(value, "__float__")):
        raise TypeError(f"{what}: {name} must be a number, not {type(value).__name__}")
    try:
        converted = float(value)
    except (OverflowError, ValueError) as error:
        raise ValueError(f"{what}: {name} {value!r} is not a usable number ({error})") from None
    if not allow_nonfinite and not math.isfinite(converted):
        raise ValueError(
            f"{what}: {name} {converted!r} is not finite; connect with allow_nonfinite=True to send such values"
        )
    return converted


def name(what: str, argument: str, value: Any) -> str:
    """A parameter name: a non-empty text without NUL characters."""
    if not isinstance(value, str):
        raise TypeError(f"{what}: {argument} must be a str, not {type(value).__name__}")
    if not value or "\0" in value:
        raise ValueError(f"{what}: {argument} must be a name, not {value!r}")
    return value


def text(what: str, argument: str, value: Any) -> str | bytes:
    """A line or a string to send: ``str`` (sent as UTF-8) or ``bytes`` as they are."""
    if isinstance(value, bytearray):
        return bytes(value)
    if not isinstance(value, (str, bytes)):
        raise TypeError(f"{what}: {argument} must be str or bytes, not {type(value).__name__}")
    return value


def host(value: Any) -> str:
    """A controller's address or host name (IPv4 only)."""
    if not isinstance(value, str):
        raise TypeError(f"host must be a str, not {type(value).__name__}")
    if not value.strip():
        raise ValueError("host must not be empty")
    try:
        address = ipaddress.ip_address(value.strip("[]"))
    except ValueError:
        return value
    if address.version == 6:
        raise ValueError(f"IPv6 addresses are not supported ({value!r})")
    return value


def port(value: Any) -> int:
    """A TCP port."""
    number = _integer("connect", "port", value)
    if not 1 <= number <= 65535:
        raise ValueError(f"port must be 1 to 65535, not {number}")
    return number


def seconds(name: str, value: Any, maximum: float, allow_zero: bool) -> float:
    """A time limit in seconds, positive (or zero where that means none) and at most ``maximum``."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    low_ok = value >= 0 if allow_zero else value > 0
    if not (low_ok and value <= maximum):  # NaN fails both
        bound = "non-negative" if allow_zero else "positive"
        raise ValueError(f"{name} must be a {bound} number of seconds up to {maximum:g}, not {value!r}")
    return float(value)
