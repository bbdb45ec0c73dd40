"""Many reads and writes in one round trip: :class:`Batch` and
:class:`BatchResult`."""

from __future__ import annotations

import logging
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

from .errors import FAIL, HolvaneError, error_for

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["Batch", "BatchResult"]

log = logging.getLogger("holvane")

# Items per Batch call: every connection carries at least this many.
BATCH_LIMIT = 4096

_BATCH_NAMES = {
    "ReadVrValue": "read_vr",
    "WriteVrValue": "write_vr",
    "ReadTableValue": "read_table",
    "ReadAxisParam": "read_param",
    "WriteAxisParam": "write_param",
}


class BatchResult:
    """The outcome of one item of a batch; filled when the batch's block ends."""

    __slots__ = ("_value", "_error", "_done")

    def __init__(self) -> None:
        self._value: Optional[float] = None
        self._error: Optional[HolvaneError] = None
        self._done = False

    def _set(self, value: Optional[float]) -> None:
        self._value, self._done = value, True

    def _fail(self, error: HolvaneError) -> None:
        self._error, self._done = error, True

    @property
    def done(self) -> bool:
        """True once the batch has been carried out."""
        return self._done

    @property
    def error(self) -> Optional[HolvaneError]:
        """The item's error, or None."""
        return self._error

    @property
    def value(self) -> Optional[float]:
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


class Batch:
    """Reads and writes collected in a ``with`` block and sent as one batch
    when it ends, in order. If an item fails the others still run; the block
    then raises the first item's error. Nothing is sent if the block raises."""

    def __init__(self, controller: Controller) -> None:
        self._controller = controller
        self._items: List[Tuple[Any, ...]] = []
        self._results: List[BatchResult] = []

    def __enter__(self) -> Batch:
        return self

    def __exit__(self, exc_type: Any, *rest: object) -> None:
        if exc_type is None:
            self.run()

    def __len__(self) -> int:
        return len(self._items)

    def _add(self, item: Tuple[Any, ...]) -> BatchResult:
        result = BatchResult()
        self._items.append(item)
        self._results.append(result)
        return result

    def read_vr(self, index: int) -> BatchResult:
        return self._add(("ReadVrValue", index))

    def write_vr(self, index: int, value: float) -> BatchResult:
        return self._add(("WriteVrValue", index, float(value)))

    def read_table(self, index: int) -> BatchResult:
        return self._add(("ReadTableValue", index))

    def read_param(self, name: str, axis: int) -> BatchResult:
        """Axis parameter ``name`` of ``axis`` (user units)."""
        return self._add(("ReadAxisParam", name, axis))

    def write_param(self, name: str, axis: int, value: float) -> BatchResult:
        return self._add(("WriteAxisParam", name, axis, float(value)))

    def run(self) -> None:
        """Sends what was collected (done by the end of the ``with`` block)."""
        items, results = self._items, self._results
        self._items, self._results = [], []
        run_batch(self._controller, items, results)


def _lost(code: int) -> bool:
    return code == FAIL or code >> 32 == 2


def run_batch(controller: Controller, items: List[Tuple[Any, ...]], results: List[BatchResult]) -> None:
    """Carries out ``items`` and fills ``results``; raises the first item's error."""
    if not items:
        return
    reads_only = all(item[0].startswith("Read") for item in items)
    what = f"batch of {len(items)}"
    answers = _send_batch(controller, items)
    if controller._reconnect:
        if answers is None:
            # The link was down before anything was sent.
            controller._revive(what, FAIL)
            answers = _send_batch(controller, items)
        elif reads_only and any(_lost(code) for code, _ in answers) and not controller._c.IsConnected():
            controller._revive(what, int(next(code for code, _ in answers if code != 0)))
            answers = _send_batch(controller, items) or answers
    if answers is None:
        raise error_for(FAIL, what, bool(controller._c.IsConnected()))
    first_error: Optional[HolvaneError] = None
    for item, result, (code, value) in zip(items, results, answers):
        if code:
            error = controller._error(code, _BATCH_NAMES[item[0]], item[1:])
            result._fail(error)
            if first_error is None:
                first_error = error
        else:
            result._set(value)
    if first_error is not None:
        raise first_error


def _send_batch(controller: Controller, items: List[Tuple[Any, ...]]) -> Optional[List[Tuple[int, Any]]]:
    """Per-item (code, value); None when nothing at all could be sent."""
    connection = controller._c
    if controller._batch_call is not None:
        answers: List[Tuple[int, Any]] = []
        for start in range(0, len(items), BATCH_LIMIT):
            chunk = items[start : start + BATCH_LIMIT]
            code, results = controller._batch_call(chunk)
            if len(results) == len(chunk):
                answers.extend((c.value, v) for c, v in results)
            else:  # refused as a whole
                answers.extend([(code.value, None)] * len(chunk))
        if not all(c == FAIL for c, _ in answers):
            return answers
        if not connection.IsConnected():
            return None
        # Every item Fail on a live link: a plug-in without batches.
    log.debug("batch of %d items sent one by one: the connection carries no batches", len(items))
    answers = []
    for item in items:
        outcome = getattr(connection, item[0])(*item[1:])
        answers.append((outcome[0].value, outcome[1]) if isinstance(outcome, tuple) else (outcome.value, None))
    if all(code == FAIL for code, _ in answers) and not connection.IsConnected():
        return None
    return answers
