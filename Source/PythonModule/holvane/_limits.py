"""Numbers that mirror the connection's own limits and defaults, read from the
low-level module so that they cannot drift from the C++ sources. The fallbacks
serve only a module too old to carry the constants."""

from __future__ import annotations

import Vantrel_HolvaneAPI as _api


def _module_constant(name: str, fallback: int) -> int:
    value = getattr(_api, name, None)
    return fallback if value is None else int(value)


BATCH_LIMIT = _module_constant("BatchMaxItems", 4096)
"""Items one batch call carries; longer batches are sent in pieces this long."""

DEFAULT_TIMEOUT = _module_constant("DefaultReplyTimeoutMs", 10_000) / 1000.0
"""Seconds to wait for the next bytes of a reply (TCP_Timeout)."""

DEFAULT_CONNECT_TIMEOUT = _module_constant("DefaultConnectTimeoutMs", 5_000) / 1000.0
"""Seconds allowed for opening the socket (TCP_ConnectTimeout)."""

DEFAULT_KEEPALIVE = _module_constant("DefaultKeepAliveS", 10)
"""Idle seconds before the link is probed (TCP_KeepAlive)."""

MAX_LIMIT = _module_constant("MaxLimitMs", 3_600_000) / 1000.0
"""The longest time limit, in seconds, that the connection accepts."""

MAX_KEEPALIVE = _module_constant("MaxKeepAliveS", 3_600)
"""The longest keepalive idle time, in seconds, that the connection accepts."""

INTERFACE_LEVEL = _module_constant("InterfaceLevel", 2)
"""The plug-in interface level that the module was built with."""
