"""The ``holvane`` command line.

    holvane info
    holvane vr get I [COUNT]          holvane vr set I VALUE
    holvane param get NAME AXIS       holvane param set NAME AXIS VALUE
    holvane files
    holvane monitor --axis N [--params DPOS,MPOS] [--rate HZ] [--duration S]
                    [--csv FILE] [--plot FILE.png]
    holvane sim [simulator options]

Every command takes ``--host`` and ``--port``. Errors are printed as one line
on standard error and the exit status is non-zero (1 for a failed operation,
2 for a bad command line).
"""
from __future__ import annotations

import argparse
import csv
import importlib
import logging
import sys
import time
from typing import IO, TYPE_CHECKING, Any, List, Optional, Sequence

from .errors import HolvaneError

if TYPE_CHECKING:
    from .controller import Controller

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

    monitor = commands.add_parser("monitor", parents=[link],
                                  help="sample axis parameters over time into a CSV (and a plot)")
    monitor.add_argument("--axis", type=int, required=True, metavar="N")
    monitor.add_argument("--params", default="DPOS,MPOS", help="comma-separated names (default DPOS,MPOS)")
    monitor.add_argument("--rate", type=_positive, default=10.0, metavar="HZ", help="samples per second (default 10)")
    monitor.add_argument("--duration", type=_positive, metavar="S", help="seconds to run (default: until Ctrl-C)")
    monitor.add_argument("--csv", metavar="FILE", help="write the samples here (default standard output)")
    monitor.add_argument("--plot", metavar="FILE.png", help="also plot them (needs matplotlib: holvane[plot])")

    commands.add_parser("sim", add_help=False, help="run the bundled controller simulator (holvane-sim)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Console entry ``holvane``; returns the exit status."""
    args_list = list(sys.argv[1:] if argv is None else argv)
    if args_list[:1] == ["sim"]:
        from .simulator import main as simulator_main

        return simulator_main(args_list[1:])
    args = _parser().parse_args(args_list)
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
        elif args.command == "monitor":
            return _monitor(c, args)
    return 0


def _monitor(c: "Controller", args: argparse.Namespace) -> int:
    names = [name.strip() for name in args.params.split(",") if name.strip()]
    if not names:
        raise ValueError("--params names no parameter")
    period = 1.0 / args.rate
    rows: List[List[float]] = []
    stream: IO[str] = open(args.csv, "w", newline="") if args.csv else sys.stdout
    try:
        writer = csv.writer(stream)
        writer.writerow(["time", *names])
        start = time.monotonic()
        due = start
        try:
            while args.duration is None or due - start <= args.duration + 1e-9:
                with c.batch() as batch:
                    results = [batch.read_param(name, args.axis) for name in names]
                row = [round(time.monotonic() - start, 6), *(r.value for r in results)]
                rows.append(row)  # type: ignore[arg-type]
                writer.writerow(row)
                stream.flush()
                due += period
                pause = due - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
        except KeyboardInterrupt:
            pass  # Ctrl-C ends an open-ended run; what was sampled is kept
    finally:
        if stream is not sys.stdout:
            stream.close()
    if args.plot:
        _plot(args.plot, names, rows, args.axis)
    return 0


def _plot(path: str, names: List[str], rows: List[List[float]], axis: int) -> None:
    try:
        # Optional (the extra holvane[plot]): imported by name, only here.
        matplotlib: Any = importlib.import_module("matplotlib")
        matplotlib.use("Agg")
        plt: Any = importlib.import_module("matplotlib.pyplot")
    except ImportError:
        raise ValueError("--plot needs matplotlib (pip install 'holvane[plot]'); the samples were written") from None
    figure, plot = plt.subplots(figsize=(8, 4.5))
    times = [row[0] for row in rows]
    for column, name in enumerate(names, start=1):
        plot.plot(times, [row[column] for row in rows], label=name)
    plot.set_xlabel("time (s)")
    plot.set_ylabel("user units")
    plot.set_title(f"axis {axis}")
    plot.legend()
    plot.grid(True, alpha=0.3)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


if __name__ == "__main__":
    sys.exit(main())
