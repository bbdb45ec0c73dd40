"""Numbers that mirror the connection's own limits and defaults, read from the
low-level module (the package ships with it) so that they cannot drift from
the C++ sources."""

from __future__ import annotations

import Vantrel_HolvaneAPI as _api


def _module_constant(name: str) -> int:
    return int(getattr(_api, name))


BATCH_LIMIT = _module_constant("BatchMaxItems")
"""Items one batch call carries; longer batches are sent in pieces this long."""

DEFAULT_TIMEOUT = _module_constant("DefaultReplyTimeoutMs") / 1000.0
"""Seconds to wait for the next bytes of a reply (TCP_Timeout)."""

DEFAULT_CONNECT_TIMEOUT = _module_constant("DefaultConnectTimeoutMs") / 1000.0
"""Seconds allowed for opening the socket (TCP_ConnectTimeout)."""

DEFAULT_KEEPALIVE = _module_constant("DefaultKeepAliveS")
"""Idle seconds before the link is probed (TCP_KeepAlive)."""

MAX_LIMIT = _module_constant("MaxLimitMs") / 1000.0
"""The longest time limit, in seconds, that the connection accepts."""

MAX_KEEPALIVE = _module_constant("MaxKeepAliveS")
"""The longest keepalive idle time, in seconds, that the connection accepts."""

INTERFACE_LEVEL = _module_constant("InterfaceLevel")
"""The plug-in interface level that the module was built with."""
