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
import functools
import inspect
import time
from collections.abc import Awaitable, Callable, Coroutine, Generator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Concatenate, ParamSpec, Protocol, TypeVar

from ._limits import DEFAULT_CONNECT_TIMEOUT, DEFAULT_KEEPALIVE, DEFAULT_TIMEOUT
from ._sampler import (
    AsyncRecorder,
    joined,
    keeping_on_loss,
    whole_recorder,
)
from .axes import Axis
from .batches import BatchItems, run_batch
from .connecting import _POLICY, DEFAULT_DEADLINE
from .connecting import connect as _connect_blocking
from .controller import Controller
from .errors import TIMEOUT, HolvaneTimeoutError
from .recording import Recording
from .watch import AsyncWatch

if TYPE_CHECKING:
    from typing_extensions import Self


__all__ = ["AsyncAxis", "AsyncBatch", "AsyncController", "connect"]

P = ParamSpec("P")
T = TypeVar("T")
S = TypeVar("S")
R = TypeVar("R")

DEFAULT_WORKERS = 8


class _Face(Protocol):
    """An asyncio face over a blocking object ``sync``."""

    @property
    def sync(self) -> Any: ...

    def _call(self, function: Callable[[], T]) -> asyncio.Future[T]: ...


def _face_of(method: Callable[..., Any], coroutine: Callable[..., Any]) -> None:
    """Gives ``coroutine`` the name, doc string and arguments of the blocking
    ``method``, its result wrapped in a coroutine, so ``help()`` and type
    checkers see the same operation."""
    signature = inspect.signature(method)
    returns = signature.return_annotation
    coroutine.__signature__ = signature.replace(  # type: ignore[attr-defined]
        return_annotation=f"Coroutine[Any, Any, {returns if isinstance(returns, str) else returns.__name__}]"
    )
    coroutine.__name__, coroutine.__qualname__ = method.__name__, method.__qualname__
    coroutine.__doc__ = method.__doc__


def _on_worker(method: Callable[Concatenate[Any, P], T]) -> Callable[Concatenate[_Face, P], Coroutine[Any, Any, T]]:
    """The coroutine form of a blocking method: it runs on a worker thread,
    with the blocking object ``self.sync``. Name, doc string and arguments are
    the blocking method's, so ``help()`` and type checkers see them."""

    async def on_worker(self: _Face, /, *args: P.args, **kwargs: P.kwargs) -> T:
        return await self._call(functools.partial(method, self.sync, *args, **kwargs))

    _face_of(method, on_worker)
    return on_worker


def _wrapping(
    method: Callable[Concatenate[Any, P], S],
    face: Callable[[S, Callable[[Callable[[], Any]], asyncio.Future[Any]]], R],
    doc: str,
) -> Callable[Concatenate[_Face, P], R]:
    """The asyncio form of a blocking method that makes an object without
    blocking (a recorder, a watch): the same arguments, its result given to
    ``face`` with the worker pool's call."""

    def wrapping(self: _Face, /, *args: P.args, **kwargs: P.kwargs) -> R:
        return face(method(self.sync, *args, **kwargs), self._call)

    wrapping.__signature__ = inspect.signature(method).replace(  # type: ignore[attr-defined]
        return_annotation=getattr(face, "__name__", "Any")
    )
    wrapping.__name__, wrapping.__qualname__, wrapping.__doc__ = method.__name__, method.__qualname__, doc
    return wrapping


