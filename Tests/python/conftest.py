"""Shared fixtures: the build folder, the module, the stand-in plug-ins, the
controller simulator and a child-process runner for loader tests."""

import contextlib
import ctypes
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("HOLVANE_BUILD_DIR", REPO / "build")).resolve()
# HOLVANE_INSTALLED=1: the module, the TCP plug-in, the simulator and holvane
# are the installed package's (a wheel installed in this interpreter); only the
# stand-in plug-ins come from the build tree, which must then be built with the
# same C++ standard library as the installed module.
INSTALLED = os.environ.get("HOLVANE_INSTALLED", "") not in ("", "0")


def _installed_products():
    """The installed module's folder and simulator; fails the run when they are
    missing or come from the source tree."""
    import importlib.util

    spec = importlib.util.find_spec("Vantrel_HolvaneAPI")
    package = importlib.util.find_spec("holvane")
    if spec is None or spec.origin is None or package is None or package.origin is None:
        raise pytest.UsageError(
            f"HOLVANE_INSTALLED is set, but Vantrel_HolvaneAPI or holvane is not installed in {sys.executable}"
        )
    module_dir = Path(spec.origin).resolve().parent
    simulator = Path(package.origin).resolve().parent / "bin" / "holvane-sim"
    for path in (module_dir, simulator):
        if REPO in path.parents:
            raise pytest.UsageError(f"HOLVANE_INSTALLED is set, but {path} is in the source tree")
    return module_dir, simulator


if INSTALLED:
    MODULE_DIR, SIMULATOR = _installed_products()
else:
    # The module (with the TCP plug-in beside it) may come from a tree built for
    # another interpreter; the simulator and the stand-in plug-ins do not depend on it.
    MODULE_DIR = Path(os.environ.get("HOLVANE_MODULE_DIR", BUILD / "python")).resolve()
    SIMULATOR = BUILD / "bin" / "holvane-sim"
    if str(MODULE_DIR) not in sys.path:
        sys.path.insert(0, str(MODULE_DIR))
PLUGIN_DIR = BUILD / "test-plugins"
TCP_PLUGIN = MODULE_DIR / "libVantrel_HolvaneApi-TCP-x64.so"


# The only reasons a test may be skipped for; any other skip fails the run, so
# a missing build product or a forgotten switch never passes unnoticed.
DECLARED_SKIPS = ("set HOLVANE_SOAK=1 to run the soak test",)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits out a long protocol time-out (10 s or more)")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.skipped and not hasattr(report, "wasxfail"):
        reason = str(report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr)
        if not any(declared in reason for declared in DECLARED_SKIPS):
            report.outcome = "failed"
            report.longrepr = f"skipped for an undeclared reason (declare it in conftest.DECLARED_SKIPS): {reason}"


def require_built(path, what):
    """The path of a build product; fails the test when it is missing."""
    if not Path(path).exists():
        pytest.fail(
            f"{what} not built: {path} is missing (build the tree with "
            f"scripts/build.sh, tests on, or set HOLVANE_BUILD_DIR)",
            pytrace=False,
        )
    return path


