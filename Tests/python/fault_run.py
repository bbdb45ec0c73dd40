"""The reconnect fault run: a client loop on ``holvane.connect(..., reconnect=True)``
reads, writes unique values and moves an axis while holvane_fault_proxy, between
it and holvane-sim, injects link faults drawn at random from a fixed number, the run's plan:
resets (idle, of a request, in the middle of a reply), black holes (bytes
swallowed, link kept), delayed, split and dripped replies, stalls past the
reply limit, and controller restarts (the controller refuses connections for a
while; half the restarts keep its memory, the other half start a new simulator
process with every value 0).

After every call the run checks:
- the call returned within its time bound plus a small margin;
- no change was applied twice: the simulator logs every applied change
  (``--write-log``) and every value written is unique, so a change logged
  twice is a request carried out twice; a write that returned normally is
  logged exactly once, a write that raised at most once;
- a value read is the last one written, or for a write that raised, the
  value before it or its own;
- once the link is back (the fault has stopped acting), the next call
  succeeds, within 2 s of the link's return.

A broken check raises :class:`InvariantViolation` naming the plan and the
calls before it. Tests/python/test_fault_run.py runs 1,000 faults;
``Bench/fault_bench.py --faults N --plan P`` any number, from the command line.
"""

from __future__ import annotations

import collections
import logging
import os
import random
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any, final

sys.path.insert(0, str(Path(__file__).resolve().parent))

from fault_checks import Call, Change, Expected, InvariantViolation, Ledger
from fault_processes import FaultProxy, RunError, Simulator, restartable_port
from fault_report import Report

REPO = Path(__file__).resolve().parents[2]

VR_FIRST, VR_COUNT = 100, 32  # the VRs the run writes and reads
PARAM, PARAM_AXIS = "SPEED", 3  # the axis parameter it writes and reads
MOVE_AXIS = 0  # the axis it moves, by a unique tiny distance each time
VALUE_BASE = 1_000_000.0  # written values: VALUE_BASE + serial, above every default

# Fault kinds with their weights, grouped as the report counts them. The
# benign ones never cost the link: every call they meet must succeed.
FAULTS: dict[str, tuple[str, int]] = {
    "reset-idle": ("reset", 6),
    "reset-request": ("reset", 6),
    "reset-reply": ("reset", 6),
    "blackhole-request": ("black hole", 1),
    "blackhole-reply": ("black hole", 1),
    "delay": ("delay", 3),
    "delay-past-timeout": ("delay", 1),
    "split": ("split", 4),
    "drip": ("drip", 3),
    "drip-stall": ("drip", 1),
    "restart-keep": ("restart", 1),
    "restart-wipe": ("restart", 1),
}
BENIGN = frozenset({"delay", "split", "drip"})
# The faults that only a time-out ends: the call that meets one runs with the
# short limits of Settings, so that the run stays quick.
STALLING = frozenset({"blackhole-request", "blackhole-reply", "delay-past-timeout", "drip-stall"})

# Calls: (name, weight). Writes change the controller; the others read it.
CALLS = (
    ("read_vr", 4),
    ("read_block", 1),
    ("read_param", 1),
    ("write_vr", 4),
    ("execute", 1),
    ("write_param", 1),
    ("move", 1),
)
WRITES = frozenset({"write_vr", "execute", "write_param", "move"})


@dataclass
class Settings:
    """The client's limits and the run's margins, in seconds. The call that
    meets a fault only a time-out ends (a black hole, a stall) runs with
    `stall_timeout` and `stall_deadline`; every other call with `timeout` and
    `deadline`, generous enough that a loaded machine's pauses fail no call
    that meets no fault."""

    timeout: float = 1.0  # longest wait for the next bytes of a reply
    deadline: float = 2.0  # longest one request to the controller may take
    stall_timeout: float = 0.05
    stall_deadline: float = 0.15
    connect_timeout: float = 0.5
    reconnect_delay: float = 0.005  # first pause before reconnecting ...
    reconnect_delay_max: float = 0.04  # ... doubling up to this
    reconnect_give_up: float = 0.1  # reconnecting stops after this long
    margin: float = 0.3  # how far past its bound a call may return on a loaded machine
    recovery_limit: float = 2.0  # the next call after the link's return succeeds within this
    outage: tuple[float, float] = (0.005, 0.2)  # how long a restart refuses connections (often past the give-up)

    def connect_options(self) -> dict[str, Any]:
        return {
            "timeout": self.timeout,
            "deadline": self.deadline,
            "connect_timeout": self.connect_timeout,
            "keepalive": 0,
            "reconnect": True,
            "reconnect_delay": self.reconnect_delay,
            "reconnect_delay_max": self.reconnect_delay_max,
            "reconnect_give_up": self.reconnect_give_up,
        }

    def call_bound(self, deadline: float) -> float:
        """The longest a call may take: one request, reconnecting until the
        give-up time, the request once more."""
        return deadline + self.reconnect_give_up + deadline


