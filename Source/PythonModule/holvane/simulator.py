"""The bundled controller simulator, ``holvane-sim``: finding it and running it.

An installed wheel carries the program at ``holvane/bin/holvane-sim``; a
source tree has it at ``<build>/bin/holvane-sim`` (``HOLVANE_BUILD_DIR``
names the build folder, ``build`` beside the sources by default).
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import time
from collections.abc import Sequence
from pathlib import Path

__all__ = ["find_simulator", "main", "start_simulator"]

_PACKAGED = Path(__file__).resolve().parent / "bin" / "holvane-sim"
_LISTENING = re.compile(r"^listening on .*:(\d+)$")


def find_simulator() -> str:
    """The path of the simulator program; raises ``FileNotFoundError``."""
    candidates: list[Path] = [_PACKAGED]
    build = os.environ.get("HOLVANE_BUILD_DIR")
    if build:
        candidates.append(Path(build) / "bin" / "holvane-sim")
    candidates.append(Path(__file__).resolve().parents[3] / "build" / "bin" / "holvane-sim")
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    tried = ", ".join(str(c) for c in candidates)
    raise FileNotFoundError(f"holvane-sim not found (looked at {tried})")


def start_simulator(
    host: str = "127.0.0.1", port: int = 0, extra_args: Sequence[str] = (), start_timeout: float = 10.0
) -> tuple[subprocess.Popen[str], int]:
    """Starts the simulator and waits until it listens.

    Returns the process and the port it listens on (``port=0`` picks a free
    one). The caller stops the process (``terminate()`` then ``wait()``).
    """
    process = subprocess.Popen(
        [find_simulator(), "--host", host, "--port", str(port), *extra_args],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    deadline = time.monotonic() + start_timeout
    assert process.stdout is not None
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        match = _LISTENING.match(line.strip())
        if match:
            return process, int(match.group(1))
    process.kill()
    process.wait()
    raise RuntimeError("holvane-sim did not start listening")


def main(argv: Sequence[str] | None = None) -> int:
    """Console entry ``holvane-sim``: runs the bundled program with the given arguments."""
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        program = find_simulator()
    except FileNotFoundError as error:
        print(f"holvane-sim: {error}", file=sys.stderr)
        return 1
    os.execv(program, [program, *args])
    return 0  # not reached: execv replaces the process


if __name__ == "__main__":
    sys.exit(main())
