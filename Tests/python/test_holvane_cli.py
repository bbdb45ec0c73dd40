"""The holvane command line: each command's exit status and output."""
import csv
import importlib.util
import os
import subprocess
import sys

import pytest

from conftest import MODULE_DIR, _read_line

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
    code, out, err = run(capsys, "monitor", "--axis", 2, "--params", "DPOS,MPOS,SPEED", "--rate", 20,
                         "--duration", 0.3, "--csv", samples, "--plot", plot, *link)
    rows = list(csv.reader(samples.open()))
    assert rows[0] == ["time", "DPOS", "MPOS", "SPEED"]
    assert 5 <= len(rows) - 1 <= 8, rows
    assert all(float(row[3]) == 75.0 for row in rows[1:])
    assert [float(row[0]) for row in rows[1:]] == sorted(float(row[0]) for row in rows[1:])
    if importlib.util.find_spec("matplotlib"):
        assert code == 0 and plot.stat().st_size > 0
    else:  # the optional extra is missing: said in one line, the samples kept
        assert code == 1 and "matplotlib" in err and len(err.splitlines()) == 1

    code, out, err = run(capsys, "monitor", "--axis", 0, "--duration", 0.15, "--rate", 20, *link)
    assert code == 0 and out.splitlines()[0] == "time,DPOS,MPOS" and len(out.splitlines()) >= 3


def test_failures_are_one_line_and_exit_non_zero(sim, capsys):
    host, port = sim
    code, out, err = run(capsys, "param", "get", "DPOS", 99, "--host", host, "--port", port)
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and "controller error 4" in err

    code, out, err = run(capsys, "vr", "get", 1, "--host", "127.0.0.1", "--port", 1)
    assert code == 1 and err.count("\n") == 1 and "Connection refused" in err

    with pytest.raises(SystemExit) as usage:
        main(["vr", "get", "not-a-number"])
    assert usage.value.code == 2


def test_sim_runs_the_bundled_simulator():
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    process = subprocess.Popen(
        [sys.executable, "-c", "import sys; from holvane.cli import main; sys.exit(main())",
         "sim", "--host", "127.0.0.1", "--port", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    try:
        line = _read_line(process.stdout, 10.0)
        assert line.startswith("listening on 127.0.0.1:"), line
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0
        process.stdout.close()