def programs_of_build(build: Path | None = None) -> tuple[Path, Path]:
    """The simulator and the fault proxy of a build tree (``HOLVANE_BUILD_DIR``,
    else ``build`` beside the sources), its module put first on the path."""
    tree = build or Path(os.environ.get("HOLVANE_BUILD_DIR", REPO / "build")).resolve()
    module_dir = os.environ.get("HOLVANE_MODULE_DIR", str(tree / "python"))
    if module_dir not in sys.path:
        sys.path.insert(0, module_dir)
    return tree / "bin" / "holvane-sim", tree / "bin" / "holvane_fault_proxy"


def vr_target(index: int) -> str:
    return f"VR({index})"


PARAM_TARGET = f"{PARAM}({PARAM_AXIS})"


class _ClientLog(logging.Filter):
    """Takes the client's log records while the run lasts: counts its
    reconnects and failed attempts, keeps each line in the run's history,
    and lets none through (thousands of them would swamp whatever collects
    the application's log)."""

    def __init__(self, history: collections.deque[str]) -> None:
        super().__init__()
        self.history = history
        self.reconnects = 0
        self.failed_attempts = 0

    def filter(self, record: logging.LogRecord) -> bool:
        text = record.getMessage()
        if "reconnected" in text:
            self.reconnects += 1
        elif "reconnect attempt" in text and "failed" in text:
            self.failed_attempts += 1
        self.history.append(f"   log {record.levelname}: {text}")
        return False


