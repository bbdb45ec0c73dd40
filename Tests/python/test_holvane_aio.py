"""holvane.aio against holvane-sim: coroutines sharing one controller, and
cancellation that returns at once without disturbing anything else."""
import asyncio
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
