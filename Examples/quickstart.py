#!/usr/bin/env python3
"""Quick start: one tour of a controller (or holvane-sim) with the holvane client.

    python Examples/quickstart.py [--host H] [--port P] [--axis N] [-v]

The holvane package and the module beside it must be importable (installed
with `pip install .`, or PYTHONPATH=build/python in a source tree).
Examples/quickstart_module.py does the same on the module's own interface.
"""

import argparse
import logging
import sys

import holvane


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="controller address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=3240, help="controller TCP port (default 3240)")
    parser.add_argument("--axis", type=int, default=0, help="axis to move (default 0)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log the connection's messages and trace")
    args = parser.parse_args()
    # The connection's events arrive through logging: warnings by default,
    # everything (the hexadecimal trace too) with -v.
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="  [%(name)s] %(message)s")

    print(f"Connecting to {args.host}:{args.port} ...")
    try:
        controller = holvane.connect(args.host, args.port, trace=args.verbose)
    except holvane.HolvaneError as error:
        print(f"Cannot connect: {error}")
        return 1
    with controller as c:
        info = c.info()
        print(
            f"Connected: version {info.version}, type {info.controller_type}, {info.number_format}, "
            f"{info.axis_count} axes.\n"
        )

        print("VR variables")
        c.vr[10], c.vr[11], c.vr[12] = 12.5, -3.25, 1e6
        for index in (10, 11, 12):
            print(f"  VR({index}) = {c.vr[index]:g}")
        print(f"  VR(10..14) = {', '.join(f'{v:g}' for v in c.vr[10:15])}\n")

        axis = c.axis(args.axis)
        print(f"Axis {args.axis} parameters")
        axis.speed = 200.0
        axis.set_param("ACCEL", 1000.0)
        axis.set_param("DECEL", 1000.0)
        for name in ("SPEED", "ACCEL", "DECEL", "UNITS"):
            try:
                print(f"  {name:<6} = {axis.param(name):g}")
            except holvane.ControllerError as error:
                print(f"  {name:<6}: {error}")
        print()

        # Several values in one round trip.
        with c.batch() as b:
            speed = b.read_param("SPEED", args.axis)
            vr10 = b.read_vr(10)
        print(f"One batch: SPEED {speed.value:g}, VR(10) {vr10.value:g}\n")

        axis.define_pos(0.0)
        target = 100.0
        print(f"Moving axis {args.axis} to {target:g}")
        axis.move_abs(target)
        axis.wait_idle(timeout=30.0)
        print(f"  DPOS {axis.dpos:9.3f}   MPOS {axis.mpos:9.3f}\n")

        print("Files on the controller")
        for f in c.files():
            print(f"  {f.name:<16} type {f.type:<3} {f.size:>8} bytes  {', '.join(f.flags)}".rstrip())
        print()

        c.vr_string[20] = "Hello from Python ✓"
        print(f"VR string 20: {c.vr_string[20]!r}\n")

        try:
            c.read_param("DPOS", 999)
        except IndexError as error:
            print(f"An axis the controller does not have is refused before sending: {error}")
        try:
            c.write_param("DPOS", 0, 1.0)
        except holvane.ControllerError as error:
            print(f"What the controller refuses raises {type(error).__name__}: {error}\n")
    print("Disconnected.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
