"""The module's published names and how its enumerations behave in Python."""

import pytest


def test_module_publishes_exactly_its_names(hv):
    assert hv.__doc__ == "Vantrel Holvane API"
    for name in (
        "ErrorCode",
        "XferDestinations",
        "XferProtocol",
        "XferDirection",
        "EventType",
        "ConnectionType",
        "ParamBlockType",
        "Connection",
    ):
        assert hasattr(hv, name), name
    # Members stay inside their types.
    assert not hasattr(hv, "Timeout")
    assert not hasattr(hv, "TCP")
    assert hv.ErrorCode.Timeout == 0x100000007


def test_error_code_values_and_integer_behaviour(hv):
    E = hv.ErrorCode
    expected = {
        "NoError": 0x0,
        "__Unknown": 0xFFFFFFFF,
        "__ApiError": 0x100000000,
        "Api_Unknown": 0x100000000,
        "Fail": 0x100000001,
        "ConnectionModule": 0x100000002,
        "ConnectionContext": 0x100000003,
        "ConnectionUnknownAttrib": 0x100000004,
        "ConnectionWrongAttribType": 0x100000005,
        "TokenTable": 0x100000006,
        "Timeout": 0x100000007,
        "UnknownFloatingPointFormat": 0x100000008,
        "Remote_TokenBuffer": 0x100000009,
        "Remote_UnknownToken": 0x10000000A,
        "UnsupportedController": 0x10000000B,
        "BadResponse": 0x10000000C,
        "BadArgument": 0x10000000D,
        "__ApiLast": 0x10000000E,
        "__SystemError": 0x200000000,
        "Sys_Unknown": 0x2FFFFFFFF,
        "__ControllerError": 0x400000000,
    }
    assert list(E.__members__) == list(expected)
    for name, value in expected.items():
        member = getattr(E, name)
        assert int(member) == value and member.value == value and member == value, name
    assert E.NoError == 0
    assert E(0x100000007) == E.Timeout
    # Two names, one value: the first registered name wins.
    assert E.Api_Unknown == E.__ApiError
    assert E.Api_Unknown.name == "__ApiError"
    # Band values without a name of their own are still members.
    system = E(0x200000068)
    assert system == 0x200000068 and int(system) >> 32 == 2 and int(system) & 0xFFFFFFFF == 104
    assert system.name not in expected
    controller = E(0x400000005)
    assert controller == 0x400000005 and controller.name not in expected


def test_scoped_enumerations_are_strict(hv):
    assert hv.EventType.Error != 0
    assert hv.ConnectionType.TCP != 0
    assert hv.ConnectionType.TCP == hv.ConnectionType.TCP
    assert hv.ConnectionType.TCP != hv.ConnectionType.UDP
    assert int(hv.ConnectionType.Unknown) == -1
    assert int(hv.ConnectionType.ZELIK7) == 4 and int(hv.ConnectionType.QUENTA) == 3
    assert hv.ConnectionType(0) == hv.ConnectionType.TCP
    tables = {
        hv.XferDestinations: {"RAM": 0, "FIFO": 1, "SD": 2},
        hv.XferProtocol: {"Transparent": 0, "Ctrl2XX": 1, "Ctrl4XX": 2},
        hv.XferDirection: {"ToCtrl": 0, "FromCtrl": 1},
        hv.EventType: {
            "Error": 0,
            "WriteFail": 1,
            "ReadFail": 2,
            "Message": 3,
            "Receive": 4,
            "BufferOverrun": 5,
            "ProgressCreate": 6,
            "ProgressDestroy": 7,
            "ProgressSetPos": 8,
            "GetControllerKey": 9,
        },
        hv.ConnectionType: {"Unknown": -1, "TCP": 0, "UDP": 1, "RS232": 2, "QUENTA": 3, "ZELIK7": 4},
        hv.ParamBlockType: {"AxisParam": 0, "SystemParameters": 1, "VR": 2, "TABLE": 3, "ProgramVariable": 4},
    }
    for enum, members in tables.items():
        assert {name: int(m) for name, m in enum.__members__.items()} == members, enum.__name__
        assert list(enum.__members__) == list(members)


def test_enumerations_have_no_arithmetic(hv):
    with pytest.raises(TypeError):
        hv.ErrorCode.Fail < hv.ErrorCode.Timeout  # noqa: B015
    with pytest.raises(TypeError):
        hv.EventType.Error | hv.EventType.Message


