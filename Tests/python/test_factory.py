"""Loading plug-ins by connection type, the entry contract and the registry."""

import gc
import shutil

import pytest
from conftest import MODULE_DIR, PLUGIN_DIR, load_stand_in, require_built, run_python


def events_of(hv, connection):
    received = []
    connection.SetEventHandler(lambda kind, code, text: received.append((kind, code, text)))
    return received


def test_missing_plugin_libraries_report_connection_module(hv):
    for kind, name in ((hv.ConnectionType.Unknown, "UNKNOWN"), (hv.ConnectionType.ZELIK7, "ZELIK")):
        c = hv.Connection()
        received = events_of(hv, c)
        # ZELIK has a stand-in only in the test folder, which is not on the loader's path here.
        assert c.CreateContext(kind) == hv.ErrorCode.ConnectionModule
        assert len(received) == 1
        event_kind, code, text = received[0]
        assert event_kind == hv.EventType.Error and code == hv.ErrorCode.ConnectionModule
        assert f"libVantrel_HolvaneApi-{name}-x64.so" in text
        # Still without context.
        assert c.Connect() == hv.ErrorCode.ConnectionContext
        assert c.DestroyContext() == hv.ErrorCode.ConnectionContext


def test_create_context_refuses_plain_integers(hv):
    with pytest.raises(TypeError):
        hv.Connection().CreateContext(0)
    with pytest.raises(TypeError):
        hv.Connection().CreateContext()


def test_second_create_context_keeps_the_first(hv, fake):
    c, plugin = fake
    received = events_of(hv, c)
    assert c.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.ConnectionContext
    assert received == [(hv.EventType.Error, int(hv.ErrorCode.ConnectionContext), "")]
    assert plugin.live_objects() == 1
    assert c.ReadVrValue(2) == (hv.ErrorCode.NoError, 3.0)


def test_destroy_context_disconnects_only_a_connected_context(hv, fake_plugin):
    c = hv.Connection()
    assert c.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
    fake_plugin.take()
    assert c.DestroyContext() == hv.ErrorCode.NoError
    assert fake_plugin.take() == ["DeleteMe"]
    assert c.DestroyContext() == hv.ErrorCode.ConnectionContext

    assert c.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
    c.WriteIntAttribute("disconnect_result", int(hv.ErrorCode.Timeout))
    assert c.Connect() == hv.ErrorCode.NoError
    fake_plugin.take()
    # The code of the implied Disconnect comes back; the context is released anyway.
    assert c.DestroyContext() == hv.ErrorCode.Timeout
    assert fake_plugin.take() == ["Disconnect", "DeleteMe"]
    assert fake_plugin.live_objects() == 0
    assert c.IsConnected() is False and c.Connect() == hv.ErrorCode.ConnectionContext


def test_registry_holds_128_connections_and_refuses_the_129th(hv, fake_plugin):
    gc.collect()  # contexts of dropped objects from earlier tests
    before = fake_plugin.live_objects()
    connections = [hv.Connection() for _ in range(129)]
    try:
        for c in connections[:128]:
            assert c.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
        last = connections[128]
        received = events_of(hv, last)
        assert last.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.Fail
        assert [e[:2] for e in received] == [(hv.EventType.Error, int(hv.ErrorCode.Fail))]
        # The refused connection was deleted inside its plug-in, not leaked.
        assert fake_plugin.live_objects() == before + 128
        assert last.ReadVrValue(1)[0] == hv.ErrorCode.ConnectionContext
        # A freed entry is usable again.
        assert connections[5].DestroyContext() == hv.ErrorCode.NoError
        assert last.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
        assert last.ReadVrValue(4) == (hv.ErrorCode.NoError, 6.0)
    finally:
        for c in connections:
            c.DestroyContext()
    assert fake_plugin.live_objects() == before
    fake_plugin.take()


def test_broken_entry_contract_leaves_nothing_behind(hv, fake_plugin):
    import ctypes

    filled = ctypes.CDLL(str(load_stand_in("RS232")))
    empty = ctypes.CDLL(str(load_stand_in("ZELIK")))
    c = hv.Connection()
    # Failure reported with a filled slot: the plug-in's object is deleted again.
    assert c.CreateContext(hv.ConnectionType.RS232) == hv.ErrorCode.Fail
    assert filled.fake_live_objects() == 0
    # Success reported with an empty slot.
    assert c.CreateContext(hv.ConnectionType.ZELIK7) == hv.ErrorCode.Fail
    assert empty.fake_live_objects() == 0
    assert c.Connect() == hv.ErrorCode.ConnectionContext
    # No registry entry leaked: all 128 are still free.
    connections = [hv.Connection() for _ in range(128)]
    try:
        assert all(x.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError for x in connections)
    finally:
        for x in connections:
            x.DestroyContext()
    fake_plugin.take()


