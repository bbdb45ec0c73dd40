"""holvane: a Pythonic client for the Holvane motion controller.

    import holvane

    with holvane.connect("127.0.0.1", 3240) as c:
        c.vr[10] = 12.5
        print(c.vr[10], c.vr[0:8])
        x = c.axis(0)
        x.move_abs(100.0)
        x.wait_idle(timeout=30)

Built on the module ``Vantrel_HolvaneAPI`` (which stays available as the
specified interface). Failures raise :class:`HolvaneError` subclasses; the
connection's events go to the ``logging`` logger ``"holvane"``.
Positions are in the axis's user units and times in seconds.
"""
import logging

from .axes import Axis
from .batches import Batch, BatchResult
from .connecting import connect
from .controller import Controller
from .values import ControllerInfo, FileInfo
from .errors import (ConnectionLostError, ControllerError, HolvaneError, HolvaneTimeoutError, ProtocolError,
                     UnsupportedError, error_text)

__version__ = "1.0.0"

# Records reach the application's handlers once it configures logging; an
# application that does not is not written to by a library.
logging.getLogger("holvane").addHandler(logging.NullHandler())

__all__ = [
    "connect", "Controller", "Axis", "Batch", "BatchResult", "ControllerInfo", "FileInfo",
    "HolvaneError", "ControllerError", "HolvaneTimeoutError", "ConnectionLostError", "ProtocolError",
    "UnsupportedError", "error_text", "__version__",
]
