"""One axis of a controller: :class:`Axis`.

Positions are in the axis's user units (as scaled by its UNITS parameter),
speeds in user units per second, times in seconds.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import Vantrel_HolvaneAPI as _api

from . import _arguments as check
from .errors import TIMEOUT, HolvaneTimeoutError

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["Axis"]


class Axis:
    """One axis of a controller. Positions in user units, speeds in user
    units per second, times in seconds."""

    __slots__ = ("_controller", "number")

    def __init__(self, controller: Controller, number: int) -> None:
        self._controller = controller
        self.number = number

    def __repr__(self) -> str:
        return f"<holvane.Axis {self.number}>"

    @property
    def dpos(self) -> float:
        """Demand position (read-only)."""
        return self._controller.read_param("DPOS", self.number)

    @property
    def mpos(self) -> float:
        """Measured position (read-only)."""
        return self._controller.read_param("MPOS", self.number)

    @property
    def speed(self) -> float:
        """Programmed speed of moves (writable)."""
        return self._controller.read_param("SPEED", self.number)

    @speed.setter
    def speed(self, value: float) -> None:
        self._controller.write_param("SPEED", self.number, value)

    @property
    def idle(self) -> bool:
        """True when the axis has no move running or buffered (read-only)."""
        return self._controller.read_param("IDLE", self.number) != 0.0

    def param(self, name: str) -> float:
        """Axis parameter ``name`` of this axis."""
        return self._controller.read_param(name, self.number)

    def set_param(self, name: str, value: float) -> None:
        """Sets axis parameter ``name`` of this axis."""
        self._controller.write_param(name, self.number, value)

    def _motion(self, name: str, args: tuple[Any, ...], send: Callable[[Any], _api.ErrorCode]) -> None:
        controller = self._controller
        code = send(controller._c)
        if code.value:
            controller._write_failed(code, name, args, lambda: send(controller._c))

    def move_abs(self, position: float, *, sp: bool = False) -> None:
        """Moves to ``position`` (MOVEABS; with ``sp`` MOVEABSSP, at FORCE_SPEED)."""
        target, axis = self._controller._value("move_abs", position), self.number
        if sp:
            self._motion("move_abs", (position,), lambda c: c.MoveAbsSp(target, axis))
        else:
            self._motion("move_abs", (position,), lambda c: c.MoveAbs(target, axis))

    def move_rel(self, distance: float, *, sp: bool = False) -> None:
        """Moves by ``distance`` (MOVE; with ``sp`` MOVESP, at FORCE_SPEED)."""
        step, axis = self._controller._value("move_rel", distance), self.number
        if sp:
            self._motion("move_rel", (distance,), lambda c: c.MoveRelSp(step, axis))
        else:
            self._motion("move_rel", (distance,), lambda c: c.MoveRel(step, axis))

    def forward(self) -> None:
        """Runs forward until cancelled or the forward limit."""
        axis = self.number
        self._motion("forward", (), lambda c: c.Forward(axis))

    def reverse(self) -> None:
        """Runs in reverse until cancelled or the reverse limit."""
        axis = self.number
        self._motion("reverse", (), lambda c: c.Reverse(axis))

    def cancel(self, mode: int = 0) -> None:
        """CANCEL: 0 stops the current move, 1 drops the buffered ones, 2 both."""
        mode, axis = check.small("cancel", "mode", mode), self.number
        self._motion("cancel", (mode,), lambda c: c.Cancel(mode, axis))

    def datum(self, sequence: int = 0) -> None:
        """DATUM with the given sequence number."""
        sequence, axis = check.small("datum", "sequence", sequence, high=check.U32_MAX), self.number
        self._motion("datum", (sequence,), lambda c: c.Datum(sequence, axis))

    def define_pos(self, position: float) -> None:
        """DEFPOS: declares the current position to be ``position``."""
        target, axis = self._controller._value("define_pos", position), self.number
        self._motion("define_pos", (position,), lambda c: c.DefPos(target, axis))

    def wait_idle(self, timeout: float = 60.0, poll: float = 0.01) -> None:
        """Waits until the axis is idle, reading IDLE every ``poll`` seconds.

        :raises HolvaneTimeoutError: still moving after ``timeout`` seconds.
        """
        end = time.monotonic() + timeout
        while not self.idle:
            if time.monotonic() >= end:
                raise HolvaneTimeoutError(
                    f"wait_idle({timeout!r}): axis {self.number} still moving after {timeout} s", TIMEOUT
                )
            time.sleep(poll)