@final
class FaultRun:
    """The client, the proxy and the simulator of one run; a context manager."""

    def __init__(
        self,
        plan: int,
        simulator: Path,
        proxy: Path,
        settings: Settings | None = None,
        keep_going: bool = False,
    ) -> None:
        """`keep_going`: count broken checks in the report rather than stop at the first."""
        self.plan = plan
        self.keep_going = keep_going
        self.settings = settings or Settings()
        self.programs = (simulator, proxy)
        self.random = random.Random(plan)
        self.report = Report(plan)
        self.history: collections.deque[str] = collections.deque(maxlen=60)
        self._serial = 0
        self._work = Path(os.environ.get("TMPDIR", "/tmp")) / f"holvane-fault-run-{os.getpid()}-{id(self)}"
        self._started: list[Callable[[], None]] = []
        self._write_calls: dict[Change, Call] = {}
        self._deadline = self.settings.deadline  # of the calls made now

    # -- setting up and tearing down

    def __enter__(self) -> FaultRun:
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _start(self) -> None:
        simulator, proxy = self.programs
        for needed in self.programs:
            if not needed.exists():
                raise RunError(f"{needed} is missing: build the tree")
        import holvane  # the one the caller's path finds: a build tree's or an installed one

        self.holvane = holvane
        self._work.mkdir(parents=True)
        self._started.append(lambda: _remove_tree(self._work))
        log_path = self._work / "writes.log"
        log_path.touch()
        self.ledger = Ledger(log_path)
        self.sim = Simulator(simulator, "127.0.0.1", restartable_port("127.0.0.1"), log_path)
        self._started.append(self.sim.close)
        self.proxy = FaultProxy(proxy, "127.0.0.1", restartable_port("127.0.0.1"), self.sim.port)
        self._started.append(self.proxy.close)
        self._reconnects = _ClientLog(self.history)
        self._started.append(_take_over(logging.getLogger("holvane"), self._reconnects))
        try:
            self.controller = holvane.connect(self.proxy.host, self.proxy.port, **self.settings.connect_options())
        except TypeError as error:
            raise RunError(f"holvane.connect does not take the reconnect settings: {error}") from error
        self._started.append(self.controller.close)
        speed = self.controller.read_param(PARAM, PARAM_AXIS)
        self.expected = Expected(
            {**{vr_target(i): 0.0 for i in range(VR_FIRST, VR_FIRST + VR_COUNT)}, PARAM_TARGET: speed}
        )
        self._check_reads([self._call("read_block")])

    def close(self) -> None:
        while self._started:
            self._started.pop()()

    # -- the loop

    def run(self, faults: int) -> Report:
        """Injects faults until `faults` have gone off; returns the report."""
        began = time.monotonic()
        kinds = list(FAULTS)
        weights = [FAULTS[kind][1] for kind in kinds]
        while self.report.injected < faults:
            kind = self.random.choices(kinds, weights)[0]
            started = time.monotonic()
            if self._inject(kind):
                self.report.faults[kind] += 1
                self.report.fault_groups[FAULTS[kind][0]] += 1
            self.report.seconds_by_kind[kind] += time.monotonic() - started
        self._settle()
        self.report.seconds = time.monotonic() - began
        return self.report

    def _inject(self, kind: str) -> bool:
        """One fault and the recovery after it; False if it never went off."""
        proxy = self.proxy
        opened = self._links()
        self.history.append(f"-- fault {kind}")
        if kind == "reset-idle":
            proxy("reset")
            calls: list[Call] = []
        elif kind.startswith("restart"):
            calls = self._restart(wipe=kind == "restart-wipe")
        else:
            proxy("arm " + self._arming(kind))
            if kind in STALLING:
                self._limits(self.settings.stall_timeout, self.settings.stall_deadline)
            calls = [self._call()]
            self._limits(self.settings.timeout, self.settings.deadline)
            proxy("settle")  # a drip longer than the reply ends with it
        fired, _, returned = proxy.status()
        if not fired:
            proxy("disarm")
            self.report.unfired += 1
            self.history.append("   (never set off)")
            return False
        returned = self._link_return(returned)
        for call in calls:
            self._check_faulted(kind, call)
        self._recover(FAULTS[kind][0], calls, returned, opened)
        return True

    def _arming(self, kind: str) -> str:
        """The proxy's arm command for a fault kind, its details drawn from the plan."""
        s, pick = self.settings, self.random
        if kind == "reset-reply":
            return f"reset-reply {pick.randrange(0, 17)}"
        # A fault that keeps the link stays within what the short limits
        # allow; one past them stalls past the short limits.
        if kind == "delay":
            return f"delay {int(1e6 * s.stall_timeout * pick.uniform(0.05, 0.8))}"
        if kind == "delay-past-timeout":
            return f"delay {int(1e6 * s.stall_timeout * pick.uniform(1.5, 3.0))}"
        if kind == "split":
            gap = int(1e6 * s.stall_timeout * pick.uniform(0.0, 0.2))
            return f"split {pick.randrange(2, 9)} {gap} {pick.randrange(1 << 32)}"
        if kind == "drip":
            count = pick.randrange(4, 160)
            return f"drip {int(1e6 * min(s.stall_timeout * 0.5, s.stall_deadline * 0.5 / count))} {count}"
        if kind == "drip-stall":  # a byte, then a pause past the reply limit
            return f"drip {int(1e6 * s.stall_timeout * pick.uniform(1.5, 2.5))} {pick.randrange(2, 6)}"
        return kind  # reset-request, blackhole-request, blackhole-reply

    def _restart(self, wipe: bool) -> list[Call]:
        """The controller goes away (its links closed, connections refused),
        perhaps starts afresh, and comes back after a while; calls go on
        meanwhile. Returns the calls made before it was back."""
        proxy = self.proxy
        proxy("down")
        down_at = time.monotonic()
        if wipe:
            self.sim.kill()
            self.sim.start()
            self.expected.wipe()
        outage = self.random.uniform(*self.settings.outage)
        failed: list[BaseException] = []

        def come_back() -> None:
            try:
                proxy("up")
            except (RunError, OSError) as error:  # reported on the main thread
                failed.append(error)

        back = threading.Timer(max(0.0, down_at + outage - time.monotonic()), come_back)
        back.start()
        calls: list[Call] = []
        try:
            while back.is_alive() or not calls:
                calls.append(self._call())
        finally:
            back.join()
        if failed:
            raise RunError(f"the controller could not come back: {failed[0]}")
        return calls

    def _link_return(self, returned: float) -> float:
        """When the fault stopped acting. A black-holed link ends only when
        the client gives it up: it must, within its limits."""
        limit = time.monotonic() + self.settings.call_bound(self.settings.deadline) + self.settings.margin
        while returned == 0.0:
            if time.monotonic() > limit:
                self._violation("black hole kept", "the client never gave up a link that stopped answering")
            time.sleep(0.001)
            _, _, returned = self.proxy.status()
        return returned

    def _recover(self, group: str, calls: list[Call], returned: float, links_before: int) -> None:
        """The first call made after the link's return succeeds, within the
        recovery limit. If the fault cost the link, the recovery time runs
        from the link's return to the end of the first call that succeeded
        after it."""
        done = [c.end for c in calls if c.ok and c.end >= returned]
        after = self._call()
        if not after.ok:
            self._violation("no recovery", f"the first call after the link came back failed: {after}")
        if after.end - returned > self.settings.recovery_limit:
            self._violation(
                "slow recovery", f"the first call after the link came back ended {after.end - returned:.3f} s after it"
            )
        if self._links() > links_before:
            recovery = max(0.0, min([*done, after.end]) - returned)
            self.report.recoveries.append(recovery)
            self.report.recoveries_by_group[group].append(recovery)

    # -- calls and their checks

    def _next_value(self) -> float:
        self._serial += 1
        return VALUE_BASE + self._serial

    def _call(self, name: str | None = None) -> Call:
        """One call of the client, drawn from the plan unless named; checked."""
        if name is None:
            name = self.random.choices([n for n, _ in CALLS], [w for _, w in CALLS])[0]
        c = self.controller
        index = VR_FIRST + self.random.randrange(VR_COUNT)
        method: Callable[..., Any]
        args: tuple[Any, ...]
        if name == "read_vr":
            method, args = c.read_vr, (index,)
        elif name == "read_block":
            method, args = c.read_vr_block, (VR_FIRST, VR_COUNT)
        elif name == "read_param":
            method, args = c.read_param, (PARAM, PARAM_AXIS)
        elif name == "write_vr":
            method, args = c.write_vr, (index, self._next_value())
        elif name == "execute":
            method, args = c.execute, (f"VR({index})={int(self._next_value())}",)
        elif name == "write_param":
            method, args = c.write_param, (PARAM, PARAM_AXIS, self._next_value())
        else:
            self._serial += 1  # a tiny distance: the move ends before the next
            method, args = c.axis(MOVE_AXIS).move_rel, (self._serial * 2.0**-24,)
        call = Call(name, (MOVE_AXIS, *args) if name == "move" else args, time.monotonic())
        reconnects = self._reconnects.reconnects
        try:
            call.value = method(*args)
        except self.holvane.HolvaneError as error:
            call.error = error
        call.end = time.monotonic()
        self.history.append(f"   {call}")
        report = self.report
        report.calls += 1
        report.reconnects += self._reconnects.reconnects - reconnects
        if not call.ok:
            report.calls_raised[type(call.error).__name__] += 1
        elif self._reconnects.reconnects > reconnects:
            report.calls_retried += 1
        self._check_call(call)
        return call

    def _change_of(self, call: Call) -> tuple[Change, str]:
        """The change a write makes as the simulator logs it, and its target."""
        if call.name == "write_vr":
            return ("VR", str(call.args[0]), call.args[1]), vr_target(call.args[0])
        if call.name == "execute":
            index, value = call.args[0][3:].split(")=")
            return ("VR", index, float(value)), vr_target(int(index))
        if call.name == "write_param":
            return ("PARAM", PARAM_TARGET, call.args[2]), PARAM_TARGET
        return ("MOVE", str(call.args[0]), call.args[1]), ""

    def _check_call(self, call: Call) -> None:
        report, settings = self.report, self.settings
        took = call.end - call.start
        report.longest_call = max(report.longest_call, took)
        bound = settings.call_bound(self._deadline)
        report.worst_overshoot = max(report.worst_overshoot, took - bound)
        if took > bound + settings.margin:
            self._violation("call too long", f"a call took {took:.3f} s, its bound is {bound:.3f} s: {call}")
        if not call.ok:
            allowed = (self.holvane.ConnectionLostError, self.holvane.HolvaneTimeoutError)
            if not isinstance(call.error, allowed):
                self._violation(
                    "unexpected error", f"a link fault raised something else than a lost link or a time-out: {call}"
                )
            if call.name not in WRITES:
                report.reads_raised += 1
                report.reads_timed_out += isinstance(call.error, self.holvane.HolvaneTimeoutError)
        if call.name in WRITES:
            self._check_write(call)
        else:
            self._read_ledger()
            if call.ok:
                self._check_reads([call])

    def _check_write(self, call: Call) -> None:
        """A write that returned normally was applied once; one that raised, at most once."""
        change, target = self._change_of(call)
        self._write_calls[change] = call
        self._read_ledger()
        self.report.writes += 1
        applied = self.ledger.counts[change]
        if call.ok and applied != 1:
            self._violation(
                "write not applied once", f"a write that returned normally was applied {applied} times: {call}"
            )
        if not call.ok:
            self.report.writes_raised += 1
        if target:
            self.expected.wrote(target, change[2], call.ok)

    def _read_ledger(self) -> None:
        """Every change the simulator applied was asked for, and only once."""
        for change in self.ledger.update():
            if change not in self._write_calls:
                self._violation("change nobody asked for", f"the controller applied {change}, never written")
            elif self.ledger.counts[change] == 2:
                self.report.duplicates += 1
                self._violation("applied twice", f"change {change} applied twice: {self._write_calls[change]}")

    def _check_reads(self, calls: list[Call]) -> None:
        for call in calls:
            if call.name == "read_block":
                pairs = [(vr_target(VR_FIRST + k), v) for k, v in enumerate(call.value)]
            elif call.name == "read_vr":
                pairs = [(vr_target(call.args[0]), call.value)]
            else:
                pairs = [(PARAM_TARGET, call.value)]
            for target, value in pairs:
                wrong = self.expected.read(target, value)
                if wrong:
                    self._violation("wrong value read", f"{wrong}: {call}")

    def _check_faulted(self, kind: str, call: Call) -> None:
        """A fault that keeps the link (a short delay, a split, a short drip) fails no call."""
        if kind in BENIGN and not call.ok:
            self._violation("benign fault failed a call", f"a {kind} that keeps the link failed the call: {call}")

    def _limits(self, timeout: float, deadline: float) -> None:
        """Sets the client's limits for the calls from now on. holvane takes
        them at connect only: they go to its connection's attributes."""
        connection = self.controller._c
        for name, seconds in (("TCP_Timeout", timeout), ("TCP_Deadline", deadline)):
            if connection.WriteIntAttribute(name, round(1000 * seconds)).value:
                raise RunError(f"the connection refused {name}={seconds} s")
        self._deadline = deadline

    def _links(self) -> int:
        return self.proxy.fields("stats")["accepted"]

    def _settle(self) -> None:
        """Final accounts: every write that raised was applied at most once."""
        self.report.links_opened = self._links()
        self.report.failed_attempts = self._reconnects.failed_attempts
        self._read_ledger()
        for change, call in self._write_calls.items():
            if not call.ok and self.ledger.counts[change]:
                self.report.writes_raised_applied += 1

    def _violation(self, category: str, text: str) -> None:
        recent = "\n".join(self.history)
        if self.keep_going:
            self.report.violations[category] += 1
            self.report.examples.setdefault(category, f"{text}\nlast calls:\n{recent}")
            return
        raise InvariantViolation(
            f"plan {self.plan}: {text}\n(run again with HOLVANE_FAULT_PLAN={self.plan})\nlast calls:\n{recent}"
        )


def _take_over(logger: logging.Logger, taker: logging.Filter) -> Callable[[], None]:
    """Hands every record of `logger` from INFO on to `taker`; returns what
    puts the logger back."""
    level = logger.level
    logger.addFilter(taker)
    logger.setLevel(logging.INFO)

    def restore() -> None:
        logger.removeFilter(taker)
        logger.setLevel(level)

    return restore


def _remove_tree(path: Path) -> None:
    for child in path.iterdir():
        child.unlink()
    path.rmdir()
