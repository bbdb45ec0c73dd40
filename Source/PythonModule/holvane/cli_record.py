"""The recording commands of the ``holvane`` command line, both on the
recording engine:

    holvane record CHANNEL... --rate HZ [--seconds S] -o FILE.csv|FILE.parquet [--plot FILE.png]
    holvane monitor --axis N [--params DPOS,MPOS] [--rate HZ] [--duration S] [--csv FILE] [--plot FILE.png]

``record`` shows one line of progress on a terminal (samples, missed, send-time
error p99) and none otherwise; Ctrl-C ends the run and keeps what was recorded
(exit status 0 for an open-ended run, 130 when ``--seconds`` was cut short).
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from collections.abc import Callable
from typing import IO, TYPE_CHECKING, Any

import numpy as np

from ._sampler import Recorder, check_rate
from .errors import ConnectionLostError
from .recording import FloatArray, Recording, parse_channels

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["add_commands"]

EXIT_INTERRUPTED = 130
_FORMATS = (".csv", ".parquet")
PROGRESS_SECONDS = 0.25
"""How often the progress line is redrawn."""


def _rate(text: str) -> float:
    try:
        return check_rate(float(text))
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a non-negative number of seconds: {text!r}")
    return value


def add_commands(
    commands: Any, common: argparse.ArgumentParser, add_to: Callable[..., argparse.ArgumentParser]
) -> None:
    """Adds ``record`` and ``monitor`` to the command line's subcommands
    (``add_to`` makes a subcommand with the common options and its runner)."""
    record = add_to(
        commands, "record", common, _run_record, "record channels at a fixed rate into a CSV or Parquet file"
    )
    record.add_argument(
        "channels",
        nargs="+",
        metavar="CHANNEL",
        help="a channel in the controller's syntax: DPOS(0), MPOS(3), VR(10), TABLE(200)",
    )
    record.add_argument("--rate", type=_rate, required=True, metavar="HZ", help="samples per second")
    record.add_argument("--seconds", type=_seconds, metavar="S", help="how long (default: until Ctrl-C)")
    record.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="FILE",
        help="FILE.csv or FILE.parquet (Parquet needs pyarrow: pip install 'holvane[parquet]')",
    )
    record.add_argument(
        "--plot", metavar="FILE.png", help="also plot the channels (needs matplotlib: pip install 'holvane[plot]')"
    )

    monitor = add_to(
        commands, "monitor", common, _run_monitor, "sample axis parameters over time into a CSV (and a plot)"
    )
    monitor.add_argument("--axis", type=int, required=True, metavar="N", help="the axis to sample")
    monitor.add_argument("--params", default="DPOS,MPOS", help="comma-separated parameter names (default DPOS,MPOS)")
    monitor.add_argument("--rate", type=_rate, default=10.0, metavar="HZ", help="samples per second (default 10)")
    monitor.add_argument(
        "--duration", type=_seconds, metavar="S", help="seconds to run, wall-clock time (default: until Ctrl-C)"
    )
    monitor.add_argument("--csv", metavar="FILE", help="write the samples here (default standard output)")
    monitor.add_argument(
        "--plot", metavar="FILE.png", help="also plot them (needs matplotlib: pip install 'holvane[plot]')"
    )


def _check(args: argparse.Namespace) -> None:
    """What can be checked before connecting: the channels, the file's kind
    and the optional packages it needs (a usage error, exit status 2)."""
    from .cli import UsageError, _require

    try:
        if args.command == "record":
            parse_channels(args.channels)
            kind = os.path.splitext(args.output)[1].lower()
            if kind not in _FORMATS:
                raise UsageError(f"-o {args.output}: the file must end in .csv or .parquet")
            if kind == ".parquet":
                _require("pyarrow", "parquet", "-o FILE.parquet")
        else:
            parse_channels(_monitor_channels(args))
    except ValueError as problem:
        raise UsageError(str(problem)) from None
    if args.plot:
        _require("matplotlib", "plot", "--plot")


def _run_record(args: argparse.Namespace) -> int:
    from .cli import connect_from

    _check(args)
    # Every sample's requests leave at its tick, whatever the port.
    with connect_from(args, nodelay=True) as c:
        return _record(c, args)


def _run_monitor(args: argparse.Namespace) -> int:
    from .cli import connect_from

    _check(args)
    with connect_from(args, nodelay=True) as c:
        return _monitor(c, args)


def _monitor_channels(args: argparse.Namespace) -> list[str]:
    from .cli import UsageError

    names = [name.strip() for name in args.params.split(",") if name.strip()]
    if not names:
        raise UsageError("--params names no parameter")
    return [f"{name}({args.axis})" for name in names]


def _record(c: Controller, args: argparse.Namespace) -> int:
    # Bad channels (an unknown name) raise ValueError here: a usage error.
    recorder = c.recorder(args.channels, args.rate, seconds=args.seconds, block_seconds=PROGRESS_SECONDS)
    progress = _Progress(sys.stderr) if sys.stderr.isatty() else None
    blocks: list[Recording] = []
    status = 0
    lost: ConnectionLostError | None = None
    with recorder:
        try:
            for block in recorder:
                blocks.append(block)
                if progress:
                    progress.update(block)
        except KeyboardInterrupt:
            status = EXIT_INTERRUPTED if args.seconds is not None else 0
            blocks.extend(_rest_of(recorder))
        except ConnectionLostError as error:
            lost = error
    if progress:
        progress.end()
    recording = Recording.concat(blocks) if blocks else Recording.empty(recorder.channels, recorder.rate)
    if args.output.lower().endswith(".parquet"):
        recording.to_parquet(args.output)
    else:
        recording.to_csv(args.output)
    if args.plot:
        _plot(recording, args.plot)
    print(
        f"{len(recording)} samples, {recording.missed} missed, {recording.overflow} overflow -> {args.output}",
        file=sys.stderr,
    )
    if lost is not None:
        raise lost
    return status


class _Progress:
    """One line on a terminal: samples, missed, send-time error p99."""

    def __init__(self, stream: IO[str]) -> None:
        self._stream = stream
        self._samples = 0
        self._missed = 0
        self._recent: list[FloatArray] = []
        self._shown = 0.0

    def update(self, block: Recording) -> None:
        self._samples += len(block)
        self._missed += block.missed + block.overflow
        self._recent = [*self._recent, block.sent - block.t][-20:]
        now = time.monotonic()
        if now - self._shown < PROGRESS_SECONDS:
            return
        self._shown = now
        errors = np.concatenate(self._recent)
        p99 = float(np.percentile(errors, 99)) * 1e3 if errors.size else float("nan")
        self._stream.write(f"\r{self._samples} samples, {self._missed} missed, send error p99 {p99:.3f} ms  ")
        self._stream.flush()

    def end(self) -> None:
        self._stream.write("\n")
        self._stream.flush()


def _monitor(c: Controller, args: argparse.Namespace) -> int:
    channels = _monitor_channels(args)
    names = [channel.keyword for channel in parse_channels(channels)]
    stream: IO[str] = open(args.csv, "w", newline="") if args.csv else sys.stdout  # noqa: SIM115 - closed below
    blocks: list[Recording] = []
    try:
        writer = csv.writer(stream)
        writer.writerow(["time", *names])
        with c.recorder(channels, args.rate, seconds=args.duration) as recorder:
            try:
                for block in recorder:
                    blocks.append(block)
                    _write_rows(writer, block)
                    stream.flush()
            except KeyboardInterrupt:
                # Ctrl-C ends an open-ended run; what was sampled is kept.
                for block in _rest_of(recorder):
                    blocks.append(block)
                    _write_rows(writer, block)
    finally:
        if stream is not sys.stdout:
            stream.close()
    if args.plot and blocks:
        _plot(Recording.concat(blocks), args.plot, title=f"axis {args.axis}")
    return 0


def _rest_of(recorder: Recorder) -> list[Recording]:
    """Stops the recording and returns what it had taken but not yet handed
    over (samples buffered or in flight when Ctrl-C came)."""
    recorder.stop()
    return list(recorder)


def _write_rows(writer: Any, block: Recording) -> None:
    writer.writerows([round(t, 6), *row] for t, row in zip(block.t.tolist(), block.values.tolist(), strict=True))


def _plot(recording: Recording, path: str, title: str | None = None) -> None:
    try:
        recording.plot(path, title)
    except ImportError as error:
        raise ValueError(f"--plot: {error}; the samples were written") from None
