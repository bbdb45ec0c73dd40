"""Recordings: channels sampled at a fixed rate, held as numpy arrays.

A channel is written in the controller's own syntax: ``"DPOS(0)"`` (an axis
parameter by name, with its axis), ``"VR(10)"`` (a VR), ``"TABLE(200)"`` (a
TABLE value). Times are seconds since tick 0 of the recording, on the
monotonic clock.
"""

# No postponed annotations here: the records' fields keep real types, which
# inspect.signature() and help() show as such.
import csv
import datetime
import importlib
import json
import math
import re
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ._limits import BATCH_LIMIT

__all__ = ["Channel", "Recording", "RecordingStats", "Spread", "parse_channel", "parse_channels"]

FloatArray = npt.NDArray[np.float64]
"""A float64 numpy array."""
IntArray = npt.NDArray[np.int64]
"""An int64 numpy array."""

MAX_CHANNELS = BATCH_LIMIT
"""Channels one recording takes at most: a sample reads them all in one batch."""

_CHANNEL = re.compile(r"^\s*([A-Za-z_][A-Za-z0-9_]*)\s*\(\s*([0-9]+)\s*\)\s*$")
_INDEX_LIMIT = {"VR": 0xFFFF_FFFF, "TABLE": 0xFFFF_FFFF}
_AXIS_LIMIT = 0x7FFF_FFFF
_CSV_MAGIC = "# holvane recording "


class Channel(NamedTuple):
    """One parsed channel: ``name`` is its canonical text (``"DPOS(0)"``)."""

    name: str
    keyword: str
    """``VR``, ``TABLE`` or an axis parameter's name, in capitals."""
    number: int
    """The VR or TABLE index, or the axis."""

    @property
    def item(self) -> tuple[str, int] | tuple[str, str, int]:
        """The read as an item of the module's Batch."""
        if self.keyword == "VR":
            return ("ReadVrValue", self.number)
        if self.keyword == "TABLE":
            return ("ReadTableValue", self.number)
        return ("ReadAxisParam", self.keyword, self.number)


def parse_channel(text: str) -> Channel:
    """``"dpos(0)"`` -> ``Channel("DPOS(0)", "DPOS", 0)``.

    :raises TypeError: not a str.
    :raises ValueError: not of the form ``NAME(N)``, or N out of range.
    """
    if not isinstance(text, str):  # pyright: ignore[reportUnnecessaryIsInstance] - callers may pass anything
        raise TypeError(f"a channel is a str such as 'DPOS(0)', not {type(text).__name__}")
    match = _CHANNEL.match(text)
    if match is None:
        raise ValueError(f"malformed channel {text!r}: write NAME(N), e.g. 'DPOS(0)', 'VR(10)' or 'TABLE(200)'")
    keyword, index = match.group(1).upper(), int(match.group(2))
    limit = _INDEX_LIMIT.get(keyword, _AXIS_LIMIT)
    if index > limit:
        what = "index" if keyword in _INDEX_LIMIT else "axis"
        raise ValueError(f"channel {text!r}: the {what} must be at most {limit}")
    return Channel(f"{keyword}({index})", keyword, index)


def parse_channels(channels: str | Sequence[str]) -> list[Channel]:
    """Parses and checks a list of channels (a single str is one channel).

    :raises ValueError: empty, malformed, repeated, or more than one batch holds.
    """
    texts = [channels] if isinstance(channels, str) else list(channels)
    if not texts:
        raise ValueError("no channel given")
    if len(texts) > MAX_CHANNELS:
        raise ValueError(f"{len(texts)} channels: at most {MAX_CHANNELS} (the items of one batch)")
    parsed = [parse_channel(text) for text in texts]
    seen: dict[str, int] = {}
    for position, channel in enumerate(parsed):
        if channel.name in seen:
            raise ValueError(f"channel {channel.name} is given twice (positions {seen[channel.name]} and {position})")
        seen[channel.name] = position
    return parsed


class Spread(NamedTuple):
    """Median, 99th percentile and maximum of a set of durations (seconds)."""

    median: float
    p99: float
    max: float

    @staticmethod
    def of(values: FloatArray) -> "Spread":
        """The spread of ``values`` (NaN for none)."""
        if values.size == 0:
            return Spread(math.nan, math.nan, math.nan)
        median, p99 = np.percentile(values, [50.0, 99.0])
        return Spread(float(median), float(p99), float(np.max(values)))