class AsyncController:
    """A :class:`~holvane.Controller` whose operations are coroutines.

    Made by :func:`connect`. Use ``async with``, or ``await close()``.
    """

    def __init__(self, controller: Controller, workers: int = DEFAULT_WORKERS) -> None:
        self._sync = controller
        self._pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="holvane")

    @property
    def sync(self) -> Controller:
        """The blocking controller underneath (for use from other threads)."""
        return self._sync

    def _call(self, function: Callable[[], T]) -> asyncio.Future[T]:
        return asyncio.get_running_loop().run_in_executor(self._pool, function)

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    def __repr__(self) -> str:
        return f"<holvane.aio.AsyncController {self.sync.host}:{self.sync.port}>"

    @property
    def connected(self) -> bool:
        """True while the link is open (a cheap check; does not block)."""
        return self.sync.connected

    async def close(self) -> None:
        """Disconnects (after the operations in flight) and stops the workers."""
        try:
            await self._call(self.sync.close)
        finally:
            self._pool.shutdown(wait=False)

    read_vr = _on_worker(Controller.read_vr)
    write_vr = _on_worker(Controller.write_vr)
    read_vr_block = _on_worker(Controller.read_vr_block)
    read_table = _on_worker(Controller.read_table)
    read_table_block = _on_worker(Controller.read_table_block)
    write_table = _on_worker(Controller.write_table)
    read_param = _on_worker(Controller.read_param)
    write_param = _on_worker(Controller.write_param)
    read_vr_string = _on_worker(Controller.read_vr_string)
    write_vr_string = _on_worker(Controller.write_vr_string)
    execute = _on_worker(Controller.execute)
    ex = _on_worker(Controller.ex)
    invert_input = _on_worker(Controller.invert_input)
    files = _on_worker(Controller.files)
    info = _on_worker(Controller.info)
    axis_count = _on_worker(Controller.axis_count)

    def axis(self, number: int) -> AsyncAxis:
        """The axis ``number`` (from 0)."""
        return AsyncAxis(self, number)

    on_change = _on_worker(Controller.on_change)

    async def record(
        self,
        channels: str | Sequence[str],
        rate: float,
        seconds: float,
        *,
        reconnect: bool | None = None,
        in_flight: int | None = None,
        realtime: bool = False,
    ) -> Recording:
        # Block by block, so that cancelling the coroutine ends the recording.
        recorder = AsyncRecorder(
            whole_recorder(
                self.sync, channels, rate, seconds, reconnect=reconnect, in_flight=in_flight, realtime=realtime
            ),
            self._call,
        )
        blocks: list[Recording] = []
        async with recorder:
            with keeping_on_loss(recorder.sync, blocks):
                # One by one, not a comprehension: a lost link must find the
                # blocks already taken in ``blocks``.
                async for block in recorder:
                    blocks.append(block)  # noqa: PERF401
        return joined(recorder.sync, blocks)

    _face_of(Controller.record, record)

    recorder = _wrapping(
        Controller.recorder,
        AsyncRecorder,
        """An open-ended recording as an async iterator of
        :class:`~holvane.Recording` blocks: ``async with c.recorder(["DPOS(0)"],
        1000) as r: async for block in r: ...`` (arguments as for
        :meth:`~holvane.Controller.recorder`). Leaving the block stops it.

        :raises ValueError: as for :meth:`~holvane.Controller.record`; nothing is sent.
        """,
    )

    watch = _wrapping(
        Controller.watch,
        AsyncWatch,
        """Changes as an async iterator: ``async with c.watch(["VR(1)"], 0.1)
        as w: async for change in w: ...`` (arguments as for
        :meth:`~holvane.Controller.watch`). Leaving the block stops it.

        :raises ValueError: as for :meth:`~holvane.Controller.record`; nothing is sent.
        """,
    )

    def batch(self) -> AsyncBatch:
        """``async with c.batch() as b: ...``: collected items are sent as one
        batch when the block ends."""
        return AsyncBatch(self)


class AsyncBatch(BatchItems):
    """The asyncio form of :class:`~holvane.Batch`: the same items, sent when
    the ``async with`` block ends (nothing is sent if the block raises)."""

    def __init__(self, controller: AsyncController) -> None:
        super().__init__(controller.sync)
        self._async = controller

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: object, *rest: object) -> None:
        if exc_type is None:
            await self.run()

    async def run(self) -> None:
        """Sends what was collected (done by the end of the ``async with`` block)."""
        items, results = self._take()
        await self._async._call(functools.partial(run_batch, self._controller, items, results))


