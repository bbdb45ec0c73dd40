"""The controller the documentation's examples run against: holvane-sim on
127.0.0.1:3240, as a user's own would listen.

Port 3240 of the machine's loopback may be taken (by a developer's own
simulator, or another build), so scripts/build-docs.sh and the examples test
run the build in a private network namespace of their own and say so with
HOLVANE_DOCS_NETNS=1; its loopback starts down and is brought up here. Without
a namespace the simulator takes a free port instead, and the pages show the
``--port`` that the commands really ran with.
"""

from __future__ import annotations

import fcntl
import os
import socket
import struct
import subprocess
import threading

CONTROLLER_PORT = 3240

_SIOCSIFFLAGS = 0x8914
_IFF_UP, _IFF_LOOPBACK, _IFF_RUNNING = 0x1, 0x8, 0x40


def private_network() -> bool:
    """Whether this process runs in a network namespace made for the docs."""
    return os.environ.get("HOLVANE_DOCS_NETNS") == "1"


def bring_loopback_up() -> None:
    """Brings up the loopback interface of this network namespace (a new
    namespace has it down; the kernel then gives it 127.0.0.1/8)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH14x", b"lo", _IFF_UP | _IFF_LOOPBACK | _IFF_RUNNING)
        fcntl.ioctl(s.fileno(), _SIOCSIFFLAGS, request)


class DocsController:
    """One simulator at a time; :meth:`fresh` replaces it with a new one, so
    every page starts from a controller in its initial state."""

    def __init__(self) -> None:
        self.process: subprocess.Popen[str] | None = None
        self.host = "127.0.0.1"
        self.port = 0
        if private_network():
            bring_loopback_up()

    def fresh(self) -> None:
        from holvane.simulator import start_simulator

        self.stop()
        wanted = CONTROLLER_PORT if private_network() else 0
        self.process, self.port = start_simulator(self.host, wanted)
        stream = self.process.stdout
        assert stream is not None
        threading.Thread(target=stream.read, daemon=True).start()  # never let it block on output

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is None:
            return
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    @property
    def default_port(self) -> bool:
        """Whether the simulator listens where the examples look by default."""
        return self.port == CONTROLLER_PORT


# The one of this process (the Sphinx build's extension and the examples'
# global setup share it).
CONTROLLER = DocsController()
