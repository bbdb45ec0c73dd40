"""Sphinx extension of the Holvane API documentation.

- Figures: every number the pages print about the library's limits is a
  substitution (``|reply_timeout_ms|``) taken at build time from the code:
  the module's constants, bound from the C++ sources, or, for a constant an
  older module does not publish, the C++ header that defines it; the Python
  client's defaults from its signatures. A page can never disagree with the
  code it describes.
- ``.. holvane-command:: holvane vr get 10 3`` runs the command at build time
  against the bundled simulator and shows it with its output, so a page shows
  what the program prints today. ``:returncode: N`` is the exit status the
  command must end with (0 by default; any other fails the build);
  ``:stop-after-lines: N`` ends a command that runs until stopped once it has
  printed N lines.
"""

from __future__ import annotations

import inspect
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path
from typing import Any, ClassVar

from docs_controller import CONTROLLER, CONTROLLER_PORT, private_network
from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]
SOURCES = ROOT / "Source"
PACKAGE_DIR = SOURCES / "PythonModule"

# Module constant -> (header under Source/, name there), for a module that
# does not publish the constant yet.
_HEADER_OF = {
    "DefaultReplyTimeoutMs": ("SharedLib/TimingPolicy.h", "DefaultReplyTimeoutMs"),
    "DefaultConnectTimeoutMs": ("SharedLib/TimingPolicy.h", "DefaultConnectTimeoutMs"),
    "DefaultDeadlineMs": ("SharedLib/TimingPolicy.h", "DefaultDeadlineMs"),
    "DefaultKeepAliveS": ("SharedLib/TimingPolicy.h", "DefaultKeepAliveS"),
    "MaxLimitMs": ("SharedLib/TimingPolicy.h", "MaxLimitMs"),
    "MaxKeepAliveS": ("SharedLib/TimingPolicy.h", "MaxKeepAliveS"),
    "InterruptSliceMs": ("SharedLib/TimingPolicy.h", "InterruptSliceMs"),
    "BatchMaxItems": ("Connection/Port/TCP/BatchExchange.h", "MaxItems"),
    "InterfaceLevel": ("SharedLib/IConnection.h", "InterfaceLevel"),
    # Not published by the module: how keepalive probes once the link is idle.
    "KeepAliveProbes": ("SharedLib/TimingPolicy.h", "KeepAliveProbes"),
    "KeepAliveIntervalS": ("SharedLib/TimingPolicy.h", "KeepAliveIntervalS"),
}


def _from_header(header: str, name: str) -> int:
    text = (SOURCES / header).read_text()
    match = re.search(rf"\bconstexpr\s+[\w:]+\s+{name}\s*=\s*(-?\d+)\s*;", text)
    if not match:
        raise ExtensionError(f"no constant {name} in Source/{header}")
    return int(match.group(1))


def constant(name: str) -> int:
    """A limit of the library: the module's constant, else its C++ header's."""
    import Vantrel_HolvaneAPI

    value = getattr(Vantrel_HolvaneAPI, name, None)
    if isinstance(value, int):
        return value
    return _from_header(*_HEADER_OF[name])


def _number(value: float) -> str:
    """12.0 -> '12', 0.25 -> '0.25', 65536 -> '65 536'."""
    text = f"{value:g}" if isinstance(value, float) else str(value)
    if re.fullmatch(r"-?\d{5,}", text):
        text = f"{int(text):,}".replace(",", "\u00a0")
    return text


def figures() -> dict[str, str]:
    """Substitution name -> text, for rst_epilog."""
    import holvane
    import holvane._sampler as sampler
    import holvane.aio
    import holvane.recording

    c = constant
    defaults = {name: p.default for name, p in inspect.signature(holvane.connect).parameters.items()}
    result: dict[str, Any] = {
        "reply_timeout_ms": c("DefaultReplyTimeoutMs"),
        "reply_timeout_s": c("DefaultReplyTimeoutMs") / 1000,
        "connect_timeout_ms": c("DefaultConnectTimeoutMs"),
        "connect_timeout_s": c("DefaultConnectTimeoutMs") / 1000,
        "deadline_ms": c("DefaultDeadlineMs"),
        "keepalive_s": c("DefaultKeepAliveS"),
        "max_limit_ms": c("MaxLimitMs"),
        "max_limit_h": c("MaxLimitMs") / 3_600_000,
        "max_keepalive_s": c("MaxKeepAliveS"),
        "interrupt_slice_ms": c("InterruptSliceMs"),
        "batch_max_items": c("BatchMaxItems"),
        "interface_level": c("InterfaceLevel"),
        "keepalive_probes": c("KeepAliveProbes"),
        "keepalive_interval_s": c("KeepAliveIntervalS"),
        "keepalive_found_s": c("DefaultKeepAliveS") + c("KeepAliveProbes") * c("KeepAliveIntervalS"),
        "py_timeout_s": defaults["timeout"],
        "py_deadline_s": defaults["deadline"],
        "py_connect_timeout_s": defaults["connect_timeout"],
        "py_keepalive_s": defaults["keepalive"],
        "py_keepalive_found_s": defaults["keepalive"] + c("KeepAliveProbes") * c("KeepAliveIntervalS"),
        "py_reconnect_delay_s": defaults["reconnect_delay"],
        "py_reconnect_delay_max_s": defaults["reconnect_delay_max"],
        "py_reconnect_give_up_s": defaults["reconnect_give_up"],
        "aio_workers": holvane.aio.DEFAULT_WORKERS,
        "max_rate_hz": sampler.MAX_RATE,
        "max_channels": holvane.recording.MAX_CHANNELS,
        "in_flight_seconds": sampler.IN_FLIGHT_SECONDS,
        "min_in_flight": sampler.MIN_IN_FLIGHT,
        "max_in_flight": sampler.MAX_IN_FLIGHT,
        "max_in_flight_requests": sampler.MAX_REQUESTS_IN_FLIGHT,
        "block_seconds": sampler.BLOCK_SECONDS,
        "buffer_seconds": sampler.BUFFER_SECONDS,
        "version": holvane.__version__,
    }
    return {name: _number(value) if isinstance(value, (int, float)) else str(value) for name, value in result.items()}


