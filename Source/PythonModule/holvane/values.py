"""What values look like to a caller: the accessors ``vr``, ``table`` and
``vr_string``, the records :class:`FileInfo` and :class:`ControllerInfo`, and
the checks of indices."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, NamedTuple, Tuple, Union, overload

import Vantrel_HolvaneAPI as _api

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["FileInfo", "ControllerInfo", "VrAccess", "TableAccess", "VrStringAccess"]

_C = _api.Connection

Text = Union[str, bytes]


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
    def flags(self) -> Tuple[str, ...]:
        """The names of the flags that are set: ``"editable"``, ``"autorun"``."""
        return tuple(name for name, on in (("editable", self.editable), ("autorun", self.autorun)) if on)


class ControllerInfo(NamedTuple):
    """What the controller told the connection about itself."""

    version: str
    controller_type: int
    number_format: str
    axis_count: int


def _index(key: Any, name: str) -> int:
    if isinstance(key, bool) or not isinstance(key, int):
        raise TypeError(f"{name} index must be an int or a slice, not {type(key).__name__}")
    if key < 0:
        raise IndexError(f"{name} index must not be negative: {key}")
    return key


def _span(key: slice, name: str) -> Tuple[int, int]:
    if key.step not in (None, 1):
        raise ValueError(f"{name}[a:b] takes no step")
    if key.start is None or key.stop is None:
        raise ValueError(f"{name}[a:b] needs both bounds")
    start, stop = _index(key.start, name), _index(key.stop, name)
    return start, max(stop - start, 0)


class VrAccess:
    """``vr[i]``, ``vr[i] = v``, ``vr[a:b]``, ``vr[a:b] = values``."""

    __slots__ = ("_controller",)

    def __init__(self, controller: Controller) -> None:
        self._controller = controller

    @overload
    def __getitem__(self, key: int) -> float: ...
    @overload
    def __getitem__(self, key: slice) -> List[float]: ...

    def __getitem__(self, key: Union[int, slice]) -> Union[float, List[float]]:
        controller = self._controller
        if type(key) is int and key >= 0:  # the common case, without a further call
            code, value = controller._c.ReadVrValue(key)
            if code.value:
                return controller._read_failed(code, "read_vr", (key,), _C.ReadVrValue)
            return value
        if isinstance(key, slice):
            return controller.read_vr_block(*_span(key, "vr"))
        return controller.read_vr(_index(key, "vr"))

    def __setitem__(self, key: Union[int, slice], value: Any) -> None:
        controller = self._controller
        if type(key) is int and key >= 0:
            code = controller._c.WriteVrValue(key, value)
            if code.value:
                controller._write_failed(code, "write_vr", (key, value), _C.WriteVrValue)
            return
        if isinstance(key, slice):
            start, count = _span(key, "vr")
            values = list(value)
            if len(values) != count:
                raise ValueError(f"vr[{key.start}:{key.stop}] takes {count} values, not {len(values)}")
            with self._controller.batch() as batch:
                for offset, item in enumerate(values):
                    batch.write_vr(start + offset, item)
            return
        self._controller.write_vr(_index(key, "vr"), value)


class TableAccess:
    """``table[i]`` and ``table[a:b]`` (reads only over TCP)."""

    __slots__ = ("_controller",)

    def __init__(self, controller: Controller) -> None:
        self._controller = controller

    @overload
    def __getitem__(self, key: int) -> float: ...
    @overload
    def __getitem__(self, key: slice) -> List[float]: ...

    def __getitem__(self, key: Union[int, slice]) -> Union[float, List[float]]:
        if isinstance(key, slice):
            return self._controller.read_table_block(*_span(key, "table"))
        return self._controller.read_table(_index(key, "table"))

    def __setitem__(self, key: int, value: float) -> None:
        self._controller.write_table(_index(key, "table"), value)


class VrStringAccess:
    """``vr_string[i]`` and ``vr_string[i] = text``."""

    __slots__ = ("_controller",)

    def __init__(self, controller: Controller) -> None:
        self._controller = controller

    def __getitem__(self, key: int) -> str:
        return self._controller.read_vr_string(_index(key, "vr_string"))

    def __setitem__(self, key: int, text: Text) -> None:
        self._controller.write_vr_string(_index(key, "vr_string"), text)
