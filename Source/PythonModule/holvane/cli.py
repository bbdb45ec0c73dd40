"""The ``holvane`` command line.

    holvane info
    holvane vr get I [COUNT]          holvane vr set I VALUE
    holvane param get NAME AXIS       holvane param set NAME AXIS VALUE
    holvane files
    holvane record CHANNEL... --rate HZ [--seconds S] -o FILE.csv|FILE.parquet [--plot FILE.png]
    holvane monitor --axis N [--params DPOS,MPOS] [--rate HZ] [--duration S]
                    [--csv FILE] [--plot FILE.png]
    holvane sim [simulator options]

Every command takes ``--host`` and ``--port``. Errors are printed as one line
on standard error and the exit status is non-zero (1 for a failed operation,
2 for a bad command line).
"""
from __future__ import annotations

import argparse
import logging
import sys
from typing import Optional, Sequence

from . import cli_record
from .errors import HolvaneError


EXIT_FAILED = 1


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _positive(text: str) -> float:
    value = _number(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    link = argparse.ArgumentParser(add_help=False)
    link.add_argument("--host", default="127.0.0.1", help="controller address (default 127.0.0.1)")
    link.add_argument("--port", type=int, default=3240, help="controller TCP port (default 3240)")
    link.add_argument("--timeout", type=_positive, default=10.0,
                      help="seconds to wait for the controller per operation (default 10)")
    link.add_argument("-v", "--verbose", action="store_true",
                      help="log the connection's messages and its hexadecimal trace on standard error")

    parser = argparse.ArgumentParser(prog="holvane", description="Talk to a Holvane motion controller.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    commands.add_parser("info", parents=[link], help="version, controller type, number format, axes")

    vr = commands.add_parser("vr", help="read or write VR values").add_subparsers(dest="action", required=True)
    get = vr.add_parser("get", parents=[link], help="print VR I (or COUNT values from I), one per line")
    get.add_argument("index", type=int, metavar="I")
    get.add_argument("count", type=int, nargs="?", metavar="COUNT")
    put = vr.add_parser("set", parents=[link], help="set VR I to VALUE")
    put.add_argument("index", type=int, metavar="I")
    put.add_argument("value", type=_number, metavar="VALUE")

    param = commands.add_parser("param", help="read or write an axis parameter").add_subparsers(
        dest="action", required=True)
    get = param.add_parser("get", parents=[link], help="print parameter NAME of axis AXIS")
    get.add_argument("name", metavar="NAME")
    get.add_argument("axis", type=int, metavar="AXIS")
    put = param.add_parser("set", parents=[link], help="set parameter NAME of axis AXIS")
    put.add_argument("name", metavar="NAME")
    put.add_argument("axis", type=int, metavar="AXIS")
    put.add_argument("value", type=_number, metavar="VALUE")

    commands.add_parser("files", parents=[link], help="list the files on the controller")

    cli_record.add_commands(commands, link)

    commands.add_parser("sim", add_help=False, help="run the bundled controller simulator (holvane-sim)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Console entry ``holvane``; returns the exit status."""
    args_list = list(sys.argv[1:] if argv is None else argv)
    if args_list[:1] == ["sim"]:
        from .simulator import main as simulator_main

        return simulator_main(args_list[1:])
    parser = _parser()
    args = parser.parse_args(args_list)
    if args.command in cli_record.COMMANDS:
        cli_record.check(args, parser.error)
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG, format="%(name)s: %(message)s", stream=sys.stderr)
    try:
        return _run(args)
    except HolvaneError as error:
        print(f"holvane: {error}", file=sys.stderr)
        return EXIT_FAILED
    except (OSError, ValueError) as error:
        print(f"holvane: {error}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("holvane: interrupted", file=sys.stderr)
        return 130


def _run(args: argparse.Namespace) -> int:
    from .connecting import connect

    with connect(args.host, args.port, timeout=args.timeout, deadline=max(args.timeout * 6, 60.0),
                 trace=args.verbose) as c:
        if args.command == "info":
            info = c.info()
            print(f"controller:     {args.host}:{args.port}")
            print(f"version:        {info.version}")
            print(f"type:           {info.controller_type}")
            print(f"number format:  {info.number_format}")
            print(f"axes:           {info.axis_count}")
        elif args.command == "vr" and args.action == "get":
            values = [c.read_vr(args.index)] if args.count is None else c.read_vr_block(args.index, args.count)
            for value in values:
                print(repr(value))
        elif args.command == "vr":
            c.write_vr(args.index, args.value)
        elif args.command == "param" and args.action == "get":
            print(repr(c.read_param(args.name, args.axis)))
        elif args.command == "param":
            c.write_param(args.name, args.axis, args.value)
        elif args.command == "files":
            for f in c.files():
                print(f"{f.name:<20} type {f.type:<4} {f.size:>10} bytes  {' '.join(f.flags)}".rstrip())
        elif args.command in cli_record.COMMANDS:
            return cli_record.run(c, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