def test_type_stub_matches_the_module(hv):
    import ast
    from pathlib import Path

    stub = Path(hv.__file__).with_name("Vantrel_HolvaneAPI.pyi")
    tree = ast.parse(stub.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for name in (
        "ErrorCode",
        "XferDestinations",
        "XferProtocol",
        "XferDirection",
        "EventType",
        "ConnectionType",
        "ParamBlockType",
    ):
        declared = [n.target.id for n in classes[name].body if isinstance(n, ast.AnnAssign)]
        assert declared == list(getattr(hv, name).__members__), name
    methods = {n.name for n in classes["Connection"].body if isinstance(n, ast.FunctionDef)}
    public = {n for n in dir(hv.Connection) if not n.startswith("_")}
    assert public == {m for m in methods if not m.startswith("_")}
    fields = {n.name for n in classes["ControllerFileInfo"].body if isinstance(n, ast.FunctionDef)}
    assert fields == {n for n in dir(hv.ControllerFileInfo) if not n.startswith("_")}


def test_every_code_has_one_text_and_unnamed_codes_show_band_and_number(hv):
    E, text = hv.ErrorCode, hv.ErrorText
    # Every API code an operation can return has a text of its own.
    api = [m for n, m in E.__members__.items() if int(m) >> 32 == 1 and m not in (E.__ApiLast,)]
    texts = {int(m): text(m) for m in api}
    assert len(set(texts.values())) == len(texts) and not any(t.startswith("unknown result") for t in texts.values())
    assert text(E.Timeout) == text(0x100000007) == "timed out waiting for the controller"
    assert text(0) == "no error"
    assert text(0x200000068) == "system error 104: Connection reset by peer"
    # A controller's error numbers are its own: the number, no meaning.
    assert text(0x400000004) == "controller error 4"
    assert text(E(0x40000FFFF)) == "controller error 65535"
    for unknown in (0x800000001, 0x10000000E, 0x5):
        assert text(unknown) == f"unknown result code {unknown:#x}"
    with pytest.raises(TypeError):
        text(-1)

    # Named members keep their name; others show band and number.
    assert repr(E.Timeout) == "<ErrorCode.Timeout: 4294967303>" and str(E.Timeout) == "ErrorCode.Timeout"
    assert E.Timeout.name == "Timeout" and E(0x100000000).name == "__ApiError"
    assert repr(E(0x400000004)) == "<ErrorCode controller error 4: 0x400000004>"
    assert str(E(0x400000004)) == "ErrorCode controller error 4: 0x400000004"
    assert repr(E(0x20000006E)) == "<ErrorCode system error 110: 0x20000006e>"
    assert repr(E(0x100000020)) == "<ErrorCode API error 32: 0x100000020>"
    assert repr(E(0x800000001)) == "<ErrorCode 0x800000001>"


def test_limits_and_version_come_from_the_sources(hv, tcp_plugin):
    import re

    from conftest import REPO

    assert (hv.DefaultReplyTimeoutMs, hv.DefaultConnectTimeoutMs, hv.DefaultDeadlineMs) == (10000, 5000, 0)
    assert (hv.DefaultKeepAliveS, hv.MaxLimitMs, hv.MaxKeepAliveS) == (10, 3600000, 3600)
    assert hv.BatchMaxItems == 4096 and 0 < hv.InterruptSliceMs < 100
    project = re.search(r"project\(HolvaneApi VERSION (\S+)", (REPO / "CMakeLists.txt").read_text()).group(1)
    assert hv.__version__ == project

    # Every number the user docs print beside a constant's name is that
    # constant's ("10 s (`Name`)", "16 (`Sampler.MinInFlight`)"); the README
    # names each limit.
    def constant(name):
        value = hv
        for part in name.split("."):
            value = getattr(value, part, None)
        return value if isinstance(value, (int, float)) else None

    named = {}
    for doc in [REPO / "README.md", *sorted((REPO / "docs").rglob("*.rst"))]:
        for number, name in re.findall(r"(\d+(?:\.\d+)?)(?: [A-Za-z]+)? \(`([\w.]+)`\)", doc.read_text()):
            if constant(name) is not None:
                assert float(number) == constant(name), (doc.name, name, number)
                named.setdefault(doc.name, set()).add(name)
    assert named["README.md"] >= {
        "DefaultReplyTimeoutMs",
        "DefaultConnectTimeoutMs",
        "DefaultDeadlineMs",
        "DefaultKeepAliveS",
        "MaxLimitMs",
        "MaxKeepAliveS",
        "InterruptSliceMs",
        "BatchMaxItems",
        "Sampler.InFlightSeconds",
        "Sampler.MinInFlight",
        "Sampler.MaxInFlight",
        "Sampler.MaxRequestsInFlight",
        "Sampler.BufferSeconds",
        "Sampler.MaxRate",
    }
    # A fresh connection reports exactly the module's defaults and level.
    c = hv.Connection()
    assert c.CreateContext(hv.ConnectionType.TCP) == hv.ErrorCode.NoError
    try:
        defaults = (
            ("TCP_Timeout", hv.DefaultReplyTimeoutMs),
            ("TCP_ConnectTimeout", hv.DefaultConnectTimeoutMs),
            ("TCP_Deadline", hv.DefaultDeadlineMs),
            ("TCP_KeepAlive", hv.DefaultKeepAliveS),
            ("InterfaceLevel", hv.InterfaceLevel),
        )
        for name, value in defaults:
            assert c.ReadIntAttribute(name) == (hv.ErrorCode.NoError, value), name
        for name, top in (("TCP_Timeout", hv.MaxLimitMs), ("TCP_KeepAlive", hv.MaxKeepAliveS)):
            assert c.WriteIntAttribute(name, top) == hv.ErrorCode.NoError
            assert c.WriteIntAttribute(name, top + 1) == hv.ErrorCode.BadArgument
    finally:
        c.DestroyContext()
