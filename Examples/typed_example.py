#!/usr/bin/env python3
"""A small fully typed script on the module's stub: CI checks it with
``mypy --strict`` and pyright against the installed wheel, and it runs.

    python Examples/typed_example.py [--host H] [--port P]
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

import Vantrel_HolvaneAPI as hv

OK = hv.ErrorCode.NoError


def check(what: str, code: hv.ErrorCode) -> None:
    if code != OK:
        raise RuntimeError(f"{what} failed: 0x{int(code):x}")


def open_connection(host: str, port: int) -> hv.Connection:
    connection = hv.Connection()
    check("CreateContext", connection.CreateContext(type=hv.ConnectionType.TCP))
    check("TCP_HostName", connection.WriteStringAttribute(attrib_name="TCP_HostName", value=host))
    check("TCP_Port", connection.WriteIntAttribute("TCP_Port", port))
    check("TCP_Trace", connection.WriteIntAttribute("TCP_Trace", 0))
    check("Connect", connection.Connect())
    return connection


def vr_block(connection: hv.Connection, start: int, values: Sequence[float]) -> list[float]:
    for offset, value in enumerate(values):
        check("WriteVrValue", connection.WriteVrValue(index=start + offset, value=value))
    code, back = connection.ReadMultiVrValues(start, len(values))
    check("ReadMultiVrValues", code)
    return back


def positions(connection: hv.Connection, axes: range) -> list[tuple[int, float]]:
    result: list[tuple[int, float]] = []
    for axis in axes:
        code, dpos = connection.ReadAxisParam(param_name="DPOS", axis=axis)
        check("ReadAxisParam", code)
        result.append((axis, dpos))
    return result


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description="typed example")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=3240)
    args = parser.parse_args(argv)
    host: str = args.host
    port: int = args.port

    with open_connection(host, port) as connection:
        print("VR(100..102) =", vr_block(connection, 100, [1.5, -2.0, 3.25]))
        for axis, dpos in positions(connection, range(2)):
            print(f"axis {axis}: DPOS {dpos:g}")
        code, text = connection.ReadVrString(vr=100)
        print("connected:", connection.IsConnected(), "code:", code.name, repr(text[:0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