def _first_build() -> str:
    """The first-build time that scripts/quickstart.sh announces."""
    match = re.search(r'^FIRST_BUILD="([^"]+)"', (ROOT / "scripts" / "quickstart.sh").read_text(), re.MULTILINE)
    if not match:
        raise ExtensionError("scripts/quickstart.sh has no FIRST_BUILD line")
    return match.group(1)


def _distribution() -> dict[str, str]:
    """The distribution's name and extras, from pyproject.toml."""
    text = (ROOT / "pyproject.toml").read_text()
    project = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.MULTILINE | re.DOTALL)
    name = re.search(r'^name\s*=\s*"([^"]+)"', project.group(1) if project else "", re.MULTILINE)
    if not name:
        raise ExtensionError("pyproject.toml has no [project] name")
    extras_table = re.search(r"^\[project\.optional-dependencies\]\n(.*?)(?=^\[|\Z)", text, re.MULTILINE | re.DOTALL)
    extras = []
    named: dict[str, str] = {}
    for line in (extras_table.group(1) if extras_table else "").splitlines():
        match = re.match(r"^\s*([\w-]+)\s*=\s*\[(.*)\]", line)
        if match:
            needs = ", ".join(re.split(r"[<>=!~;\[ ]", d)[0] for d in re.findall(r'"([^"]+)"', match.group(2)))
            extras.append(f"``{name.group(1)}[{match.group(1)}]`` ({needs})")
            named[f"extra_{match.group(1)}"] = f"``{name.group(1)}[{match.group(1)}]``"
    return {"distribution": f"``{name.group(1)}``", "extras": "; ".join(extras) or "none", **named}


def _add_figures(app: Sphinx, config: Any) -> None:
    table = figures()
    table["first_build"] = _first_build()
    table.update(_distribution())
    lines = [f".. |{name}| replace:: {text}" for name, text in sorted(table.items())]
    config.rst_epilog = (config.rst_epilog or "") + "\n" + "\n".join(lines) + "\n"


# --- commands run at build time ----------------------------------------------

_NEEDS_NO_LINK = {"sim", "--help", "-h", "--version"}
# What each program shown on a page runs: the package's module, so that the
# pages use the sources (or the installed wheel) they document.
_PROGRAMS = {"holvane": "holvane", "holvane-sim": "holvane.simulator"}


def _command_env() -> dict[str, str]:
    env = dict(os.environ)
    paths = [str(PACKAGE_DIR)]
    if os.environ.get("HOLVANE_DOCS_INSTALLED") != "1":
        build = Path(os.environ.get("HOLVANE_BUILD_DIR", ROOT / "build"))
        paths.insert(0, os.environ.get("HOLVANE_MODULE_DIR", str(build / "python")))
    else:
        paths = []
    env["PYTHONPATH"] = os.pathsep.join([*paths, env["PYTHONPATH"]] if env.get("PYTHONPATH") else paths)
    env["COLUMNS"] = "80"  # help texts wrapped as on a usual terminal
    env.pop("HOLVANE_HOST", None)
    env.pop("HOLVANE_PORT", None)
    return env


