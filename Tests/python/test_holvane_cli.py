"""The holvane command line: each command's exit status and output, and its
conventions (options, environment, version, help, logging, exit statuses)."""

import argparse
import csv
import importlib.util
import os
import signal
import subprocess
import sys
import time

from conftest import MODULE_DIR, _read_line

import holvane
import holvane.cli
from holvane.cli import main


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_commands_print_their_results(sim, capsys, tmp_path):
    host, port = sim
    link = ("--host", host, "--port", port)

    code, out, err = run(capsys, "info", *link)
    assert code == 0 and err == ""
    assert "version:        2\n" in out and "type:           400\n" in out
    assert "number format:  IEEE 754 64-bit\n" in out and "axes:           16\n" in out

    assert run(capsys, "vr", "set", 10, 2.5, *link) == (0, "", "")
    assert run(capsys, "vr", "set", 11, -1e-3, *link)[0] == 0
    assert run(capsys, "vr", "get", 10, *link) == (0, "2.5\n", "")
    assert run(capsys, "vr", "get", 10, 3, *link) == (0, "2.5\n-0.001\n0.0\n", "")

    assert run(capsys, "param", "set", "SPEED", 2, 75, *link) == (0, "", "")
    assert run(capsys, "param", "get", "SPEED", 2, *link) == (0, "75.0\n", "")

    code, out, err = run(capsys, "files", *link)
    assert code == 0 and err == "" and out and all(" bytes" in line for line in out.splitlines())

    samples = tmp_path / "samples.csv"
    plot = tmp_path / "plot.png"
    if not importlib.util.find_spec("matplotlib"):
        plot = None
    code, out, err = run(
        capsys,
        "monitor",
        "--axis",
        2,
        "--params",
        "DPOS,MPOS,SPEED",
        "--rate",
        20,
        "--duration",
        0.3,
        "--csv",
        samples,
        *(("--plot", plot) if plot else ()),
        *link,
    )
    rows = list(csv.reader(samples.open()))
    assert rows[0] == ["time", "DPOS", "MPOS", "SPEED"]
    assert 5 <= len(rows) - 1 <= 8, rows
    assert all(float(row[3]) == 75.0 for row in rows[1:])
    assert [float(row[0]) for row in rows[1:]] == sorted(float(row[0]) for row in rows[1:])
    assert code == 0 and (plot is None or plot.stat().st_size > 0)

    code, out, err = run(capsys, "monitor", "--axis", 0, "--duration", 0.15, "--rate", 20, *link)
    assert code == 0 and out.splitlines()[0] == "time,DPOS,MPOS" and len(out.splitlines()) >= 3


def test_failures_are_one_line_and_exit_non_zero(sim, capsys):
    host, port = sim
    code, out, err = run(capsys, "param", "get", "DPOS", 99, "--host", host, "--port", port)
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and "controller error 4" in err

    code, out, err = run(capsys, "vr", "get", 1, "--host", "127.0.0.1", "--port", 1)
    assert code == 1 and err.count("\n") == 1 and "connection refused" in err.lower()

    code, out, err = run(capsys, "vr", "get", "not-a-number")
    assert code == 2 and "invalid int value" in err

    # Arguments the controller cannot take: one line, usage status, nothing sent.
    link = ("--host", host, "--port", port)
    for argv, text in [
        (("vr", "get", -1), "read_vr: index must be 0 to 4294967295, not -1"),
        (("vr", "set", 10, "1e400"), "VALUE inf is not finite (--allow-nonfinite lets it through)"),
        (("vr", "set", 10, "nan"), "VALUE nan is not finite"),
        (("param", "get", "DPOS", -3), "read_param: axis must not be negative, not -3"),
        (("info", "--port", 99999), "must be 1 to 65535: '99999'"),
        (("monitor", "--axis", 0, "--params", ","), "--params names no parameter"),
    ]:
        code, out, err = run(capsys, *argv, *(link if argv[0] != "info" else ()))
        assert code == 2 and out == "", (argv, err)
        assert text in err and err.strip().splitlines()[-1].startswith("holvane"), (argv, err)
    assert run(capsys, "vr", "get", 10, *link) == (0, "0.0\n", "")
    assert run(capsys, "vr", "set", 10, "nan", "--allow-nonfinite", *link)[0] == 0
    assert run(capsys, "vr", "get", 10, *link) == (0, "nan\n", "")


def test_sim_runs_the_bundled_simulator():
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    process = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys; from holvane.cli import main; sys.exit(main())",
            "sim",
            "--host",
            "127.0.0.1",
            "--port",
            "0",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=env,
    )
    try:
        line = _read_line(process.stdout, 10.0)
        assert line.startswith("listening on 127.0.0.1:"), line
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0
        process.stdout.close()


