#!/usr/bin/env python3
"""Quick start on the module itself (the low-level module API): one tour of the
Holvane API against a controller or holvane-sim. Examples/quickstart.py does the
same with the holvane package.

    python Examples/quickstart_module.py [--host H] [--port P]

The module Vantrel_HolvaneAPI (and the TCP plug-in beside it) must be
importable, e.g. PYTHONPATH=build/python.
"""

import argparse
import sys
import time

import Vantrel_HolvaneAPI as hv

OK = hv.ErrorCode.NoError


def describe(code):
    """A readable name for any ErrorCode, banded ones included."""
    value = int(code)
    band, detail = value >> 32, value & 0xFFFFFFFF
    if band == 2:
        return f"system error {detail}"
    if band == 4:
        return f"controller error {detail}"
    return hv.ErrorCode(value).name


def check(what, code):
    if code != OK:
        raise SystemExit(f"{what} failed: {describe(code)} (0x{int(code):x})")


def show_events(kind, code, text):
    if kind == hv.EventType.Error:
        print(f"  [event] error 0x{code:x}: {text}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="controller address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=3240, help="controller TCP port (default 3240)")
    parser.add_argument("--axis", type=int, default=0, help="axis to move (default 0)")
    args = parser.parse_args()

    with hv.Connection() as c:
        c.SetEventHandler(show_events)
        check("CreateContext", c.CreateContext(hv.ConnectionType.TCP))
        c.WriteStringAttribute("TCP_HostName", args.host)
        c.WriteIntAttribute("TCP_Port", args.port)
        c.WriteIntAttribute("TCP_Trace", 0)  # keep the hexadecimal trace off the screen
        print(f"Connecting to {args.host}:{args.port} ...")
        check("Connect", c.Connect())
        print("Connected.\n")

        print("VR variables")
        for index, value in ((10, 12.5), (11, -3.25), (12, 1e6)):
            check("WriteVrValue", c.WriteVrValue(index, value))
        for index in (10, 11, 12):
            code, value = c.ReadVrValue(index)
            check("ReadVrValue", code)
            print(f"  VR({index}) = {value:g}")
        code, block = c.ReadMultiVrValues(10, 5)
        check("ReadMultiVrValues", code)
        print(f"  VR(10..14) = {', '.join(f'{v:g}' for v in block)}\n")

        axis = args.axis
        print(f"Axis {axis} parameters")
        for name, value in (("SPEED", 200.0), ("ACCEL", 1000.0), ("DECEL", 1000.0)):
            check(f"WriteAxisParam {name}", c.WriteAxisParam(name, axis, value))
        for name in ("SPEED", "ACCEL", "DECEL", "UNITS"):
            code, value = c.ReadAxisParam(name, axis)
            print(f"  {name:<6} = {value:g}" if code == OK else f"  {name:<6}: {describe(code)}")
        print()

        check("DefPos", c.DefPos(0.0, axis))
        target = 100.0
        print(f"Moving axis {axis} to {target:g}")
        check("MoveAbs", c.MoveAbs(target, axis))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            code_d, dpos = c.ReadAxisParam("DPOS", axis)
            code_m, mpos = c.ReadAxisParam("MPOS", axis)
            check("ReadAxisParam DPOS", code_d)
            check("ReadAxisParam MPOS", code_m)
            print(f"  DPOS {dpos:9.3f}   MPOS {mpos:9.3f}")
            if abs(dpos - target) < 1e-9:
                break
            time.sleep(0.1)
        print()

        print("Files on the controller")
        code, files = c.Dir()
        check("Dir", code)
        for f in files:
            flags = ", ".join(x for x, on in (("editable", f.editable), ("autorun", f.autorun)) if on)
            print(f"  {f.name:<16} type {f.type:<3} {f.size:>8} bytes  {flags}")
        print()

        text = "Hello from Python ✓"
        check("WriteVrString", c.WriteVrString(20, text))
        code, back = c.ReadVrString(20)
        check("ReadVrString", code)
        print(f"VR string 20: {back!r}\n")

        check("Disconnect", c.Disconnect())
        print("Disconnected.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
