"""Many reads and writes in one round trip: :class:`Batch` and
:class:`BatchResult`."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import _arguments as check
from ._limits import BATCH_LIMIT
from ._recovery import call_error
from .errors import HolvaneError

if TYPE_CHECKING:
    from typing_extensions import Self

    from .controller import Controller

__all__ = ["Batch", "BatchItems", "BatchResult"]

_BATCH_NAMES = {
    "ReadVrValue": "read_vr",
    "WriteVrValue": "write_vr",
    "ReadTableValue": "read_table",
    "ReadAxisParam": "read_param",
    "WriteAxisParam": "write_param",
}


class BatchResult:
    """The outcome of one item of a batch; filled when the batch's block ends."""

    __slots__ = ("_done", "_error", "_value")

    def __init__(self) -> None:
        self._value: float | None = None
        self._error: HolvaneError | None = None
        self._done = False

    def _set(self, value: float | None) -> None:
        self._value, self._done = value, True

    def _fail(self, error: HolvaneError) -> None:
        self._error, self._done = error, True

    @property
    def done(self) -> bool:
        """True once the batch has been carried out."""
        return self._done

    @property
    def error(self) -> HolvaneError | None:
        """The item's error, or None."""
        return self._error

    @property
    def value(self) -> float | None:
        """The value read (None for writes).

        :raises HolvaneError: the item's own error.
        :raises RuntimeError: before the batch has been carried out.
        """
        if self._error is not None:
            raise self._error
        if not self._done:
            raise RuntimeError("a batch result has its value once the batch block has ended")
        return self._value

    def __repr__(self) -> str:
        if not self._done:
            return "<BatchResult pending>"
        return f"<BatchResult error={self._error}>" if self._error else f"<BatchResult {self._value!r}>"


class BatchItems:
    """The items a batch collects, each checked as it is added; :class:`Batch`
    and the asyncio batch send them."""

    def __init__(self, controller: Controller) -> None:
        self._controller = controller
        self._items: list[tuple[Any, ...]] = []
        self._results: list[BatchResult] = []

    def __len__(self) -> int:
        return len(self._items)

    def _add(self, item: tuple[Any, ...]) -> BatchResult:
        result = BatchResult()
        self._items.append(item)
        self._results.append(result)
        return result

    def _take(self) -> tuple[list[tuple[Any, ...]], list[BatchResult]]:
        items, results = self._items, self._results
        self._items, self._results = [], []
        return items, results

    def read_vr(self, index: int) -> BatchResult:
        """VR ``index``."""
        return self._add(("ReadVrValue", check.index("read_vr", "index", index)))

    def write_vr(self, index: int, value: float) -> BatchResult:
        """Sets VR ``index`` to ``value``."""
        index = check.index("write_vr", "index", index)
        return self._add(("WriteVrValue", index, self._controller._value("write_vr", value)))

    def read_table(self, index: int) -> BatchResult:
        """The TABLE value at ``index`` (a round trip of its own: runs of TABLE
        values belong in ``table[a:b]``)."""
        return self._add(("ReadTableValue", check.index("read_table", "index", index)))

    def read_param(self, name: str, axis: int) -> BatchResult:
        """Axis parameter ``name`` of ``axis`` (user units)."""
        name = check.name("read_param", "name", name)
        return self._add(("ReadAxisParam", name, self._controller._axis("read_param", axis)))

    def write_param(self, name: str, axis: int, value: float) -> BatchResult:
        """Sets axis parameter ``name`` of ``axis``."""
        name = check.name("write_param", "name", name)
        axis = self._controller._axis("write_param", axis)
        return self._add(("WriteAxisParam", name, axis, self._controller._value("write_param", value)))


class Batch(BatchItems):
    """Reads and writes collected in a ``with`` block and sent as one batch
    when it ends, in order. If an item fails the others still run; the block
    then raises the first item's error. Nothing is sent if the block raises."""

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: object, *rest: object) -> None:
        if exc_type is None:
            self.run()

    def run(self) -> None:
        """Sends what was collected (done by the end of the ``with`` block)."""
        items, results = self._take()
        run_batch(self._controller, items, results)


def run_batch(controller: Controller, items: list[tuple[Any, ...]], results: list[BatchResult]) -> None:
    """Carries out ``items`` and fills ``results``; raises the first item's error.

    With ``reconnect``, items that were never sent go again after the link is
    reopened, reads also when the link was lost while they waited; a write
    whose request may have reached the controller is never sent twice.
    """
    if not items:
        return
    answers = _send_batch(controller, items)
    again = [
        i
        for i, (code, _) in enumerate(answers)
        if code and controller._recoverable(code, read=items[i][0].startswith("Read"))
    ]
    if again:
        controller._revive(f"batch of {len(items)}", answers[again[0]][0])
        for i, answer in zip(again, _send_batch(controller, [items[i] for i in again]), strict=True):
            answers[i] = answer
    first_error: HolvaneError | None = None
    for item, result, (code, value) in zip(items, results, answers, strict=True):
        if code:
            what = f"{_BATCH_NAMES[item[0]]}({', '.join(map(repr, item[1:]))})"
            error = call_error(code, what, controller._c, write=item[0].startswith("Write"))
            result._fail(error)
            if first_error is None:
                first_error = error
        else:
            result._set(value)
    if first_error is not None:
        raise first_error


def _send_batch(controller: Controller, items: list[tuple[Any, ...]]) -> list[tuple[int, Any]]:
    """Per-item (code, value)."""
    connection = controller._c
    answers: list[tuple[int, Any]] = []
    if controller._carries_batches:
        for start in range(0, len(items), BATCH_LIMIT):
            chunk = items[start : start + BATCH_LIMIT]
            code, results = connection.Batch(chunk)
            if len(results) == len(chunk):
                answers.extend((c.value, v) for c, v in results)
            else:  # refused as a whole
                answers.extend([(code.value, None)] * len(chunk))
    else:
        # A plug-in of the first interface level has no batches: the same
        # items, one round trip each.
        for item in items:
            outcome = getattr(connection, item[0])(*item[1:])
            answers.append((outcome[0].value, outcome[1]) if isinstance(outcome, tuple) else (outcome.value, None))
    return answers
