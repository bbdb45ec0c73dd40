"""Reconnect under injected link faults: the fault run of fault_run.py, with
its checks after every call (time bound, no change applied twice, values as
last written, recovery within 2 s of the link's return), over 1,000 faults
drawn from a fixed number, the plan. HOLVANE_FAULT_PLAN=N runs it with another plan."""

import os

import pytest
from conftest import BUILD, SIMULATOR, require_built
from fault_checks import InvariantViolation
from fault_run import FAULTS, FaultRun

PLAN = int(os.environ.get("HOLVANE_FAULT_PLAN", "19"))
INJECTED = 1000


@pytest.fixture
def fault_run(tcp_plugin):
    simulator = require_built(SIMULATOR, "holvane-sim")
    proxy = require_built(BUILD / "bin" / "holvane_fault_proxy", "holvane_fault_proxy")
    print(f"fault run plan {PLAN} (HOLVANE_FAULT_PLAN={PLAN} runs it again)")
    with FaultRun(PLAN, simulator, proxy) as run:
        yield run


def test_reconnect_keeps_its_promises_through_a_thousand_injected_faults(fault_run):
    report = fault_run.run(INJECTED)
    print("\n".join(report.lines()))
    # Every call was checked as it returned; what is left to see is that the
    # run did what it claims: every kind of fault, links really lost and
    # regained, writes really cut off.
    assert report.injected >= INJECTED
    assert set(report.faults) == set(FAULTS), f"plan {PLAN}: kinds never injected"
    assert min(report.faults.values()) >= 10, f"plan {PLAN}: {report.faults}"
    assert report.duplicates == 0
    assert report.links_opened > INJECTED // 3
    assert len(report.recoveries) > INJECTED // 3
    assert report.writes_raised > 0 and report.writes_raised_applied > 0
    assert report.writes - report.writes_raised > INJECTED // 3


def _writes_twice(controller):
    write_vr = controller.write_vr

    def write_twice(index, value):
        write_vr(index, value)
        write_vr(index, value)

    controller.write_vr = write_twice


def _reads_stale_values(controller):
    read_vr, first_seen = controller.read_vr, {}
    controller.read_vr = lambda index: first_seen.setdefault(index, read_vr(index))


@pytest.mark.parametrize(
    "misbehave, caught",
    [
        (_writes_twice, r"change \('VR', '1\d\d', .*\) applied twice"),
        (_reads_stale_values, r"VR\(1\d\d\) read .*, expected"),
    ],
    ids=["write sent twice", "stale value"],
)
def test_the_run_catches_a_client_that_breaks_a_promise(fault_run, misbehave, caught):
    """The checks are live: a client that sends a write twice, or returns an
    old value, is caught at the call that did it, and the plan is named."""
    misbehave(fault_run.controller)
    with pytest.raises(InvariantViolation, match=f"plan {PLAN}: {caught}"):
        for _ in range(100):
            fault_run._call("read_vr")
            fault_run._call("write_vr")