class HolvaneCommand(SphinxDirective):
    """Runs a ``holvane`` or ``holvane-sim`` command and shows it with its output."""

    required_arguments = 1
    final_argument_whitespace = True
    option_spec: ClassVar[dict[str, Any]] = {
        "returncode": directives.nonnegative_int,
        "stop-after-lines": directives.positive_int,
    }
    _last_document = ""

    def run(self) -> list[nodes.Node]:
        words = shlex.split(self.arguments[0])
        # Leading NAME=value words set the command's environment, as in a shell.
        settings = {}
        while words and re.fullmatch(r"[A-Z_][A-Z0-9_]*=.*", words[0]):
            name, _, value = words.pop(0).partition("=")
            settings[name] = value
        if HolvaneCommand._last_document != self.env.docname:
            HolvaneCommand._last_document = self.env.docname
            CONTROLLER.fresh()  # every page starts from a controller in its initial state
        program, arguments = words[0], words[1:]
        if not CONTROLLER.default_port:
            # The examples' controller is elsewhere: the page shows where.
            arguments = [
                str(CONTROLLER.port) if a == str(CONTROLLER_PORT) and arguments[i - 1] == "--port" else a
                for i, a in enumerate(arguments)
            ]
            if settings.get("HOLVANE_PORT") == str(CONTROLLER_PORT):
                settings["HOLVANE_PORT"] = str(CONTROLLER.port)
        if program not in _PROGRAMS:
            raise self.error(f"holvane-command runs {' or '.join(_PROGRAMS)}, not {program!r}")
        runs_simulator = program == "holvane-sim" or arguments[:1] == ["sim"]
        if runs_simulator and "--help" not in arguments:
            # It may want the examples' port: the next command starts a fresh one.
            CONTROLLER.stop()
            HolvaneCommand._last_document = ""
            if not private_network() and "--port" not in arguments:
                arguments += ["--port", "0"]  # this machine's port 3240 may be taken
        elif program == "holvane" and not CONTROLLER.default_port and not self._names_port(arguments, settings):
            arguments += ["--port", str(CONTROLLER.port)]  # shown, so the page says what ran
        shown = " ".join([*(f"{k}={shlex.quote(v)}" for k, v in settings.items()), shlex.join([program, *arguments])])
        output, status = self._execute([sys.executable, "-m", _PROGRAMS[program], *arguments], settings)
        expected = self.options.get("returncode", 0)
        if status != expected:
            raise self.error(f"`{shown}` exited with {status}, not {expected}:\n{output}")
        text = f"$ {shown}\n{output}".rstrip("\n")
        block = nodes.literal_block(text, text)
        # A line of output that starts with "$" would be taken for a prompt.
        block["language"] = "none" if any(line.startswith("$") for line in output.splitlines()) else "console"
        return [block]

    @staticmethod
    def _names_port(arguments: list[str], settings: dict[str, str]) -> bool:
        """Whether a command names its port itself, or needs no link at all."""
        return bool(_NEEDS_NO_LINK & set(arguments)) or "--port" in arguments or "HOLVANE_PORT" in settings

    def _execute(self, argv: list[str], settings: dict[str, str]) -> tuple[str, int]:
        stop_after = self.options.get("stop-after-lines")
        process = subprocess.Popen(
            argv,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            env={**_command_env(), **settings},
            cwd=str(ROOT),
        )
        assert process.stdout is not None
        if stop_after is None:
            try:
                output, _ = process.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                process.communicate()
                raise self.error(f"`{shlex.join(argv)}` did not end within 60 s") from None
            return output, process.returncode
        lines = [process.stdout.readline() for _ in range(stop_after)]
        process.terminate()
        process.communicate(timeout=10)
        return "".join(lines), 0


# --- the simulator's error numbers, from the header that defines them ---------

SIM_ERRORS = ROOT / "Simulator" / "include" / "HolvaneSim" / "SimErrors.h"


def simulator_errors() -> list[tuple[int, str]]:
    """(number, meaning) of every error the simulator answers with: the
    enumerator's comment, else its name in words (eMoveBufferFull: move
    buffer full)."""
    found = []
    for line in SIM_ERRORS.read_text().splitlines():
        match = re.match(r"\s*e(\w+)\s*=\s*(\d+)\s*,\s*(?://\s*(.*))?$", line)
        if match and int(match.group(2)) != 0:
            name, number, comment = match.groups()
            words = re.sub(r"(?<=[a-z])(?=[A-Z])", " ", name).lower()
            found.append((int(number), (comment or words).strip()))
    if not found:
        raise ExtensionError(f"no error numbers found in {SIM_ERRORS}")
    return found


class SimulatorErrors(SphinxDirective):
    """A table of the simulator's error numbers."""

    def run(self) -> list[nodes.Node]:
        table = nodes.table()
        group = nodes.tgroup(cols=2)
        table += group
        for width in (15, 85):
            group += nodes.colspec(colwidth=width)
        rows = [("number", "meaning"), *((str(n), text) for n, text in simulator_errors())]
        head, body = nodes.thead(), nodes.tbody()
        for i, cells in enumerate(rows):
            row = nodes.row()
            for cell in cells:
                entry = nodes.entry()
                entry += nodes.paragraph(text=cell)
                row += entry
            (head if i == 0 else body).append(row)
        group += head
        group += body
        return [table]


def _stop_controller(app: Sphinx, exception: Any) -> None:
    CONTROLLER.stop()


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("config-inited", _add_figures)
    app.connect("build-finished", _stop_controller)
    app.add_directive("holvane-command", HolvaneCommand)
    app.add_directive("holvane-simulator-errors", SimulatorErrors)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