def test_the_command_line_follows_conventions(sim, capsys, monkeypatch, tmp_path):
    host, port = sim
    # Common options before or after the command, or from the environment.
    expected = "axes:           16\n"
    assert expected in run(capsys, "--host", host, "--port", port, "info")[1]
    assert expected in run(capsys, "--port", port, "info", "--host", host)[1]
    monkeypatch.setenv("HOLVANE_HOST", host)
    monkeypatch.setenv("HOLVANE_PORT", str(port))
    assert run(capsys, "info")[:2] == (
        0,
        (
            f"controller:     {host}:{port}\nversion:        2\ntype:           400\n"
            "number format:  IEEE 754 64-bit\naxes:           16\n"
        ),
    )
    assert run(capsys, "--port", 1, "info")[0] == 1  # an option outranks the environment
    monkeypatch.setenv("HOLVANE_PORT", "x")
    code, _, err = run(capsys, "info")
    assert code == 2 and "not a port number: 'x'" in err
    monkeypatch.setenv("HOLVANE_PORT", str(port))

    # --version: package, module, interface levels, and the controller's when one is named.
    code, out, err = run(capsys, "--version")
    lines = out.splitlines()
    assert code == 0 and lines[0] == f"holvane {holvane.__version__}" and len(lines) == 4
    assert lines[1].startswith("module Vantrel_HolvaneAPI ") and "plug-in interface level" in lines[1]
    assert lines[2].startswith("TCP plug-in: interface level ")
    assert lines[3] == f"controller {host}:{port}: version 2, type 400"
    monkeypatch.delenv("HOLVANE_HOST")
    assert len(run(capsys, "--version")[1].splitlines()) == 3  # no controller named: none asked

    # Help for every argument of every command; the exit statuses in the help.
    parser = holvane.cli._parser()
    pending = [("holvane", parser)]
    while pending:
        name, command = pending.pop()
        for action in command._actions:
            if isinstance(action, argparse._SubParsersAction):
                pending += [(f"{name} {sub}", p) for sub, p in action.choices.items() if sub != "sim"]
            elif not action.help:
                raise AssertionError(f"{name}: {action.dest} has no help")
    code, out, _ = run(capsys, "vr", "get", "--help")
    assert code == 0 and "the first VR number" in out and "2 usage error" in out and "130 interrupted" in out
    assert run(capsys)[0] == 2  # no command

    # -v: connects and errors, no trace; -vv: the trace too; the token table never.
    code, _, err = run(capsys, "-v", "vr", "get", 1)
    assert code == 0 and "Connected to" in err and ">> [" not in err and "->" not in err
    code, _, err = run(capsys, "vr", "get", 1, "-vv")
    assert code == 0 and "holvane.trace: CmdGetVr >> [" in err and "->" not in err
    assert run(capsys, "vr", "get", 1) == (0, "0.0\n", "")  # quiet again

    # monitor: --duration is wall time, also at the highest rate; a rate above it is a usage
    # error; a missing extra is found before sampling starts.
    started = time.monotonic()
    code, out, err = run(capsys, "monitor", "--axis", 0, "--rate", holvane.MAX_RATE, "--duration", 0.5)
    assert code == 0 and time.monotonic() - started < 2.0, err
    lines = out.splitlines()
    assert lines[0] == "time,DPOS,MPOS" and len(lines) > 1000
    assert all(len(row.split(",")) == 3 and 0.0 <= float(row.split(",")[0]) < 0.5 for row in lines[1:])
    code, out, err = run(capsys, "monitor", "--axis", 0, "--rate", holvane.MAX_RATE * 10, "--duration", 0.5)
    assert code == 2 and f"at most {holvane.MAX_RATE:g} Hz" in err
    real_find_spec = importlib.util.find_spec
    monkeypatch.setattr(
        importlib.util, "find_spec", lambda name, *rest: None if name == "matplotlib" else real_find_spec(name, *rest)
    )
    samples = tmp_path / "never.csv"
    code, out, err = run(
        capsys, "monitor", "--axis", 0, "--duration", 5, "--csv", samples, "--plot", tmp_path / "p.png"
    )
    assert code == 2 and err == "holvane: --plot needs matplotlib: pip install 'holvane[plot]'\n"
    assert not samples.exists()


def test_python_dash_m_and_ctrl_c(peer):
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    env.pop("HOLVANE_HOST", None)
    result = subprocess.run(
        [sys.executable, "-m", "holvane", "--version"], capture_output=True, text=True, env=env, timeout=30, check=False
    )
    assert result.returncode == 0 and result.stdout.startswith("holvane ")

    peer.responder = lambda tokens: None  # never answers: the call waits until Ctrl-C
    process = subprocess.Popen(
        [sys.executable, "-m", "holvane", "--port", str(peer.port), "vr", "get", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        assert peer.wait_requests(1, timeout=20.0)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=10)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 130 and err == "holvane: interrupted\n" and out == ""
