"""Vantrel Holvane API: a networked motion controller from Python.

Every Connection method returns an ErrorCode, or a tuple whose first item is
one. Codes are banded: 0x1_0000_00nn API errors, 0x2_0000_0000 | errno system
errors, 0x4_0000_0000 | n controller error number n.
"""

from collections.abc import Callable, Sequence
from typing import TypeAlias, overload

import numpy
import numpy.typing
from typing_extensions import Self

_Bytes: TypeAlias = str | bytes
# One item of Connection.Batch, e.g. ("ReadVrValue", 10) or ("WriteAxisParam", "SPEED", 0, 100.0).
_BatchItem: TypeAlias = tuple[str | int | float, ...]

class ErrorCode:
    """Result of every operation; compares equal to plain integers."""

    NoError: ErrorCode
    __Unknown: ErrorCode
    __ApiError: ErrorCode
    Api_Unknown: ErrorCode
    Fail: ErrorCode
    ConnectionModule: ErrorCode
    ConnectionContext: ErrorCode
    ConnectionUnknownAttrib: ErrorCode
    ConnectionWrongAttribType: ErrorCode
    TokenTable: ErrorCode
    Timeout: ErrorCode
    UnknownFloatingPointFormat: ErrorCode
    Remote_TokenBuffer: ErrorCode
    Remote_UnknownToken: ErrorCode
    UnsupportedController: ErrorCode
    BadResponse: ErrorCode
    BadArgument: ErrorCode
    __ApiLast: ErrorCode
    __SystemError: ErrorCode
    Sys_Unknown: ErrorCode
    __ControllerError: ErrorCode
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class XferDestinations:
    RAM: XferDestinations
    FIFO: XferDestinations
    SD: XferDestinations
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class XferProtocol:
    Transparent: XferProtocol
    Ctrl2XX: XferProtocol
    Ctrl4XX: XferProtocol
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class XferDirection:
    ToCtrl: XferDirection
    FromCtrl: XferDirection
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class EventType:
    """Kind of a connection event; equal only to members of its own type."""

    Error: EventType
    WriteFail: EventType
    ReadFail: EventType
    Message: EventType
    Receive: EventType
    BufferOverrun: EventType
    ProgressCreate: EventType
    ProgressDestroy: EventType
    ProgressSetPos: EventType
    GetControllerKey: EventType
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class ConnectionType:
    """Kind of link; selects the plug-in library libVantrel_HolvaneApi-<type>-x64.so."""

    Unknown: ConnectionType
    TCP: ConnectionType
    UDP: ConnectionType
    RS232: ConnectionType
    QUENTA: ConnectionType
    ZELIK7: ConnectionType
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class ParamBlockType:
    AxisParam: ParamBlockType
    SystemParameters: ParamBlockType
    VR: ParamBlockType
    TABLE: ParamBlockType
    ProgramVariable: ParamBlockType
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class ControllerFileInfo:
    """One file stored on the controller, as listed by Connection.Dir()."""
    @property
    def name(self) -> str: ...
    @property
    def type(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def compiled_size(self) -> int: ...
    @property
    def autorun_process(self) -> int:
        """Process the program runs in at power-up; -1 when none."""
    @property
    def editable(self) -> bool: ...
    @property
    def autorun(self) -> bool: ...

EventHandler: TypeAlias = Callable[[EventType, int, str], object]

class Connection:
    """One connection context to one controller.

    Calls release the interpreter lock while they wait for the controller, so
    other threads run meanwhile, and several threads may share one Connection.
    Ctrl-C during a blocking call raises KeyboardInterrupt within about 20 ms
    (InterruptSliceMs; the call is abandoned and the link closes if its
    request was written). Time limits are the integer attributes TCP_Timeout,
    TCP_ConnectTimeout, TCP_Deadline and TCP_KeepAlive (see WriteIntAttribute).
    Leaving a `with` block or dropping the object releases the context.
    """
    def __init__(self) -> None:
        """A connection without a context; CreateContext gives it one."""
    def __enter__(self) -> Self:
        """Returns the connection itself."""
    def __exit__(self, *args: object) -> None:
        """Releases the context (as DestroyContext); exceptions propagate."""

    def CreateContext(self, type: ConnectionType) -> ErrorCode:
        """Loads the plug-in for the connection type (the loader's search path, then the module's own folder) and
        creates a context. ConnectionContext if one exists, ConnectionModule if the plug-in cannot be loaded."""
    def DestroyContext(self) -> ErrorCode:
        """Disconnects if connected, waits for calls in flight and releases the context. Returns NoError or the
        Disconnect code."""
    def Connect(self) -> ErrorCode:
        """Connects to TCP_HostName:TCP_Port (default port 3240) within TCP_ConnectTimeout (default 5000 ms); the
        whole sequence within TCP_Deadline when one is set. Calls made on other threads meanwhile wait for it. Why
        it failed, or why a link was lost, is the attribute LinkLossCause."""
    def Disconnect(self) -> ErrorCode:
        """Closes the link to the controller; calls still waiting for a reply return the ECONNABORTED code."""

    def WriteStringAttribute(self, attrib_name: str, value: _Bytes) -> ErrorCode:
        """Sets a string attribute, e.g. TCP_HostName."""
    def WriteIntAttribute(self, attrib_name: str, value: int) -> ErrorCode:
        """Sets an integer attribute: TCP_Port (0..65535); TCP_Trace (1 prints the hexadecimal trace on stdout, 0
        silences it, 2 hands each line to the event handler as a Message event); TCP_Timeout (ms, default 10000:
        longest wait for the next bytes of a reply); TCP_ConnectTimeout (ms, default 5000); TCP_Deadline (ms,
        default 0 = none: longest one call may take, queueing included; a call past it returns Timeout and
        closes the link); TCP_KeepAlive (s, default 10, 0 = off); TCP_NoDelay (-1 default, 0, 1). BadArgument,
        value kept, outside the range (limits 0/1..3600000 ms, keepalive 0..3600 s). Read-only: ControllerType
        (int), ControllerVersion and ControllerNumberFormat (str), as the last Connect learnt them, and
        LinkLossCause (str)."""
    @overload
    def ReadStringAttribute(self, attrib_name: str, value: str) -> ErrorCode:
        """Placeholder form: the value is read and dropped."""
    @overload
    def ReadStringAttribute(self, attrib_name: str) -> tuple[ErrorCode, str]:
        """Reads a string attribute: (ErrorCode, str). LinkLossCause says why the link was lost or the last Connect
        failed, with the time; it is empty while the link is up and before any loss."""
    @overload
    def ReadIntAttribute(self, attrib_name: str, value: int) -> ErrorCode:
        """Placeholder form: the value is read and dropped."""
    @overload
    def ReadIntAttribute(self, attrib_name: str) -> tuple[ErrorCode, int]:
        """Reads an integer attribute: (ErrorCode, int)."""

    @overload
    def Ex(self) -> ErrorCode:
        """EX with mode 0."""
    @overload
    def Ex(self, mode: int) -> ErrorCode:
        """EX with a mode."""
    @overload
    def Cancel(self, mode: int) -> ErrorCode:
        """CANCEL without an axis modifier."""
    @overload
    def Cancel(self, mode: int, axis: int) -> ErrorCode:
        """CANCEL on an axis."""
    def Execute(self, command: _Bytes) -> ErrorCode:
        """Runs one line of the controller's language."""
    def SetAxisBase(self, axis: int) -> ErrorCode:
        """Sets the base axis."""
    @overload
    def SetMultiAxisBase(self, axis: int, count: int) -> ErrorCode:
        """A single axis backs a count of 0 or 1; a larger count is BadArgument."""
    @overload
    def SetMultiAxisBase(self, axes: Sequence[int], count: int) -> ErrorCode:
        """Sets the first `count` axes as base axes; fewer than `count` is BadArgument."""
    def Datum(self, sequence: int, axis: int) -> ErrorCode:
        """DATUM with a sequence number on an axis."""

    @overload
    def DefPos(self, pos: float, axis: int) -> ErrorCode:
        """DEFPOS of one axis."""
    @overload
    def DefPos(self, positions: Sequence[float]) -> ErrorCode:
        """DEFPOS of the base axes, one value each, no axis modifier."""
    def Forward(self, axis: int) -> ErrorCode:
        """FORWARD on an axis; a negative axis sends no axis modifier."""
    def Reverse(self, axis: int) -> ErrorCode:
        """REVERSE on an axis; a negative axis sends no axis modifier."""
    @overload
    def MoveRel(self, pos: float, axis: int) -> ErrorCode:
        """MOVE of one axis."""
    @overload
    def MoveRel(self, positions: Sequence[float]) -> ErrorCode:
        """MOVE of the base axes, one distance each."""
    @overload
    def MoveRelSp(self, pos: float, axis: int) -> ErrorCode:
        """MOVESP of one axis."""
    @overload
    def MoveRelSp(self, positions: Sequence[float]) -> ErrorCode:
        """MOVESP of the base axes, one distance each."""
    @overload
    def MoveAbs(self, pos: float, axis: int) -> ErrorCode:
        """MOVEABS of one axis."""
    @overload
    def MoveAbs(self, positions: Sequence[float]) -> ErrorCode:
        """MOVEABS of the base axes, one position each."""
    @overload
    def MoveAbsSp(self, pos: float, axis: int) -> ErrorCode:
        """MOVEABSSP of one axis."""
    @overload
    def MoveAbsSp(self, positions: Sequence[float]) -> ErrorCode:
        """MOVEABSSP of the base axes, one position each."""

    def WriteTableValue(self, index: int, value: float) -> ErrorCode:
        """Writing TABLE values is not carried out over TCP: the TCP plug-in returns Fail."""
    @overload
    def WriteMultiTableValues(self, start_index: int, count: int, value: float) -> ErrorCode:
        """A single value backs a count of 0 or 1; not carried out over TCP (Fail)."""
    @overload
    def WriteMultiTableValues(self, start_index: int, count: int, values: Sequence[float]) -> ErrorCode:
        """The first `count` values; not carried out over TCP (Fail)."""
    @overload
    def ReadTableValue(self, index: int, value: float) -> ErrorCode:
        """Placeholder form: the value is read and dropped."""
    @overload
    def ReadTableValue(self, index: int) -> tuple[ErrorCode, float]:
        """Reads one TABLE value: (ErrorCode, float)."""
    @overload
    def ReadMultiTableValues(self, start_index: int, count: int, value: float) -> ErrorCode:
        """Placeholder form: a count of 0 or 1, the value is read and dropped."""
    @overload
    def ReadMultiTableValues(self, start_index: int, count: int, values: list[float]) -> ErrorCode:
        """Fills the first `count` items of the list when the read succeeds."""
    @overload
    def ReadMultiTableValues(self, start_index: int, count: int) -> tuple[ErrorCode, list[float]]:
        """Reads TABLE values: (ErrorCode, list of float), the list empty unless the code is NoError."""

    def WriteVrValue(self, index: int, value: float) -> ErrorCode:
        """Writes one VR value."""
    @overload
    def WriteMultiVrValues(self, start_index: int, count: int, value: float) -> ErrorCode:
        """A single value backs a count of 0 or 1; not carried out over TCP (Fail)."""
    @overload
    def WriteMultiVrValues(self, start_index: int, count: int, values: Sequence[float]) -> ErrorCode:
        """The first `count` values; not carried out over TCP (Fail)."""
    @overload
    def ReadVrValue(self, index: int, value: float) -> ErrorCode:
        """Placeholder form: the value is read and dropped."""
    @overload
    def ReadVrValue(self, index: int) -> tuple[ErrorCode, float]:
        """Reads one VR value: (ErrorCode, float)."""
    @overload
    def ReadMultiVrValues(self, start_index: int, count: int, value: float) -> ErrorCode:
        """Placeholder form: a count of 0 or 1, the value is read and dropped."""
    @overload
    def ReadMultiVrValues(self, start_index: int, count: int, values: list[float]) -> ErrorCode:
        """Fills the first `count` items of the list when the read succeeds."""
    @overload
    def ReadMultiVrValues(self, start_index: int, count: int) -> tuple[ErrorCode, list[float]]:
        """Reads VR values: (ErrorCode, list of float), the list empty unless the code is NoError."""

    def WriteAxisParam(self, param_name: str, axis: int, value: float) -> ErrorCode:
        """Writes any axis parameter the controller's token table knows, e.g. SPEED."""
    @overload
    def ReadAxisParam(self, param_name: str, axis: int, result: float) -> ErrorCode:
        """Placeholder form: the value is read and dropped."""
    @overload
    def ReadAxisParam(self, param_name: str, axis: int) -> tuple[ErrorCode, float]:
        """Reads a named axis parameter, e.g. DPOS, MPOS, SPEED: (ErrorCode, float)."""
    def InvertIN(self, input: int, invert: bool) -> ErrorCode:
        """Switches the inversion of a digital input."""

    def IsConnected(self) -> bool:
        """True while the link to the controller is open: false as soon as the controller has closed its end or
        the socket failed, even when idle. Cheap enough for a polling loop (takes no bytes)."""

    def Batch(self, items: Sequence[_BatchItem]) -> tuple[ErrorCode, list[tuple[ErrorCode, float | None]]]:
        """Many requests in one round trip. Each item is a tuple naming the
        method it stands for, with that method's arguments:

            ("ReadVrValue", index)           ("WriteVrValue", index, value)
            ("ReadTableValue", index)        ("ReadAxisParam", name, axis)
            ("WriteAxisParam", name, axis, value)

        All requests are written before the first reply is awaited, so the
        batch costs about one round trip however many items it has (up to
        4096 (BatchMaxItems) with the TCP plug-in; more gives BadArgument and
        nothing is sent). Items run in order on the controller, and a
        controller error on one item does not stop the others.

        Returns (code, results): one (ErrorCode, value) per item, value None
        for writes; code is NoError when every item succeeded, else the first
        failing item's code. If the link is lost midway, the items not yet
        answered carry that failure. TCP_Deadline bounds the batch as a
        whole, from the call to the last reply. A malformed item raises TypeError or
        ValueError naming its position, before anything is sent. A plug-in
        built before Batch existed gives Fail. The interpreter lock is
        released while the batch runs.

        Example:
            code, results = c.Batch([("ReadAxisParam", "DPOS", a) for a in range(16)])
        """

    def Dir(self) -> tuple[ErrorCode, list[ControllerFileInfo]]:
        """The controller's files: (ErrorCode, list of ControllerFileInfo). Entries that cannot be read are
        skipped (BadResponse) and the others still returned."""
    def WriteVrString(self, vr: int, text: _Bytes) -> ErrorCode:
        """Stores a text (as UTF-8) under a VR number."""
    def ReadVrString(self, vr: int) -> tuple[ErrorCode, str]:
        """The text under a VR number: (ErrorCode, str). Bytes that are not UTF-8 come back as surrogate escapes
        (s.encode('utf-8', 'surrogateescape') restores them)."""

    def SetEventHandler(self, handler: EventHandler | None) -> None:
        """Calls handler(EventType, code, text) for the connection's events, from whichever thread raised them;
        None stops. Exceptions raised by the handler are reported through sys.unraisablehook. The handler may
        run on the connection's reader thread: methods of the same Connection called from inside it return
        Fail at once instead of waiting for that thread (other connections may be used)."""

def ErrorText(code: int) -> str:
    """The one-line text of any result code (an ErrorCode or an int): API codes by name, system codes as
    "system error N: <text>", controller codes as "controller error N" (what N means is the controller's),
    anything else as "unknown result code 0x..."."""

# Defaults and ranges of the TCP plug-in's time limits (attributes TCP_Timeout, TCP_ConnectTimeout,
# TCP_Deadline, TCP_KeepAlive), how often a waiting call notices Ctrl-C, the most items of one Batch, and the
# interface level of the module (the plug-in's own is its read-only attribute InterfaceLevel).
DefaultReplyTimeoutMs: int
DefaultConnectTimeoutMs: int
DefaultDeadlineMs: int
DefaultKeepAliveS: int
MaxLimitMs: int
MaxKeepAliveS: int
InterruptSliceMs: int
BatchMaxItems: int
InterfaceLevel: int
__version__: str

# A block of samples: seq, t, sent, received, values[n, channels], missed, overflow, errors per channel.
_Int64Array: TypeAlias = numpy.typing.NDArray[numpy.int64]
_Float64Array: TypeAlias = numpy.typing.NDArray[numpy.float64]
_SampleBlock: TypeAlias = tuple[
    _Int64Array, _Float64Array, _Float64Array, _Float64Array, _Float64Array, int, int, list[int]
]

class Sampler:
    """Periodic sampling of channels on a Connection, on a thread of its own.

    Each tick of an absolute schedule (tick n at start + n / rate on the monotonic clock) sends one read of
    every channel as one pipelined exchange; up to in_flight_bound samples are outstanding at once, so the
    rate does not depend on the round trip. Completed samples wait in a bounded buffer for Read(). A tick that
    cannot be sent within its own period is missed (a gap in the sequence numbers), a controller error gives
    NaN for that channel, a full buffer counts overflow, and a lost link ends the run (state 'lost'; Start()
    resumes once the link is back). The interpreter lock is never held while sampling."""

    MaxRate: float
    InFlightSeconds: float
    MaxInFlight: int
    MinInFlight: int
    MaxRequestsInFlight: int
    MaxChannels: int
    BufferSeconds: float

    def __init__(
        self,
        connection: Connection,
        items: Sequence[_BatchItem],
        rate: float,
        samples: int = 0,
        max_in_flight: int = 0,
        buffer: int = 0,
        min_vr_block: int = 0,
        min_table_block: int = 2,
        realtime: bool = False,
    ) -> None:
        """items: one read per channel, as Batch items: ("ReadAxisParam", name, axis), ("ReadVrValue", index) or
        ("ReadTableValue", index). rate: Hz, above 0 and at most MaxRate. samples: ticks to run (0: until
        Stop). max_in_flight: samples outstanding at most (1..MaxInFlight; 0: enough for InFlightSeconds of
        samples). buffer: samples held for Read (0:
        BufferSeconds worth). min_vr_block, min_table_block: runs of at least this many consecutive VR (TABLE) indices
        are read as one block request (0: never). realtime: run the sampling thread at SCHED_FIFO priority
        where the process may (see realtime_granted). Raises ValueError or TypeError for unusable arguments;
        nothing is sent."""
    def Check(self) -> tuple[ErrorCode, list[ErrorCode]]:
        """Checks every channel against the controller's token table without sending anything: (code, [code per
        channel]). Fail when the plug-in cannot check without sending (InterfaceLevel below 3)."""
    def Start(self) -> ErrorCode:
        """Starts sampling, or resumes after the link was lost and has been reconnected (the schedule goes on;
        the ticks in between are missed); returns once the sampling thread runs, tick 0 being when it first
        did. ConnectionContext without a context; Fail when already running or ended, or when the plug-in has
        no Batch (InterfaceLevel 1)."""
    def Stop(self) -> None:
        """Stops sampling and waits for the samples in flight; what was sampled stays readable."""
    def Read(self, max_samples: int = 65536, timeout: float = 1.0, min_samples: int = 1) -> _SampleBlock:
        """Waits up to `timeout` seconds for at least `min_samples` samples (less when the run ends), then takes
        up to `max_samples`: (seq int64[n], t, sent, received float64[n] seconds since tick 0, values
        float64[n, channels], missed, overflow, [errors per channel]); the counts are those since the last
        Read. A signal during the wait (Ctrl-C) raises before anything is taken: the samples stay for the
        next Read. Needs numpy."""
    @property
    def state(self) -> str:
        """'idle', 'running', 'finished', 'lost', 'stopped' or 'failed'."""
    @property
    def end_code(self) -> ErrorCode:
        """Why the run is 'lost' or 'failed' (NoError otherwise)."""
    @property
    def end_cause(self) -> str:
        """The connection's LinkLossCause when the link was lost (empty when it gives none)."""
    @property
    def start_ns(self) -> int:
        """Tick 0 on CLOCK_MONOTONIC, nanoseconds (0 before Start)."""
    @property
    def start_utc(self) -> float:
        """Tick 0 on the wall clock, seconds since the epoch (UTC)."""
    @property
    def in_flight_bound(self) -> int:
        """Samples outstanding at most in this run."""
    @property
    def max_in_flight(self) -> int:
        """The most samples that were outstanding at once."""
    @property
    def requests_per_sample(self) -> int:
        """Requests one sample writes (after folding runs into block reads)."""
    @property
    def block_reads(self) -> int:
        """Block requests among them."""
    @property
    def realtime_granted(self) -> bool:
        """Whether the sampling thread runs at real-time priority (asked for with realtime=True)."""
    @property
    def buffer_capacity(self) -> int:
        """Samples the buffer holds."""
