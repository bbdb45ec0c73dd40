"""Connection.Batch: items as tuples naming their methods, what reaches the
plug-in, the results against the simulator, and a plug-in without the slot."""

import threading
import time

import pytest
from conftest import PLUGIN_DIR, connect, run_python


def test_batch_against_the_simulator_gives_each_item_its_own_outcome(hv, sim):
    c = connect(hv, *sim)
    ok = hv.ErrorCode.NoError
    try:
        code, results = c.Batch(
            [
                ("WriteVrValue", 10, 1.5),
                ("ReadVrValue", 10),
                ("WriteAxisParam", "SPEED", 0, 125.0),
                ("ReadAxisParam", "SPEED", 0),
                ("ReadAxisParam", "NO_SUCH_PARAM", 0),  # not in the token table: never sent
                ("ReadTableValue", 5),
                ("WriteVrValue", 11, 7),  # an int is taken as a float
                ("ReadVrValue", 11),
            ]
        )
        assert code == hv.ErrorCode.Remote_UnknownToken
        assert results == [
            (ok, None),
            (ok, 1.5),
            (ok, None),
            (ok, 125.0),
            (hv.ErrorCode.Remote_UnknownToken, 0.0),
            (ok, 0.0),
            (ok, None),
            (ok, 7.0),
        ]
        assert all(isinstance(r[0], hv.ErrorCode) for r in results)

        # The 48 reads of a machine cycle: 16 axes x DPOS, MPOS, IDLE.
        code, results = c.Batch([("ReadAxisParam", p, a) for a in range(16) for p in ("DPOS", "MPOS", "IDLE")])
        assert code == ok and len(results) == 48 and all(r[0] == ok for r in results)

        # Up to the cap every item is carried out; beyond it nothing is.
        code, results = c.Batch(
            [("WriteVrValue", i, i + 0.5) for i in range(2048)] + [("ReadVrValue", i) for i in range(2048)]
        )
        assert code == ok
        assert [v for _, v in results[2048:]] == [i + 0.5 for i in range(2048)]
        code, results = c.Batch([("WriteVrValue", 1, 99.0)] * 4097)
        assert code == hv.ErrorCode.BadArgument
        assert set(results) == {(hv.ErrorCode.BadArgument, None)}
        assert c.ReadVrValue(1) == (ok, 1.5)
        assert c.Batch([]) == (ok, [])
    finally:
        c.DestroyContext()


def test_malformed_items_raise_naming_their_position_before_anything_is_sent(hv, fake):
    c, plugin = fake
    good = ("ReadVrValue", 1)
    cases = [
        ([good, ("Foo", 1)], ValueError, "item 1: unknown method"),
        ([("ReadVrValue", -1)], ValueError, "item 0: the index"),
        ([good, good, ("ReadVrValue", 2**32)], ValueError, "item 2: the index"),
        ([("ReadAxisParam", "DPOS", 2**31)], ValueError, "item 0: the axis"),
        ([("WriteVrValue", 1)], TypeError, "item 0: WriteVrValue takes (index, value)"),
        ([good, ("ReadVrValue", 1, 2)], TypeError, "item 1: ReadVrValue takes (index)"),
        ([("ReadVrValue", "1")], TypeError, "item 0: the index must be an int"),
        ([("ReadVrValue", 1.0)], TypeError, "item 0: the index must be an int"),
        ([("WriteVrValue", 1, "2")], TypeError, "item 0: the value"),
        ([("WriteAxisParam", 5, 0, 1.0)], TypeError, "item 0: the parameter name"),
        ([good, "ReadVrValue"], TypeError, "item 1: expected a tuple"),
        ([()], TypeError, "item 0: the first field"),
        ([(10, "ReadVrValue")], TypeError, "item 0: the first field"),
    ]
    for items, error, text in cases:
        with pytest.raises(error) as raised:
            c.Batch(items)
        assert text in str(raised.value), (items, str(raised.value))
    for not_a_list in ("ReadVrValue", 5, None):
        with pytest.raises(TypeError):
            c.Batch(not_a_list)
    assert plugin.take() == []


def test_batch_reaches_the_plugin_item_by_item_and_releases_the_interpreter(hv, fake):
    c, plugin = fake
    ok = hv.ErrorCode.NoError
    assert c.Batch(
        [
            ("WriteVrValue", 4, 2.5),
            ("ReadVrValue", 4),
            ("ReadTableValue", 3),
            ("ReadAxisParam", "MPOS", 2),
            ("WriteAxisParam", "SPEED", 1, 50),
        ]
    ) == (ok, [(ok, None), (ok, 2.5), (ok, 3.5), (ok, 24.0), (ok, None)])
    # The interface level was read when the context was made, not per call.
    assert plugin.take() == [
        "Batch(5)",
        "WriteVrValue(4,2.5)",
        "ReadVrValue(4)",
        "ReadTableValue(3)",
        "ReadAxisParam(MPOS,2)",
        "WriteAxisParam(SPEED,1,50)",
    ]

    # A batch that waits (VR 999 blocks for block_ms) lets Python run.
    c.WriteIntAttribute("block_ms", 700)
    done = {}
    worker = threading.Thread(target=lambda: done.setdefault("r", c.Batch([("ReadVrValue", 999)])))
    start = time.monotonic()
    worker.start()
    ticks = 0
    while "r" not in done and time.monotonic() - start < 5:
        ticks += 1
    worker.join(5)
    assert done["r"] == (hv.ErrorCode.Timeout, [(hv.ErrorCode.Timeout, 0.0)])
    assert ticks > 1000
    assert c.DestroyContext() == ok
    assert c.Batch([("ReadVrValue", 1)]) == (hv.ErrorCode.ConnectionContext, [(hv.ErrorCode.ConnectionContext, 0.0)])


def test_a_plugin_without_the_batch_slot_gives_fail():
    level1 = PLUGIN_DIR / "level1" / "libVantrel_HolvaneApi-QUENTA-x64.so"
    assert level1.exists(), f"stand-in plug-in not built: {level1}"
    # A fresh process, so the factory finds this library under the QUENTA name.
    result = run_python(f"""
import ctypes
import Vantrel_HolvaneAPI as hv
lib = ctypes.CDLL({str(level1)!r})
lib.fake_take_log.restype = ctypes.c_size_t
lib.fake_take_log.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
c = hv.Connection()
assert c.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
lib.fake_take_log(None, 0)
print(c.Batch([("ReadVrValue", 1), ("WriteVrValue", 2, 1.0)]))
print(c.WriteIntAttribute("InterfaceLevel", 2), c.Batch([("ReadVrValue", 1)])[0])
print(c.ReadVrValue(2))
buffer = ctypes.create_string_buffer(4096)
lib.fake_take_log(buffer, len(buffer))
print(buffer.value.decode().split())
print(c.DestroyContext())
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "(<ErrorCode.Fail: 4294967297>, [(<ErrorCode.Fail: 4294967297>, 0.0), (<ErrorCode.Fail: 4294967297>, None)])",
        "ErrorCode.BadArgument ErrorCode.Fail",
        "(<ErrorCode.NoError: 0>, 3.0)",
        "['WriteIntAttribute(InterfaceLevel,2)', 'ReadVrValue(2)']",
        "ErrorCode.NoError",
    ]
