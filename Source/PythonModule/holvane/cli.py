"""The ``holvane`` command line (also ``python -m holvane``).

    holvane [--host H] [--port P] [--timeout S] [-v | -vv] COMMAND ...
    holvane info
    holvane vr get I [COUNT]          holvane vr set I VALUE
    holvane param get NAME AXIS       holvane param set NAME AXIS VALUE
    holvane files
    holvane record CHANNEL... --rate HZ [--seconds S] -o FILE.csv|FILE.parquet [--plot FILE.png]
    holvane monitor --axis N [--params DPOS,MPOS] [--rate HZ] [--duration S]
                    [--csv FILE] [--plot FILE.png]
    holvane sim [simulator options]
    holvane --version

The common options may stand before or after the command; ``--host`` and
``--port`` default to the environment variables ``HOLVANE_HOST`` and
``HOLVANE_PORT``. Errors are printed as one line on standard error. Exit
status: 0 success, 1 the controller or the link failed, 2 a usage error (the
command line, or an argument the controller cannot take), 130 interrupted.
"""

from __future__ import annotations

import argparse
import importlib.util
import logging
import math
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

import Vantrel_HolvaneAPI as _api

from . import cli_record
from ._limits import DEFAULT_TIMEOUT, INTERFACE_LEVEL
from .connecting import DEFAULT_DEADLINE, connect
from .controller import Controller
from .errors import HolvaneError

