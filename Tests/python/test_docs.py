"""The documentation's examples: every Python example on every page runs
against a fresh simulator per page, and every command-line example runs
while the pages are read (a command that fails, or exits with another status
than its page says, fails the build). They run in a private network
namespace, so that the simulator listens on 127.0.0.1:3240 as the pages
assume, whatever else uses that port on this machine."""

import os
import re
import subprocess
import sys

import pytest
from conftest import BUILD, INSTALLED, MODULE_DIR, REPO, SIMULATOR, TCP_PLUGIN, require_built, run_example

DOCS = REPO / "docs"
# Pages whose examples are all command lines, run while the pages are read.
COMMAND_PAGES = {"guide/cli"}


def sphinx_python():
    """(interpreter with Sphinx, extra environment): this one, else the
    reference 3.10 given the module under test (the build folder's, or the
    installed package's folder when the suite runs on an installed wheel)."""
    env = {"HOLVANE_DOCS_INSTALLED": "1", "PYTHONPATH": str(MODULE_DIR)} if INSTALLED else {}
    try:
        import sphinx  # noqa: F401

        return sys.executable, {**env, "HOLVANE_MODULE_DIR": str(MODULE_DIR)}
    except ImportError:
        found = subprocess.run(
            ["bash", str(REPO / "scripts" / "find-python.sh")], capture_output=True, text=True, check=False
        )
        assert found.returncode == 0, found.stderr
        return found.stdout.strip(), {**env, "HOLVANE_MODULE_DIR": str(MODULE_DIR if INSTALLED else BUILD / "python")}


def delay_proxy():
    """The benchmarks' delay proxy: from the build folder, else the source
    tree's build (an installed wheel does not carry it)."""
    for build in (BUILD, REPO / "build"):
        if (build / "bin" / "holvane_delay_proxy").exists():
            return build
    return require_built(BUILD / "bin" / "holvane_delay_proxy", "holvane_delay_proxy").parents[1]


def pages():
    found = (p.relative_to(DOCS) for p in DOCS.rglob("*.rst"))
    return sorted(str(p.with_suffix("")) for p in found if not any(part.startswith("_") for part in p.parts))


@pytest.fixture(scope="module")
def doctest_run(tmp_path_factory):
    require_built(SIMULATOR, "holvane-sim")
    require_built(TCP_PLUGIN, "TCP plug-in")
    python, extra = sphinx_python()
    out = tmp_path_factory.mktemp("doctest")
    env = dict(os.environ, HOLVANE_DOCS_NETNS="1", HOLVANE_BUILD_DIR=str(BUILD), **extra)
    result = subprocess.run(
        [
            "unshare",
            "--map-root-user",
            "--net",
            python,
            "-m",
            "sphinx",
            "-E",
            "-W",
            "--keep-going",
            "-q",
            "-b",
            "doctest",
            str(DOCS),
            str(out),
        ],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    report = (out / "output.txt").read_text() if (out / "output.txt").exists() else ""
    return result, report


def test_every_example_on_every_page_runs_and_prints_what_the_page_says(doctest_run):
    result, report = doctest_run
    assert result.returncode == 0, f"{result.stdout}\n{result.stderr}\n{report}"
    assert re.search(r"^\s+0 failures in tests$", report, re.MULTILINE), report
    # Every page but the command-line one has Python examples, and each ran.
    passed = dict(re.findall(r"^Document: (\S+)\n-+\n(?:.*\n)*?(\d+) passed and 0 failed\.$", report, re.MULTILINE))
    for page in pages():
        if page in COMMAND_PAGES:
            continue
        assert int(passed.get(page, 0)) > 0, f"no example of docs/{page}.rst ran:\n{report}"


def test_python_examples_are_never_left_untested():
    """A Python example in a plain code block would never run: examples are
    doctest blocks or testcode/testoutput pairs."""
    untested = []
    for path in DOCS.rglob("*.rst"):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if re.match(r"\s*\.\. (code-block|code|sourcecode)::\s*(python|py|pycon)\s*$", line):
                untested.append(f"{path.relative_to(REPO)}:{number}")
    assert not untested, f"Python examples that no test runs: {untested}"


def test_batch_cost_measurement_prints_every_kind_of_item(tmp_path):
    """Examples/batch_costs.py, which the batches page's table comes from."""
    require_built(SIMULATOR, "holvane-sim")
    csv_file = tmp_path / "costs.csv"
    result = run_example(
        "batch_costs.py",
        *("--delay-us", 0, "--items", 6, "--repeat", 1, "--csv", csv_file),
        env={"HOLVANE_BUILD_DIR": str(delay_proxy())},
    )
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [line.split(",") for line in csv_file.read_text().splitlines()]
    assert rows[0] == ["what", "ms", "round trips"]
    kinds = [what for what, _, _ in rows[1:]]
    assert kinds == [
        "one read_vr (the round trip)",
        *(f"batch of 6 {kind}" for kind in ("read_vr", "write_vr", "read_param", "write_param", "read_table")),
        "vr[a:b] of 6 values",
        "table[a:b] of 6 values",
        "vr[a:b] of 6 zeros",
        "batch of 120 read_vr",
        "vr[a:b] of 120 values",
        "table[a:b] of 120 values",
    ]
    assert all(float(ms) > 0 and float(trips) > 0 for _, ms, trips in rows[1:])
    assert rows[1][2] == "1.0"  # the unit the others are counted in
    # The committed table the page shows has the same rows.
    committed = (DOCS / "_data" / "batch-costs.csv").read_text().splitlines()
    shown = [line.split(",")[0].replace(" 48 ", " 6 ").replace(" 960 ", " 120 ") for line in committed]
    assert shown == [row[0] for row in rows]


def test_recording_plot_example_records_moving_axes_and_draws_them(sim, tmp_path):
    """Examples/record_plot.py, which made the recording page's plot."""
    host, port = sim
    image = tmp_path / "recording.png"
    result = run_example("record_plot.py", "--host", host, "--port", port, "-o", image)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "samples of DPOS(0), MPOS(0), DPOS(1), MPOS(1) at 1000 Hz" in result.stdout
    assert image.read_bytes().startswith(b"\x89PNG\r\n\x1a\n") and image.stat().st_size > 10_000


def test_readme_shows_the_defaults_of_connect_as_they_are():
    """The README spells out connect's signature: its defaults are the code's."""
    import inspect

    import holvane

    text = " ".join((REPO / "README.md").read_text().split())
    shown = re.search(r"`holvane\.connect\(host, port, \*, ([^)]*)\)`", text)
    assert shown, "the README no longer shows holvane.connect's signature"
    pairs = dict(item.split("=", 1) for item in shown.group(1).split(", "))
    actual = {
        name: repr(p.default)
        for name, p in inspect.signature(holvane.connect).parameters.items()
        if p.kind is p.KEYWORD_ONLY
    }
    assert pairs == actual