def run_example(name, *args, env=None):
    """Runs Examples/<name> with this interpreter, the module and package under
    test importable (the source tree's, unless the suite runs on an installed
    wheel); returns the finished process, its output as text."""
    env = dict(os.environ, **(env or {}))
    if not INSTALLED:
        env["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR), str(REPO / "Source" / "PythonModule")])
    return subprocess.run(
        [sys.executable, str(REPO / "Examples" / name), *map(str, args)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


@pytest.fixture(scope="session")
def hv():
    import Vantrel_HolvaneAPI

    return Vantrel_HolvaneAPI


class FakePlugin:
    """The recording stand-in plug-in, loaded into this process so that the
    factory's plain-name lookup finds it (it serves ConnectionType.QUENTA)."""

    def __init__(self, path):
        self.path = path
        self.lib = ctypes.CDLL(str(path))
        self.lib.fake_take_log.restype = ctypes.c_size_t
        self.lib.fake_take_log.argtypes = [ctypes.c_char_p, ctypes.c_size_t]

    def take(self):
        """The calls made since the last look, one text line each."""
        buffer = ctypes.create_string_buffer(1 << 20)
        self.lib.fake_take_log(buffer, len(buffer))
        text = buffer.value.decode()
        return [line for line in text.split("\n") if line]

    def live_objects(self):
        return self.lib.fake_live_objects()

    def max_in_flight(self):
        return self.lib.fake_max_in_flight()


def load_stand_in(type_name):
    return require_built(PLUGIN_DIR / f"libVantrel_HolvaneApi-{type_name}-x64.so", "stand-in plug-in")


@pytest.fixture(scope="session")
def fake_plugin():
    return FakePlugin(load_stand_in("QUENTA"))


@pytest.fixture
def fake(hv, fake_plugin):
    """A Connection with a context on the recording plug-in; the call log is
    empty when the test starts and the context is gone when it ends."""
    connection = hv.Connection()
    assert connection.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
    fake_plugin.take()
    yield connection, fake_plugin
    connection.DestroyContext()
    fake_plugin.take()


@pytest.fixture
def tcp_plugin():
    return require_built(TCP_PLUGIN, "TCP plug-in")


def _stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    # The threads draining its output end now rather than some time later,
    # and the pipe is closed, so tests that count threads and descriptors
    # start from a settled process.
    stream = process.stdout
    if stream is not None:
        for thread in threading.enumerate():
            if thread is not threading.current_thread() and getattr(thread, "_target", None) == stream.read:
                thread.join(5)
        stream.close()


class Sim:
    """holvane-sim on a free port, with the given fault options."""

    def __init__(self, *options):
        require_built(SIMULATOR, "holvane-sim")
        self.process = subprocess.Popen(
            [str(SIMULATOR), "--host", "127.0.0.1", "--port", "0", *map(str, options)],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        line = _read_line(self.process.stdout, 10.0)
        if not line.startswith("listening on "):
            _stop(self.process)
            pytest.fail(f"simulator did not start: {line!r}")
        host, port = line[len("listening on ") :].strip().rsplit(":", 1)
        self.host, self.port = host, int(port)
        # Keep draining its output so it never blocks on a full pipe.
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def close(self):
        _stop(self.process)


@pytest.fixture
def sim(tcp_plugin):
    """Starts holvane-sim on a free port; yields (host, port)."""
    started = Sim()
    try:
        yield started.host, started.port
    finally:
        started.close()


@pytest.fixture
def sims(tcp_plugin):
    """Starts simulators on demand, sims(*options) -> Sim; stops them all
    when the test ends."""
    started = []

    def start(*options):
        one = Sim(*options)
        started.append(one)
        return one

    yield start
    for one in started:
        one.close()


def _read_line(stream, timeout):
    result = []
    reader = threading.Thread(target=lambda: result.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    return result[0] if result else ""


def unconnected(hv, host, port, trace=0):
    """A Connection with a TCP context aimed at host:port, not yet connected."""
    c = hv.Connection()
    assert c.CreateContext(hv.ConnectionType.TCP) == hv.ErrorCode.NoError
    assert c.WriteStringAttribute("TCP_HostName", host) == hv.ErrorCode.NoError
    assert c.WriteIntAttribute("TCP_Port", port) == hv.ErrorCode.NoError
    c.WriteIntAttribute("TCP_Trace", trace)
    return c


def connect(hv, host, port, trace=0):
    """A connected Connection to host:port over the TCP plug-in."""
    c = unconnected(hv, host, port, trace)
    code = c.Connect()
    assert code == hv.ErrorCode.NoError, hex(int(code))
    return c


def run_python(code, env_extra=None, drop=(), timeout=60, cwd=None):
    """Runs a snippet in a fresh interpreter (loader paths are read at start-up);
    returns the completed process. The module's folder is on sys.path there
    (the build tree's, or the installed package's)."""
    env = dict(os.environ)
    for name in drop:
        env.pop(name, None)
    env.update(env_extra or {})
    prelude = "import sys\n"
    if not INSTALLED:
        env.setdefault("PYTHONPATH", str(MODULE_DIR))
        prelude += f"sys.path.insert(0, {str(MODULE_DIR)!r})\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=cwd,
    )


def sockets():
    """The sockets this process holds, by kernel identity."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:"):
            found.add(target)
    return found


@contextlib.contextmanager
def full_listener():
    """A port whose listener's accept queue is full: the kernel drops every
    further SYN, as a host behind a dropping firewall. Yields the port."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(0)
    fillers = []
    try:
        for _ in range(3):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(server.getsockname())
            fillers.append(filler)
        time.sleep(0.05)
        yield server.getsockname()[1]
    finally:
        for filler in fillers:
            filler.close()
        server.close()


def wait_until(predicate, timeout=5.0, step=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


@pytest.fixture
def peer(tcp_plugin):
    """A scripted controller on a free port (see fake_controller.py)."""
    from fake_controller import FakeController

    controller = FakeController()
    yield controller
    controller.close()


@pytest.fixture
def linked(hv, peer):
    """A Connection linked to the scripted controller; released afterwards."""
    c = connect(hv, "127.0.0.1", peer.port)
    yield c, peer
    c.DestroyContext()
