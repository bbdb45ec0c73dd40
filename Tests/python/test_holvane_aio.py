"""holvane.aio against holvane-sim: coroutines sharing one controller, and
cancellation that returns at once without disturbing anything else."""

import asyncio
import inspect
import time

import pytest

import holvane
import holvane.aio
from holvane import ControllerError


def test_three_coroutines_share_one_controller(sim):
    host, port = sim

    async def worker(c, base):
        for i in range(40):
            await c.write_vr(base + i, base + i * 0.5)
            assert await c.read_vr(base + i) == base + i * 0.5
        assert await c.read_vr_block(base, 4) == [base + 0.0, base + 0.5, base + 1.0, base + 1.5]
        return base

    async def scenario():
        async with holvane.aio.connect(host, port) as c:
            assert c.connected
            done = await asyncio.gather(worker(c, 100), worker(c, 200), worker(c, 300))
            assert done == [100, 200, 300]
            with pytest.raises(ControllerError):
                await c.read_param("DPOS", 99)

            x = c.axis(1)
            await x.set_speed(1000.0)
            await x.move_abs(25.0)
            await x.wait_idle(timeout=10.0)
            assert await x.dpos == 25.0 and await x.idle
            async with c.batch() as b:
                pos = b.read_param("DPOS", 1)
                b.write_vr(7, 3.0)
            assert pos.value == 25.0 and await c.read_vr(7) == 3.0
            assert (await c.info()).axis_count == 16
        assert not c.connected

    asyncio.run(scenario())


def test_cancelling_returns_at_once_and_disturbs_nothing(sims):
    slow = sims("--delay-ms", "600")  # every reply takes 0.6 s

    async def scenario():
        c = await holvane.aio.connect(slow.host, slow.port)
        try:
            await c.write_vr(5, 8.0)
            pending = asyncio.ensure_future(c.write_vr(6, 2.0))
            other = asyncio.ensure_future(c.read_vr(5))
            await asyncio.sleep(0.1)  # both are under way
            started = time.monotonic()
            pending.cancel()
            with pytest.raises(asyncio.CancelledError):
                await pending
            assert time.monotonic() - started < 0.3  # the reply is still 0.5 s away
            assert await other == 8.0  # the other operation is untouched
            # The cancelled write finished in the background, and the link
            # still serves the next request in order.
            assert await c.read_vr(6) == 2.0
        finally:
            await c.close()

    asyncio.run(scenario())


def test_the_asyncio_face_offers_every_blocking_operation(sim):
    host, port = sim
    # The same operations, arguments and doc strings as the blocking face;
    # each is a coroutine function. What returns an object to iterate or to
    # enter (a batch, a recorder, a watch) takes the same arguments and gives
    # the asyncio form of that object.
    iterated = {"batch", "recorder", "watch"}
    for name in iterated:
        theirs = inspect.signature(getattr(holvane.Controller, name)).parameters
        ours = inspect.signature(getattr(holvane.aio.AsyncController, name)).parameters
        assert list(ours.values()) == list(theirs.values()), name
    for face, blocking in ((holvane.aio.AsyncController, holvane.Controller), (holvane.aio.AsyncAxis, holvane.Axis)):
        for name, member in vars(blocking).items():
            if (
                name.startswith("_")
                or not inspect.isfunction(member)
                or name in {"close", "axis", "wait_idle", *iterated}
            ):
                continue
            shared = getattr(face, name)
            assert inspect.iscoroutinefunction(shared), name
            assert shared.__doc__ == member.__doc__, name
            theirs, ours = inspect.signature(member), inspect.signature(shared)
            assert list(ours.parameters.values()) == list(theirs.parameters.values()), name
            assert str(ours.return_annotation).startswith("Coroutine[Any, Any, "), name
    blocking_connect = inspect.signature(holvane.connect).parameters
    assert list(inspect.signature(holvane.aio.connect).parameters.values()) == [
        *blocking_connect.values(),
        inspect.Parameter("workers", inspect.Parameter.KEYWORD_ONLY, default=8, annotation="int"),
    ]

    async def scenario():
        async with holvane.aio.connect(host, port, reconnect=True, reconnect_delay=0.5, allow_nonfinite=True) as c:
            assert c.sync.reconnect and c.sync._policy.delay == 0.5 and c.sync.allow_nonfinite
            assert repr(c) == f"<holvane.aio.AsyncController {host}:{port}>"
            await c.execute("TABLE(10)=1.5:TABLE(11)=2.5")
            assert await c.read_table(10) == 1.5 and await c.read_table_block(10, 2) == [1.5, 2.5]
            await c.write_vr_string(4, "ok ✓")
            assert await c.read_vr_string(4) == "ok ✓"
            assert await c.axis_count() == 16 and (await c.files())
            await c.invert_input(3)
            await c.ex()

            x = c.axis(2)
            assert repr(x) == "<holvane.aio.AsyncAxis 2>"
            await x.set_param("SPEED", 500.0)
            await x.define_pos(1.0)
            await x.move_rel(4.0)
            await x.wait_idle(timeout=10.0)
            assert await x.param("DPOS") == 5.0 and await x.speed == 500.0 and await x.mpos == 5.0
            await x.forward()
            await x.cancel()
            await x.wait_idle(timeout=10.0)
            await x.datum(0)

            with pytest.raises(KeyError):  # the block raises: nothing is sent
                async with c.batch() as b:
                    b.write_vr(9, 7.0)
                    raise KeyError("stop")
            assert await c.read_vr(9) == 0.0
            with pytest.raises(ControllerError):  # an item fails: the others run, then it is raised
                async with c.batch() as b:
                    write = b.write_vr(9, 7.0)
                    bad = b.write_param("DPOS", 2, 1.0)  # read-only
            assert write.value is None and bad.error is not None and await c.read_vr(9) == 7.0
            with pytest.raises(IndexError):
                await c.read_vr(-1)

    asyncio.run(scenario())