LOADED = """
import ctypes, os
_dl = ctypes.CDLL(None)
_dl.dlopen.restype = ctypes.c_void_p
_dl.dlopen.argtypes = [ctypes.c_char_p, ctypes.c_int]
_dl.dlclose.argtypes = [ctypes.c_void_p]
def loaded(name):
    # RTLD_NOLOAD finds a library only while it is mapped; the probe's own
    # reference is dropped again so it does not keep the library alive.
    handle = _dl.dlopen(name.encode(), os.RTLD_NOLOAD | os.RTLD_LAZY)
    if handle:
        _dl.dlclose(handle)
    return bool(handle)
"""


def test_failed_creations_close_the_library_again():
    require_built(PLUGIN_DIR, "stand-in plug-ins")
    result = run_python(
        LOADED
        + """
import Vantrel_HolvaneAPI as hv
c = hv.Connection()
events = []
c.SetEventHandler(lambda *e: events.append(e))
code = c.CreateContext(hv.ConnectionType.UDP)          # no `factory` symbol
print(int(code) >> 32, events[0][0] == hv.EventType.Error, events[0][1] == int(code), repr(events[0][2]))
print(loaded("libVantrel_HolvaneApi-UDP-x64.so"))
print(c.CreateContext(hv.ConnectionType.RS232), loaded("libVantrel_HolvaneApi-RS232-x64.so"))
print(c.CreateContext(hv.ConnectionType.ZELIK7), loaded("libVantrel_HolvaneApi-ZELIK-x64.so"))
print(c.CreateContext(hv.ConnectionType.QUENTA), loaded("libVantrel_HolvaneApi-QUENTA-x64.so"))
d = hv.Connection()
print(d.CreateContext(hv.ConnectionType.QUENTA))
print(c.DestroyContext(), loaded("libVantrel_HolvaneApi-QUENTA-x64.so"))
print(d.DestroyContext(), loaded("libVantrel_HolvaneApi-QUENTA-x64.so"))
""",
        env_extra={"LD_LIBRARY_PATH": str(PLUGIN_DIR)},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "2 True True ''",
        "False",
        "ErrorCode.Fail False",
        "ErrorCode.Fail False",
        "ErrorCode.NoError True",
        "ErrorCode.NoError",
        # One library reference per connection: it stays while one is left.
        "ErrorCode.NoError True",
        "ErrorCode.NoError False",
    ]


def test_plugin_is_found_beside_the_module_without_library_path(tmp_path):
    require_built(PLUGIN_DIR, "stand-in plug-ins")
    module = next(MODULE_DIR.glob("Vantrel_HolvaneAPI*.so"))
    shutil.copy(module, tmp_path / module.name)
    script = """
import Vantrel_HolvaneAPI as hv
c = hv.Connection()
events = []
c.SetEventHandler(lambda *e: events.append(e))
print(c.CreateContext(hv.ConnectionType.QUENTA))
print(events[0][2] if events else "")
"""
    # Alone in its folder: nothing to find; the message is the loader's first one.
    # run_python puts the build folder on the path; the copy goes before it.
    alone = run_python(f"sys.path.insert(0, {str(tmp_path)!r})\n" + script, drop=("LD_LIBRARY_PATH",))
    assert alone.returncode == 0, alone.stderr
    lines = alone.stdout.splitlines()
    assert lines[0] == "ErrorCode.ConnectionModule"
    assert "libVantrel_HolvaneApi-QUENTA-x64.so" in lines[1] and str(tmp_path) not in lines[1]

    shutil.copy(PLUGIN_DIR / "libVantrel_HolvaneApi-QUENTA-x64.so", tmp_path)
    # Imported through a relative path, then the working directory changes:
    # the module's folder is still found.
    beside = run_python(
        f"sys.path.insert(0, {tmp_path.name!r})\n"
        + """
import os
import Vantrel_HolvaneAPI as hv
os.chdir("/")
"""
        + script,
        drop=("LD_LIBRARY_PATH",),
        cwd=tmp_path.parent,
    )
    assert beside.returncode == 0, beside.stderr
    lines = beside.stdout.splitlines()
    assert lines[0] == "ErrorCode.NoError"


def test_tcp_plugin_is_found_beside_the_built_module(tcp_plugin):
    result = run_python(
        """
import Vantrel_HolvaneAPI as hv
c = hv.Connection()
print(c.CreateContext(hv.ConnectionType.TCP), c.IsConnected(), c.ReadIntAttribute("TCP_Port"))
print(c.DestroyContext())
""",
        drop=("LD_LIBRARY_PATH",),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ErrorCode.NoError False (<ErrorCode.NoError: 0>, 0)", "ErrorCode.NoError"]