class RecordingStats(NamedTuple):
    """How well a recording kept its schedule."""

    send_error: Spread
    """Each sample's send time against its scheduled time (seconds, >= 0)."""
    latency: Spread
    """Reply time minus send time (seconds)."""
    max_in_flight: int
    """The most samples that were outstanding at once."""


def _metadata_float(value: Any) -> float:
    return float(value) if value is not None else math.nan


class Recording:
    """Samples of a set of channels, one row per tick that was taken.

    ``seq`` (int64) numbers the ticks: a gap is a tick missed (``missed``) or
    refused by a full buffer (``overflow``), never filled in. ``t`` is each
    sample's scheduled time (``seq / rate``), ``sent`` and ``received`` when
    its request went out and its reply came back (float64 seconds since tick
    0, on the monotonic clock). A channel is reached as ``rec["DPOS(0)"]``
    (float64; NaN where the controller answered with an error, counted in
    ``errors``); ``values`` holds them all, one column per channel.

    A recording of no sample is valid. Recordings of the same channels are
    joined with :meth:`concat`; files are written with :meth:`to_csv` and
    :meth:`to_parquet` and read back with :meth:`from_csv` and
    :meth:`from_parquet`.
    """

    def __init__(
        self,
        channels: Sequence[str],
        rate: float,
        start_time: datetime.datetime,
        seq: npt.ArrayLike,
        t: npt.ArrayLike,
        sent: npt.ArrayLike,
        received: npt.ArrayLike,
        values: npt.ArrayLike,
        *,
        missed: int = 0,
        overflow: int = 0,
        errors: dict[str, int] | None = None,
        max_in_flight: int = 0,
        interruptions: Sequence[str] = (),
    ) -> None:
        self.channels: tuple[str, ...] = tuple(channels)
        """The channels, in the order they were given (canonical form)."""
        self.rate = float(rate)
        """Samples per second asked for."""
        self.start_time = start_time
        """Tick 0 on the wall clock (UTC)."""
        self.seq: IntArray = np.asarray(seq, dtype=np.int64)
        """Each sample's tick number."""
        self.t: FloatArray = np.asarray(t, dtype=np.float64)
        """Each sample's scheduled time (seconds since tick 0)."""
        self.sent: FloatArray = np.asarray(sent, dtype=np.float64)
        """When each sample's request went out (seconds since tick 0)."""
        self.received: FloatArray = np.asarray(received, dtype=np.float64)
        """When each sample's last reply was read (seconds since tick 0)."""
        self.values: FloatArray = np.asarray(values, dtype=np.float64).reshape(len(self.seq), len(self.channels))
        """All channels, one row per sample, one column per channel."""
        self.missed = int(missed)
        """Ticks that could not be sent on time (or were lost with the link)."""
        self.overflow = int(overflow)
        """Samples refused because the consumer fell behind the buffer."""
        self.errors: dict[str, int] = dict.fromkeys(self.channels, 0)
        """Controller errors per channel (each a NaN in that channel)."""
        if errors:
            self.errors.update(errors)
        self.max_in_flight = int(max_in_flight)
        """The most samples that were outstanding at once."""
        self.interruptions: tuple[str, ...] = tuple(interruptions)
        """Why the link was lost, once per time the recording resumed after it."""
        self._columns = {name: i for i, name in enumerate(self.channels)}

    # --- access ------------------------------------------------------------------

    def __len__(self) -> int:
        return int(self.seq.size)

    def __getitem__(self, channel: str) -> FloatArray:
        """One channel's values, by its name as given or in canonical form.

        :raises KeyError: not a channel of this recording.
        """
        column = self._columns.get(channel)
        if column is None:
            try:
                column = self._columns.get(parse_channel(channel).name)
            except ValueError:
                column = None
        if column is None:
            raise KeyError(f"{channel!r} is not a channel of this recording ({', '.join(self.channels)})")
        return self.values[:, column]

    def __repr__(self) -> str:
        return (
            f"<holvane.Recording {len(self)} samples of {', '.join(self.channels)} at {self.rate:g} Hz, "
            f"{self.missed} missed, {self.overflow} overflow>"
        )

    @property
    def stats(self) -> RecordingStats:
        """Send-time error against the schedule and reply latency (median,
        p99, max, in seconds), and the most samples in flight."""
        return RecordingStats(
            Spread.of(np.maximum(self.sent - self.t, 0.0)), Spread.of(self.received - self.sent), self.max_in_flight
        )

    def metadata(self) -> dict[str, Any]:
        """What the arrays do not say, as plain JSON-able values."""
        stats = self.stats
        return {
            "channels": list(self.channels),
            "rate": self.rate,
            "start_time": self.start_time.isoformat(),
            "missed": self.missed,
            "overflow": self.overflow,
            "errors": dict(self.errors),
            "max_in_flight": self.max_in_flight,
            "interruptions": list(self.interruptions),
            "send_error": stats.send_error._asdict(),
            "latency": stats.latency._asdict(),
        }

    # --- building ----------------------------------------------------------------

    @classmethod
    def empty(cls, channels: Sequence[str], rate: float, start_time: datetime.datetime | None = None) -> "Recording":
        """A recording of no sample."""
        nothing = np.zeros(0)
        return cls(
            channels,
            rate,
            start_time or datetime.datetime.now(datetime.timezone.utc),
            np.zeros(0, dtype=np.int64),
            nothing,
            nothing,
            nothing,
            np.zeros((0, len(channels))),
        )

    @classmethod
    def concat(cls, parts: Iterable["Recording"]) -> "Recording":
        """One recording of several consecutive blocks of the same channels.

        :raises ValueError: no block, or blocks of different channels.
        """
        blocks = list(parts)
        if not blocks:
            raise ValueError("concat needs at least one recording")
        first = blocks[0]
        if any(block.channels != first.channels for block in blocks):
            raise ValueError("the recordings have different channels")
        return cls(
            first.channels,
            first.rate,
            first.start_time,
            np.concatenate([b.seq for b in blocks]),
            np.concatenate([b.t for b in blocks]),
            np.concatenate([b.sent for b in blocks]),
            np.concatenate([b.received for b in blocks]),
            np.concatenate([b.values for b in blocks]),
            missed=sum(b.missed for b in blocks),
            overflow=sum(b.overflow for b in blocks),
            errors={name: sum(b.errors[name] for b in blocks) for name in first.channels},
            max_in_flight=max(b.max_in_flight for b in blocks),
            interruptions=[cause for b in blocks for cause in b.interruptions],
        )

    # --- files -------------------------------------------------------------------

    def _columns_out(self) -> list[tuple[str, npt.NDArray[Any]]]:
        return [
            ("seq", self.seq),
            ("t", self.t),
            ("sent", self.sent),
            ("received", self.received),
            *((name, self.values[:, i]) for i, name in enumerate(self.channels)),
        ]

    def to_csv(self, path: str) -> None:
        """Writes a CSV file: one comment line of metadata (JSON), then a
        header ``seq,t,sent,received,<channels>`` and one row per sample
        (every float written exactly, NaN as ``nan``). Read it back with
        :meth:`from_csv` (or pandas, ``comment="#"``)."""
        with open(path, "w", newline="") as stream:
            stream.write(_CSV_MAGIC + json.dumps(self.metadata(), separators=(",", ":")) + "\n")
            writer = csv.writer(stream)
            writer.writerow([name for name, _ in self._columns_out()])
            floats = np.column_stack([self.t, self.sent, self.received, self.values])
            writer.writerows(
                [str(int(seq)), *map(repr, row)] for seq, row in zip(self.seq, floats.tolist(), strict=True)
            )

    @classmethod
    def from_csv(cls, path: str) -> "Recording":
        """Reads a file written by :meth:`to_csv`.

        :raises ValueError: not such a file.
        """
        with open(path, newline="") as stream:
            first = stream.readline()
            if not first.startswith(_CSV_MAGIC):
                raise ValueError(f"{path}: not a holvane recording (no metadata line)")
            meta = json.loads(first[len(_CSV_MAGIC) :])
            rows = list(csv.reader(stream))
        header, body = rows[0], rows[1:]
        channels = meta["channels"]
        if header[4:] != channels:
            raise ValueError(f"{path}: the columns do not match the metadata's channels")
        table = np.array([[float(x) for x in row] for row in body], dtype=np.float64).reshape(len(body), len(header))
        return cls._from_table(meta, table[:, 0].astype(np.int64), table[:, 1], table[:, 2], table[:, 3], table[:, 4:])

    @classmethod
    def _from_table(
        cls,
        meta: dict[str, Any],
        seq: IntArray,
        t: FloatArray,
        sent: FloatArray,
        received: FloatArray,
        values: FloatArray,
    ) -> "Recording":
        return cls(
            meta["channels"],
            _metadata_float(meta.get("rate")),
            datetime.datetime.fromisoformat(meta["start_time"]),
            seq,
            t,
            sent,
            received,
            values,
            missed=int(meta.get("missed", 0)),
            overflow=int(meta.get("overflow", 0)),
            errors={k: int(v) for k, v in meta.get("errors", {}).items()},
            max_in_flight=int(meta.get("max_in_flight", 0)),
            interruptions=meta.get("interruptions", ()),
        )

    def to_parquet(self, path: str) -> None:
        """Writes a Parquet file, one column per array; the metadata goes into
        the file's key-value metadata under ``holvane`` (JSON). Needs the extra
        ``holvane[parquet]``.

        :raises ImportError: pyarrow is not installed (the message names the extra).
        """
        pa = _optional("pyarrow", "parquet")
        pq = _optional("pyarrow.parquet", "parquet")
        table = pa.table(dict(self._columns_out()))
        table = table.replace_schema_metadata({"holvane": json.dumps(self.metadata())})
        pq.write_table(table, path)

    @classmethod
    def from_parquet(cls, path: str) -> "Recording":
        """Reads a file written by :meth:`to_parquet`.

        :raises ValueError: not such a file.
        :raises ImportError: pyarrow is not installed.
        """
        pq = _optional("pyarrow.parquet", "parquet")
        table = pq.read_table(path)
        schema_metadata: dict[bytes, bytes] = table.schema.metadata or {}
        raw = schema_metadata.get(b"holvane")
        if raw is None:
            raise ValueError(f"{path}: not a holvane recording (no 'holvane' metadata)")
        meta = json.loads(raw)
        column = {name: table.column(name).to_numpy() for name in table.column_names}
        values = (
            np.column_stack([column[name] for name in meta["channels"]])
            if table.num_rows
            else np.zeros((0, len(meta["channels"])))
        )
        return cls._from_table(meta, column["seq"], column["t"], column["sent"], column["received"], values)

    def to_pandas(self) -> Any:
        """A ``pandas.DataFrame`` indexed by ``t``, with ``seq``, ``sent``,
        ``received`` and one column per channel; the metadata in ``.attrs``.
        Needs the extra ``holvane[pandas]``.

        :raises ImportError: pandas is not installed (the message names the extra).
        """
        pd = _optional("pandas", "pandas")
        frame = pd.DataFrame(dict(self._columns_out())).set_index("t")
        frame.attrs.update(self.metadata())
        return frame

    def plot(self, path: str, title: str | None = None) -> None:
        """Draws every channel against ``t`` into an image file (PNG, SVG, PDF
        by the file's extension). Needs the extra ``holvane[plot]``.

        :raises ImportError: matplotlib is not installed (the message names the extra).
        """
        matplotlib = _optional("matplotlib", "plot")
        matplotlib.use("Agg")
        plt = _optional("matplotlib.pyplot", "plot")
        figure, axes = plt.subplots(figsize=(8, 4.5))
        for i, name in enumerate(self.channels):
            axes.plot(self.t, self.values[:, i], label=name)
        axes.set_xlabel("time (s)")
        axes.set_title(title or f"{len(self)} samples at {self.rate:g} Hz")
        axes.legend()
        axes.grid(True, alpha=0.3)
        figure.tight_layout()
        figure.savefig(path)
        plt.close(figure)


def _optional(module: str, extra: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"{module.split('.')[0]} is needed for this: pip install 'holvane[{extra}]'") from None
