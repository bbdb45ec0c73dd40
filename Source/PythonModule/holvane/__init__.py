"""holvane: a Pythonic client for the Holvane motion controller.

    import holvane

    with holvane.connect("127.0.0.1", 3240) as c:
        c.vr[10] = 12.5
        print(c.vr[10], c.vr[0:8])
        x = c.axis(0)
        x.move_abs(100.0)
        x.wait_idle(timeout=30)

Built on the low-level module API ``Vantrel_HolvaneAPI``, which stays
available for scripts written against it. Failures raise :class:`HolvaneError` subclasses; the
connection's events go to the ``logging`` logger ``"holvane"``.
Positions are in the axis's user units and times in seconds.
"""

import logging

import Vantrel_HolvaneAPI as _api

from ._sampler import MAX_RATE, Recorder, RecordingLostError
from .axes import Axis
from .batches import Batch, BatchResult
from .connecting import connect
from .controller import Controller
from .errors import (
    ConnectionLostError,
    ControllerError,
    HolvaneError,
    HolvaneTimeoutError,
    ProtocolError,
    UnsupportedError,
    error_text,
)
from .recording import Recording, RecordingStats, Spread
from .values import ControllerInfo, FileInfo
from .watch import Change, ChangeHandler, Watch

__version__: str = getattr(_api, "__version__", "1.0.0")
"""The project's version: the module's, which the build takes from the project (one source)."""

# Records reach the application's handlers once it configures logging; an
# application that does not is not written to by a library.
logging.getLogger("holvane").addHandler(logging.NullHandler())

__all__ = [
    "MAX_RATE",
    "Axis",
    "Batch",
    "BatchResult",
    "Change",
    "ChangeHandler",
    "ConnectionLostError",
    "Controller",
    "ControllerError",
    "ControllerInfo",
    "FileInfo",
    "HolvaneError",
    "HolvaneTimeoutError",
    "ProtocolError",
    "Recorder",
    "Recording",
    "RecordingLostError",
    "RecordingStats",
    "Spread",
    "UnsupportedError",
    "Watch",
    "__version__",
    "connect",
    "error_text",
]
