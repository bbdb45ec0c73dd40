"""asyncio access to a controller: :func:`connect` and :class:`AsyncController`.

Every operation runs on a worker thread of the controller's own pool (the
module releases the interpreter lock while it waits), so the event loop keeps
running and several coroutines may await operations on one controller at
once. Cancelling a coroutine returns control at once; an operation already
under way finishes in the background (within the connection's deadline) and
its result is dropped, disturbing no other operation, while one still waiting
for a worker is not sent at all.

    async with holvane.aio.connect("127.0.0.1") as c:
        a, b = await asyncio.gather(c.read_vr(1), c.read_param("DPOS", 0))
"""
from __future__ import annotations

import asyncio
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Awaitable, Callable, Generator, List, Optional, TypeVar

from .batches import Batch, BatchResult
from .connecting import connect as _connect_blocking
from .controller import Controller
from .values import ControllerInfo, FileInfo, Text
from .errors import TIMEOUT, HolvaneTimeoutError

__all__ = ["connect", "AsyncController", "AsyncAxis", "AsyncBatch"]

T = TypeVar("T")

DEFAULT_WORKERS = 8


class AsyncController:
    """A :class:`~holvane.Controller` whose operations are coroutines.

    Made by :func:`connect`. Use ``async with``, or ``await close()``.
    """

    def __init__(self, controller: Controller, workers: int = DEFAULT_WORKERS) -> None:
        self.sync = controller
        """The blocking controller underneath (for use from other threads)."""
        self._pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="holvane")

    def _run(self, call: Callable[..., T], *args: Any) -> "asyncio.Future[T]":
        return asyncio.get_running_loop().run_in_executor(self._pool, call, *args)

    async def __aenter__(self) -> "AsyncController":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    @property
    def connected(self) -> bool:
        """True while the link is open (a cheap check; does not block)."""
        return self.sync.connected

    async def close(self) -> None:
        """Disconnects (after the operations in flight) and stops the workers."""
        try:
            await self._run(self.sync.close)
        finally:
            self._pool.shutdown(wait=False)

    async def read_vr(self, index: int) -> float:
        """The value of VR ``index``."""
        return await self._run(self.sync.read_vr, index)

    async def write_vr(self, index: int, value: float) -> None:
        """Sets VR ``index``."""
        await self._run(self.sync.write_vr, index, value)

    async def read_vr_block(self, start: int, count: int) -> List[float]:
        """``count`` VR values from ``start``, in one request."""
        return await self._run(self.sync.read_vr_block, start, count)

    async def read_table(self, index: int) -> float:
        """The TABLE value at ``index``."""
        return await self._run(self.sync.read_table, index)

    async def read_table_block(self, start: int, count: int) -> List[float]:
        """``count`` TABLE values from ``start``, in one request."""
        return await self._run(self.sync.read_table_block, start, count)

    async def read_param(self, name: str, axis: int) -> float:
        """Axis parameter ``name`` of ``axis`` (user units)."""
        return await self._run(self.sync.read_param, name, axis)

    async def write_param(self, name: str, axis: int, value: float) -> None:
        """Sets axis parameter ``name`` of ``axis``."""
        await self._run(self.sync.write_param, name, axis, value)

    async def read_vr_string(self, index: int) -> str:
        """The text stored under VR ``index``."""
        return await self._run(self.sync.read_vr_string, index)

    async def write_vr_string(self, index: int, text: Text) -> None:
        """Stores ``text`` under VR ``index``."""
        await self._run(self.sync.write_vr_string, index, text)

    async def execute(self, line: Text) -> None:
        """Runs one line of the controller's language."""
        await self._run(self.sync.execute, line)

    async def ex(self, mode: int = 0) -> None:
        """EX."""
        await self._run(self.sync.ex, mode)

    async def files(self) -> List[FileInfo]:
        """The files stored on the controller."""
        return await self._run(self.sync.files)

    async def info(self) -> ControllerInfo:
        """Firmware version, controller type, number format and axis count."""
        return await self._run(self.sync.info)

    def axis(self, number: int) -> "AsyncAxis":
        """The axis ``number``."""
        return AsyncAxis(self, number)

    def batch(self) -> "AsyncBatch":
        """``async with c.batch() as b: ...``: collected items are sent as one
        batch when the block ends."""
        return AsyncBatch(self)


class AsyncBatch:
    """The asyncio form of :class:`~holvane.Batch`."""

    def __init__(self, controller: AsyncController) -> None:
        self._controller = controller
        self._batch = Batch(controller.sync)

    async def __aenter__(self) -> "AsyncBatch":
        return self

    async def __aexit__(self, exc_type: Any, *rest: object) -> None:
        if exc_type is None:
            await self._controller._run(self._batch.run)

    def read_vr(self, index: int) -> BatchResult:
        return self._batch.read_vr(index)

    def write_vr(self, index: int, value: float) -> BatchResult:
        return self._batch.write_vr(index, value)

    def read_table(self, index: int) -> BatchResult:
        return self._batch.read_table(index)

    def read_param(self, name: str, axis: int) -> BatchResult:
        return self._batch.read_param(name, axis)

    def write_param(self, name: str, axis: int, value: float) -> BatchResult:
        return self._batch.write_param(name, axis, value)


