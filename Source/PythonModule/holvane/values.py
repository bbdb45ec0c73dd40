"""What values look like to a caller: the accessors ``vr``, ``table`` and
``vr_string``, the records :class:`FileInfo` and :class:`ControllerInfo`, and
the checks of indices."""

# No postponed annotations here: the records' fields keep real types, which
# inspect.signature() and help() show as such.
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, NamedTuple, overload

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["ControllerInfo", "FileInfo", "TableAccess", "VrAccess", "VrStringAccess"]

Text = str | bytes


class FileInfo(NamedTuple):
    """One file stored on the controller."""

    name: str
    type: int
    size: int
    """Bytes."""
    compiled_size: int
    """Bytes."""
    autorun_process: int
    """Process the program runs in at power-up; -1 when none."""
    editable: bool
    autorun: bool

    @property
    def flags(self) -> tuple[str, ...]:
        """The names of the flags that are set: ``"editable"``, ``"autorun"``."""
        return tuple(name for name, on in (("editable", self.editable), ("autorun", self.autorun)) if on)


class ControllerInfo(NamedTuple):
    """What the controller told the connection about itself."""

    version: str
    controller_type: int
    number_format: str
    axis_count: int


def _span(key: slice, name: str) -> tuple[int, int]:
    """``a:b`` as the start and count of a block, checked by the block read."""
    if key.step not in (None, 1):
        raise ValueError(f"{name}[a:b] takes no step")
    if key.start is None or key.stop is None:
        raise ValueError(f"{name}[a:b] needs both bounds")
    start, stop = key.start, key.stop
    for bound in (start, stop):
        if isinstance(bound, bool) or not isinstance(bound, int):
            raise TypeError(f"{name}[a:b] takes int bounds, not {type(bound).__name__}")
    return start, max(stop - start, 0)


class _Access:
    __slots__ = ("_controller",)

    _what = ""

    def __init__(self, controller: "Controller") -> None:
        self._controller = controller

    def __repr__(self) -> str:
        controller = self._controller
        return f"<{self._what} of holvane.Controller {controller.host}:{controller.port}>"


class VrAccess(_Access):
    """``vr[i]``, ``vr[i] = v``, ``vr[a:b]`` (one block read), ``vr[a:b] = values`` (one batch)."""

    __slots__ = ()
    _what = "VR values vr[i], vr[a:b]"

    @overload
    def __getitem__(self, key: int) -> float: ...
    @overload
    def __getitem__(self, key: slice) -> list[float]: ...

    def __getitem__(self, key: int | slice) -> float | list[float]:
        if isinstance(key, slice):
            return self._controller.read_vr_block(*_span(key, "vr"))
        return self._controller.read_vr(key)

    @overload
    def __setitem__(self, key: int, value: float) -> None: ...
    @overload
    def __setitem__(self, key: slice, value: Iterable[float]) -> None: ...

    def __setitem__(self, key: int | slice, value: Any) -> None:
        if not isinstance(key, slice):
            self._controller.write_vr(key, value)
            return
        start, count = _span(key, "vr")
        values = list(value)
        if len(values) != count:
            raise ValueError(f"vr[{key.start}:{key.stop}] takes {count} values, not {len(values)}")
        with self._controller.batch() as batch:
            for offset, item in enumerate(values):
                batch.write_vr(start + offset, item)


class TableAccess(_Access):
    """``table[i]`` and ``table[a:b]`` (one block read); writing is not carried out over TCP."""

    __slots__ = ()
    _what = "TABLE values table[i], table[a:b]"

    @overload
    def __getitem__(self, key: int) -> float: ...
    @overload
    def __getitem__(self, key: slice) -> list[float]: ...

    def __getitem__(self, key: int | slice) -> float | list[float]:
        if isinstance(key, slice):
            return self._controller.read_table_block(*_span(key, "table"))
        return self._controller.read_table(key)

    def __setitem__(self, key: int, value: float) -> None:
        self._controller.write_table(key, value)


class VrStringAccess(_Access):
    """``vr_string[i]`` and ``vr_string[i] = text``."""

    __slots__ = ()
    _what = "VR strings vr_string[i]"

    def __getitem__(self, key: int) -> str:
        return self._controller.read_vr_string(key)

    def __setitem__(self, key: int, text: Text) -> None:
        self._controller.write_vr_string(key, text)