class AsyncAxis:
    """One axis; its readings are awaitables (``await axis.dpos``), its
    motions coroutines. Positions in user units, times in seconds."""

    __slots__ = ("_controller", "number", "sync")

    def __init__(self, controller: AsyncController, number: int) -> None:
        self._controller = controller
        self.number = number
        self.sync = controller.sync.axis(number)
        """The blocking :class:`~holvane.Axis` underneath."""

    def _call(self, function: Callable[[], T]) -> asyncio.Future[T]:
        return self._controller._call(function)

    def __repr__(self) -> str:
        return f"<holvane.aio.AsyncAxis {self.number}>"

    @property
    def dpos(self) -> Awaitable[float]:
        """Demand position (read-only)."""
        return self.param("DPOS")

    @property
    def mpos(self) -> Awaitable[float]:
        """Measured position (read-only)."""
        return self.param("MPOS")

    @property
    def speed(self) -> Awaitable[float]:
        """Programmed speed, user units per second (set with :meth:`set_speed`)."""
        return self.param("SPEED")

    @property
    def idle(self) -> Awaitable[bool]:
        """True when no move is running or buffered."""
        return self._is_idle()

    async def _is_idle(self) -> bool:
        return await self.param("IDLE") != 0.0

    async def set_speed(self, value: float) -> None:
        """Sets the programmed speed of moves."""
        await self.set_param("SPEED", value)

    param = _on_worker(Axis.param)
    set_param = _on_worker(Axis.set_param)
    move_abs = _on_worker(Axis.move_abs)
    move_rel = _on_worker(Axis.move_rel)
    forward = _on_worker(Axis.forward)
    reverse = _on_worker(Axis.reverse)
    cancel = _on_worker(Axis.cancel)
    datum = _on_worker(Axis.datum)
    define_pos = _on_worker(Axis.define_pos)

    async def wait_idle(self, timeout: float = 60.0, poll: float = 0.01) -> None:
        """Waits (without holding a worker) until the axis is idle.

        :raises HolvaneTimeoutError: still moving after ``timeout`` seconds.
        """
        end = time.monotonic() + timeout
        while not await self._is_idle():
            if time.monotonic() >= end:
                raise HolvaneTimeoutError(
                    f"wait_idle({timeout!r}): axis {self.number} still moving after {timeout} s", TIMEOUT
                )
            await asyncio.sleep(poll)


class _Connecting:
    """What :func:`connect` returns: await it, or use it with ``async with``."""

    def __init__(self, call: Callable[[], Controller], workers: int) -> None:
        self._call, self._workers = call, workers
        self._controller: AsyncController | None = None

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


def connect(
    host: str = "127.0.0.1",
    port: int = 3240,
    *,
    timeout: float = DEFAULT_TIMEOUT,
    deadline: float | None = DEFAULT_DEADLINE,
    connect_timeout: float = DEFAULT_CONNECT_TIMEOUT,
    keepalive: int = DEFAULT_KEEPALIVE,
    nodelay: bool | None = None,
    trace: bool = False,
    reconnect: bool = False,
    reconnect_delay: float = _POLICY.delay,
    reconnect_delay_max: float = _POLICY.delay_max,
    reconnect_give_up: float = _POLICY.give_up,
    allow_nonfinite: bool = False,
    workers: int = DEFAULT_WORKERS,
) -> _Connecting:
    """Connects without blocking the event loop; arguments as
    :func:`holvane.connect`, plus ``workers``, the number of operations that
    may be under way at once. ``c = await connect(...)`` or
    ``async with connect(...) as c``."""
    return _Connecting(
        functools.partial(
            _connect_blocking,
            host,
            port,
            timeout=timeout,
            deadline=deadline,
            connect_timeout=connect_timeout,
            keepalive=keepalive,
            nodelay=nodelay,
            trace=trace,
            reconnect=reconnect,
            reconnect_delay=reconnect_delay,
            reconnect_delay_max=reconnect_delay_max,
            reconnect_give_up=reconnect_give_up,
            allow_nonfinite=allow_nonfinite,
        ),
        workers,
    )