class AsyncAxis:
    """One axis; its readings are awaitables (``await axis.dpos``), its
    motions coroutines. Positions in user units, times in seconds."""

    __slots__ = ("_controller", "number")

    def __init__(self, controller: AsyncController, number: int) -> None:
        self._controller = controller
        self.number = number

    def _param(self, name: str) -> Awaitable[float]:
        return self._controller.read_param(name, self.number)

    @property
    def dpos(self) -> Awaitable[float]:
        """Demand position (read-only)."""
        return self._param("DPOS")

    @property
    def mpos(self) -> Awaitable[float]:
        """Measured position (read-only)."""
        return self._param("MPOS")

    @property
    def speed(self) -> Awaitable[float]:
        """Programmed speed, user units per second (set with :meth:`set_speed`)."""
        return self._param("SPEED")

    @property
    def idle(self) -> Awaitable[bool]:
        """True when no move is running or buffered."""
        return self._is_idle()

    async def _is_idle(self) -> bool:
        return await self._param("IDLE") != 0.0

    async def param(self, name: str) -> float:
        return await self._param(name)

    async def set_param(self, name: str, value: float) -> None:
        await self._controller.write_param(name, self.number, value)

    async def set_speed(self, value: float) -> None:
        await self.set_param("SPEED", value)

    def _sync_axis(self) -> Any:
        return self._controller.sync.axis(self.number)

    async def move_abs(self, position: float, *, sp: bool = False) -> None:
        await self._controller._run(lambda: self._sync_axis().move_abs(position, sp=sp))

    async def move_rel(self, distance: float, *, sp: bool = False) -> None:
        await self._controller._run(lambda: self._sync_axis().move_rel(distance, sp=sp))

    async def forward(self) -> None:
        await self._controller._run(self._sync_axis().forward)

    async def reverse(self) -> None:
        await self._controller._run(self._sync_axis().reverse)

    async def cancel(self, mode: int = 0) -> None:
        await self._controller._run(self._sync_axis().cancel, mode)

    async def datum(self, sequence: int = 0) -> None:
        await self._controller._run(self._sync_axis().datum, sequence)

    async def define_pos(self, position: float) -> None:
        await self._controller._run(self._sync_axis().define_pos, position)

    async def wait_idle(self, timeout: float = 60.0, poll: float = 0.01) -> None:
        """Waits (without holding a worker) until the axis is idle.

        :raises HolvaneTimeoutError: still moving after ``timeout`` seconds.
        """
        end = time.monotonic() + timeout
        while not await self._is_idle():
            if time.monotonic() >= end:
                raise HolvaneTimeoutError(
                    f"wait_idle({timeout!r}): axis {self.number} still moving after {timeout} s", TIMEOUT)
            await asyncio.sleep(poll)


class _Connecting:
    """What :func:`connect` returns: await it, or use it with ``async with``."""

    def __init__(self, call: Callable[[], Controller], workers: int) -> None:
        self._call, self._workers = call, workers
        self._controller: Optional[AsyncController] = None

    async def _open(self) -> AsyncController:
        loop = asyncio.get_running_loop()
        # Its own short-lived thread: the controller's pool does not exist yet.
        controller = await loop.run_in_executor(None, self._call)
        return AsyncController(controller, self._workers)

    def __await__(self) -> Generator[Any, None, AsyncController]:
        return self._open().__await__()

    async def __aenter__(self) -> AsyncController:
        self._controller = await self._open()
        return self._controller

    async def __aexit__(self, *exc: object) -> None:
        if self._controller is not None:
            await self._controller.close()


def connect(host: str = "127.0.0.1", port: int = 3240, *, timeout: float = 10.0,
            deadline: Optional[float] = 60.0, connect_timeout: float = 5.0, keepalive: int = 10,
            trace: bool = False, reconnect: bool = False, workers: int = DEFAULT_WORKERS) -> _Connecting:
    """Connects without blocking the event loop; arguments as
    :func:`holvane.connect`, plus ``workers``, the number of operations that
    may be under way at once. ``c = await connect(...)`` or
    ``async with connect(...) as c``."""
    return _Connecting(lambda: _connect_blocking(host, port, timeout=timeout, deadline=deadline,
                                                 connect_timeout=connect_timeout, keepalive=keepalive,
                                                 trace=trace, reconnect=reconnect), workers)