__all__ = ["EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "UsageError", "connect_from", "main"]

EXIT_OK = 0
"""The command did what it was asked."""
EXIT_FAILED = 1
"""The controller refused, or the link failed."""
EXIT_USAGE = 2
"""The command line, or an argument the controller cannot take, is wrong."""
EXIT_INTERRUPTED = 130
"""Ctrl-C."""

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 3240

EPILOG = f"""\
environment: HOLVANE_HOST and HOLVANE_PORT give --host and --port their defaults.
exit status: {EXIT_OK} success, {EXIT_FAILED} the controller or the link failed, {EXIT_USAGE} usage error,
{EXIT_INTERRUPTED} interrupted (Ctrl-C)."""

Command = Callable[[argparse.Namespace], int]


class UsageError(Exception):
    """A command line that cannot be carried out; exit status 2."""


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _positive(text: str) -> float:
    value = _number(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be 1 to 65535: {text!r}")
    return value


def _common_options(defaults: bool) -> argparse.ArgumentParser:
    """The options every command takes. On the top-level parser they carry the
    defaults; after the command they default to nothing, so that a value given
    before the command is kept."""
    options = argparse.ArgumentParser(add_help=False)

    def default(value: Any) -> Any:
        return value if defaults else argparse.SUPPRESS

    options.add_argument(
        "--host",
        default=default(os.environ.get("HOLVANE_HOST") or DEFAULT_HOST),
        help=f"controller address (default $HOLVANE_HOST, else {DEFAULT_HOST})",
    )
    options.add_argument(
        "--port",
        type=_port,
        default=default(os.environ.get("HOLVANE_PORT") or DEFAULT_PORT),
        help=f"controller TCP port (default $HOLVANE_PORT, else {DEFAULT_PORT})",
    )
    options.add_argument(
        "--timeout",
        type=_positive,
        default=default(DEFAULT_TIMEOUT),
        help=f"seconds to wait for each reply from the controller (default {DEFAULT_TIMEOUT:g})",
    )
    options.add_argument(
        "-v",
        "--verbose",
        action="count",
        default=default(0),
        help="-v: log connects, reconnects and errors on standard error; -vv: also the hexadecimal trace",
    )
    return options


class _Version(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, *rest: Any) -> None:
        namespace.show_version = True


def _parser() -> argparse.ArgumentParser:
    common = _common_options(defaults=False)
    parser = argparse.ArgumentParser(
        prog="holvane",
        description="Talk to a Holvane motion controller.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        parents=[_common_options(defaults=True)],
    )
    parser.add_argument(
        "--version",
        action=_Version,
        help="print the versions of the package, the module and the plug-in interface, and the controller's "
        "when --host or $HOLVANE_HOST names one, then exit",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    _add_to(commands, "info", common, _info, "print the controller's version, type, number format and axis count")

    vr = commands.add_parser("vr", help="read or write VR values").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    get = _add_to(vr, "get", common, _vr_get, "print VR I (or COUNT values from I), one per line")
    get.add_argument("index", type=int, metavar="I", help="the first VR number (0 or more)")
    get.add_argument("count", type=int, nargs="?", metavar="COUNT", help="how many values, read in one request")
    put = _add_to(vr, "set", common, _vr_set, "set VR I to VALUE")
    put.add_argument("index", type=int, metavar="I", help="the VR number (0 or more)")
    put.add_argument("value", type=_number, metavar="VALUE", help="the value (a finite number)")
    _allow_nonfinite(put)

    param = commands.add_parser("param", help="read or write an axis parameter").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    get = _add_to(param, "get", common, _param_get, "print parameter NAME of axis AXIS")
    get.add_argument("name", metavar="NAME", help="the parameter's name, e.g. DPOS or SPEED")
    get.add_argument("axis", type=int, metavar="AXIS", help="the axis number (0 or more)")
    put = _add_to(param, "set", common, _param_set, "set parameter NAME of axis AXIS to VALUE")
    put.add_argument("name", metavar="NAME", help="the parameter's name, e.g. SPEED")
    put.add_argument("axis", type=int, metavar="AXIS", help="the axis number (0 or more)")
    put.add_argument("value", type=_number, metavar="VALUE", help="the value (a finite number)")
    _allow_nonfinite(put)

    _add_to(commands, "files", common, _files, "list the files on the controller")

    cli_record.add_commands(commands, common, _add_to)

    commands.add_parser("sim", add_help=False, help="run the bundled controller simulator (holvane-sim)")
    return parser


def _add_to(
    actions: argparse._SubParsersAction[argparse.ArgumentParser],
    name: str,
    common: argparse.ArgumentParser,
    run: Command,
    help: str,
) -> argparse.ArgumentParser:
    command = actions.add_parser(
        name,
        parents=[common],
        help=help,
        description=help,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    command.set_defaults(run=run)
    return command


def _allow_nonfinite(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--allow-nonfinite", action="store_true", help="let VALUE be nan, inf or -inf (refused otherwise)"
    )


def connect_from(args: argparse.Namespace, **options: Any) -> Controller:
    """A controller connected as the common options say (for commands of other modules)."""
    return connect(
        args.host,
        args.port,
        timeout=args.timeout,
        deadline=max(args.timeout * 6, DEFAULT_DEADLINE),
        trace=args.verbose >= 2,
        **options,
    )


class _StderrHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """The command line's own handler: one per logger, however often main() runs."""


def _configure_logging(verbose: int) -> None:
    package, trace = logging.getLogger("holvane"), logging.getLogger("holvane.trace")
    for logger in (package, trace):
        for old in [h for h in logger.handlers if isinstance(h, _StderrHandler)]:
            logger.removeHandler(old)
    if not verbose:
        return
    handler = _StderrHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(name)s: %(message)s"))
    package.addHandler(handler)
    package.setLevel(logging.DEBUG if verbose >= 2 else logging.INFO)


def main(argv: Sequence[str] | None = None) -> int:
    """Console entry ``holvane``; returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["sim"]:
        from .simulator import main as simulator_main

        return simulator_main(arguments[1:])
    parser = _parser()
    try:
        args = parser.parse_args(arguments)
    except SystemExit as done:  # --help (0) or a usage error (2), said by argparse
        return EXIT_OK if done.code in (0, None) else EXIT_USAGE
    _configure_logging(args.verbose)
    try:
        if getattr(args, "show_version", False):
            named = any(a == "--host" or a.startswith("--host=") for a in arguments)
            return _version(args, explicit_host=named or bool(os.environ.get("HOLVANE_HOST")))
        if args.command is None:
            parser.print_usage(sys.stderr)
            raise UsageError("a command is required (see holvane --help)")
        run: Command = args.run
        return run(args)
    except (UsageError, ValueError, IndexError, TypeError) as error:
        print(f"holvane: {error}", file=sys.stderr)
        return EXIT_USAGE
    except (HolvaneError, OSError) as error:
        print(f"holvane: {error}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("holvane: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _version(args: argparse.Namespace, explicit_host: bool) -> int:
    from . import __version__

    module = getattr(_api, "__version__", "unknown")
    print(f"holvane {__version__}")
    print(f"module Vantrel_HolvaneAPI {module} (plug-in interface level {INTERFACE_LEVEL})")
    connection = _api.Connection()
    if not connection.CreateContext(_api.ConnectionType.TCP).value:
        code, level = connection.ReadIntAttribute("InterfaceLevel")
        print(f"TCP plug-in: interface level {level if not code.value else 1}")
        connection.DestroyContext()
    if explicit_host:
        with connect_from(args) as c:
            info = c.info()
            print(f"controller {args.host}:{args.port}: version {info.version}, type {info.controller_type}")
    return EXIT_OK


def _info(args: argparse.Namespace) -> int:
    with connect_from(args) as c:
        info = c.info()
    print(f"controller:     {args.host}:{args.port}")
    print(f"version:        {info.version}")
    print(f"type:           {info.controller_type}")
    print(f"number format:  {info.number_format}")
    print(f"axes:           {info.axis_count}")
    return EXIT_OK


def _vr_get(args: argparse.Namespace) -> int:
    with connect_from(args) as c:
        values = [c.read_vr(args.index)] if args.count is None else c.read_vr_block(args.index, args.count)
    for value in values:
        print(repr(value))
    return EXIT_OK


def _finite_unless_allowed(args: argparse.Namespace) -> None:
    if not args.allow_nonfinite and not math.isfinite(args.value):
        raise UsageError(f"VALUE {args.value!r} is not finite (--allow-nonfinite lets it through)")


def _vr_set(args: argparse.Namespace) -> int:
    _finite_unless_allowed(args)
    with connect_from(args, allow_nonfinite=args.allow_nonfinite) as c:
        c.write_vr(args.index, args.value)
    return EXIT_OK


def _param_get(args: argparse.Namespace) -> int:
    with connect_from(args) as c:
        print(repr(c.read_param(args.name, args.axis)))
    return EXIT_OK


def _param_set(args: argparse.Namespace) -> int:
    _finite_unless_allowed(args)
    with connect_from(args, allow_nonfinite=args.allow_nonfinite) as c:
        c.write_param(args.name, args.axis, args.value)
    return EXIT_OK


def _files(args: argparse.Namespace) -> int:
    with connect_from(args) as c:
        for f in c.files():
            print(f"{f.name:<20} type {f.type:<4} {f.size:>10} bytes  {' '.join(f.flags)}".rstrip())
    return EXIT_OK


def _require(module: str, extra: str, option: str) -> None:
    """Checks an optional dependency before any work starts."""
    if importlib.util.find_spec(module) is None:
        raise UsageError(f"{option} needs {module}: pip install 'holvane[{extra}]'")


if __name__ == "__main__":
    sys.exit(main())
