"""The processes of the reconnect fault run: holvane-sim on a port that
survives its restarts, and holvane_fault_proxy driven through its standard
input."""

from __future__ import annotations

import contextlib
import os
import random
import select
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path
from typing import Any


class RunError(RuntimeError):
    """The run cannot go on: a program is missing, does not start or does not answer."""


def restartable_port(host: str) -> int:
    """A free port below the range the kernel hands out for outgoing links,
    so that no other program's connection takes it while a restarted
    controller or an outage leaves it unbound."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as ranges:
        ephemeral = int(ranges.read().split()[0])
    chooser = random.Random(os.getpid() ^ time.monotonic_ns())  # which port does not change what is tested
    for _ in range(500):
        port = chooser.randrange(max(1024, ephemeral - 12000), ephemeral)
        probe = socket.socket()
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind((host, port))
            return port
        except OSError:
            continue
        finally:
            probe.close()
    raise RunError("no free port below the ephemeral range")


def _read_line(stream: Any, timeout: float, what: str) -> str:
    """One line from a child's pipe; RunError after `timeout`."""
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        raise RunError(f"{what} did not answer within {timeout} s")
    return str(stream.readline())


class Simulator:
    """holvane-sim on a fixed port, logging every applied change; can be
    killed and started again on the same port and log."""

    def __init__(self, binary: Path, host: str, port: int, write_log: Path) -> None:
        self.binary, self.host, self.port, self.write_log = binary, host, port, write_log
        self.process: subprocess.Popen[str] | None = None
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(
            [str(self.binary), "--host", self.host, "--port", str(self.port), "--write-log", str(self.write_log)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        assert self.process.stdout is not None
        line = _read_line(self.process.stdout, 10.0, "holvane-sim")
        if not line.startswith("listening on "):
            self.kill()
            raise RunError(f"holvane-sim did not start on port {self.port}: {line!r}")

    def kill(self) -> None:
        """Ends it at once, as a controller that loses power."""
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            for stream in (self.process.stdout, self.process.stderr):
                if stream is not None:
                    stream.close()
            self.process = None

    def close(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(5)
        self.kill()


class FaultProxy:
    """holvane_fault_proxy, driven through its standard input."""

    def __init__(self, binary: Path, host: str, port: int, target_port: int) -> None:
        self.process = subprocess.Popen(
            [str(binary), "--listen", f"{host}:{port}", "--target", f"{host}:{target_port}"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        assert self.process.stdout is not None
        line = _read_line(self.process.stdout, 10.0, "holvane_fault_proxy")
        if not line.startswith("listening on "):
            self.close()
            raise RunError(f"holvane_fault_proxy did not start: {line!r}")
        self.host, self.port = host, int(line.rsplit(":", 1)[1])
        self._lock = threading.Lock()

    def __call__(self, command: str) -> str:
        """Carries out one command; its answer after "ok"."""
        with self._lock:
            assert self.process.stdin is not None and self.process.stdout is not None
            self.process.stdin.write(command + "\n")
            self.process.stdin.flush()
            answer = _read_line(self.process.stdout, 10.0, "holvane_fault_proxy").strip()
        if not answer.startswith("ok"):
            raise RunError(f"fault proxy refused {command!r}: {answer}")
        return answer[2:].strip()

    def fields(self, command: str) -> dict[str, int]:
        return {key: int(value) for key, value in (item.split("=") for item in self(command).split())}

    def status(self) -> tuple[bool, float, float]:
        """Whether the last fault went off, when, and when it stopped acting
        (seconds on the monotonic clock; 0 for not yet)."""
        found = self.fields("status")
        return bool(found["fired"]), found["fired_at"] / 1e9, found["ended_at"] / 1e9

    def close(self) -> None:
        if self.process.poll() is None:
            assert self.process.stdin is not None
            self.process.stdin.close()  # its input ends: it stops
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()
