"""Disconnect, DestroyContext and object destruction while eight threads are
inside operations on the same connection: every call returns within a bounded
time with a code, nothing crashes, and no thread or socket is left behind."""

import gc
import os
import threading
import time

from conftest import connect, wait_until

OK = 0
THREADS = 8
PROMPT = 5.0  # far below the 10 s reply limit


def tasks():
    return len(os.listdir("/proc/self/task"))


def descriptors():
    return len(os.listdir("/proc/self/fd"))


def baseline():
    """Threads and descriptors once those of earlier tests (pipe readers of
    stopped simulators) have gone: two readings 100 ms apart agree."""
    previous = None
    for _ in range(30):
        now = (tasks(), descriptors())
        if now == previous:
            break
        previous = now
        time.sleep(0.1)
    return now


class Workers:
    """Eight threads issuing mixed operations on one connection, each on its
    own VRs, recording every result and the longest call."""

    def __init__(self, c):
        self.c = c
        self.stop = threading.Event()
        self.results = []
        self.misrouted = 0
        self.longest = 0.0
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self.run, args=(w,)) for w in range(THREADS)]

    def run(self, worker):
        base = 2000 + worker * 8
        written = {}
        i = 0
        while not self.stop.is_set():
            slot = i % 4
            start = time.monotonic()
            kind = i % 6
            try:
                if kind in (0, 3):
                    value = worker * 1e6 + i
                    code = self.c.WriteVrValue(base + slot, value)
                    written[slot] = value if code == OK else None
                elif kind == 1:
                    code, value = self.c.ReadVrValue(base + slot)
                    if code == OK and written.get(slot) is not None and value != written[slot]:
                        with self.lock:
                            self.misrouted += 1
                elif kind == 2:
                    code, values = self.c.ReadMultiVrValues(base, 4)
                    if code == OK:
                        for k, v in enumerate(values):
                            if written.get(k) is not None and v != written[k]:
                                with self.lock:
                                    self.misrouted += 1
                elif kind == 4:
                    code, _ = self.c.ReadVrString(worker)
                else:
                    code, _ = self.c.Dir()
            except Exception as error:
                code = error
            took = time.monotonic() - start
            with self.lock:
                self.results.append(code)
                self.longest = max(self.longest, took)
            i += 1

    def start(self):
        for t in self.threads:
            t.start()

    def finish(self):
        self.stop.set()
        for t in self.threads:
            t.join(3 * PROMPT)
        assert not any(t.is_alive() for t in self.threads), "a worker did not return"
        errors = [r for r in self.results if isinstance(r, Exception)]
        assert not errors, errors[:3]
        assert self.misrouted == 0
        assert self.longest < PROMPT, f"a call took {self.longest:.2f} s"


def in_flight(hv, sim, action, rounds=3):
    """Starts the workers on a fresh connection, lets them run, applies
    `action` to the connection from this thread and checks the aftermath."""
    before_tasks, before_fds = baseline()
    for _ in range(rounds):
        c = connect(hv, "127.0.0.1", sim.port)
        workers = Workers(c)
        workers.start()
        time.sleep(0.15)
        start = time.monotonic()
        action(c)
        assert time.monotonic() - start < PROMPT
        time.sleep(0.05)
        workers.finish()
        codes = [int(r) for r in workers.results]
        assert OK in codes and any(code != OK for code in codes)
        c.DestroyContext()
        del c, workers
    gc.collect()
    assert wait_until(lambda: tasks() <= before_tasks), tasks()
    assert wait_until(lambda: descriptors() <= before_fds), descriptors()


def test_disconnect_while_eight_threads_operate(hv, sims):
    sim = sims()

    def disconnect(c):
        assert c.Disconnect() == OK
        assert c.IsConnected() is False

    in_flight(hv, sim, disconnect)


def test_destroy_context_while_eight_threads_operate(hv, sims):
    sim = sims()

    def destroy(c):
        assert c.DestroyContext() == OK
        # Nothing left to talk to: every later call says so at once.
        assert int(c.ReadVrValue(1)[0]) != OK

    in_flight(hv, sim, destroy)


def test_reconnect_while_eight_threads_operate(hv, sims):
    sim = sims()

    def reconnect(c):
        for host in ("localhost", "127.0.0.1", "localhost"):
            assert c.WriteStringAttribute("TCP_HostName", host) == OK
            assert c.Connect() == OK
            time.sleep(0.03)

    in_flight(hv, sim, reconnect, rounds=2)


def test_release_while_threads_wait_for_overdue_replies(hv, sims):
    """The context is released (DestroyContext, or Disconnect and then the
    object dropped) while eight threads wait for replies that never come; the
    waiters come back with a code long before the reply limit, and the socket
    and the reader thread go with the context. (A thread inside a call holds
    the object itself, so the object cannot go before the call returns.)"""
    silent = sims("--silent-after", 2)
    before_tasks, before_fds = baseline()
    for destroy in (True, False):
        c = connect(hv, "127.0.0.1", silent.port)
        results = [None] * THREADS

        def wait_for_reply(w, c=c):
            start = time.monotonic()
            code = c.ReadVrValue(w)[0] if w % 2 else c.WriteVrValue(w, 1.0)
            results[w] = (int(code), time.monotonic() - start)

        threads = [threading.Thread(target=wait_for_reply, args=(w,)) for w in range(THREADS)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        start = time.monotonic()
        if destroy:
            assert c.DestroyContext() == OK
        else:
            assert c.Disconnect() == OK
        del c
        for t in threads:
            t.join(3 * PROMPT)
        assert not any(t.is_alive() for t in threads)
        assert time.monotonic() - start < PROMPT
        for code, took in results:
            assert code != OK and took < PROMPT + 0.3
        threads.clear()
        gc.collect()  # the last reference goes with the threads: releases the context
    assert wait_until(lambda: tasks() <= before_tasks), tasks()
    assert wait_until(lambda: descriptors() <= before_fds), descriptors()


def test_block_reads_with_requests_queued_behind_them_keep_the_link(hv, peer):
    """One thread reads blocks while another reads single VRs on the same
    connection; the controller answers each queued request as soon as the
    list before it has ended, so the next reply can arrive in the same read
    as the list's tail. Nothing may be lost for that."""
    from fake_controller import Chunks, simple_reply

    def respond(tokens):
        if tokens and tokens[0] == "VRVALUES":
            return Chunks([simple_reply(), b"1,2,3,4,\r\n"])
        return simple_reply(5.5)

    peer.responder = respond
    c = connect(hv, "127.0.0.1", peer.port)
    try:
        stop = threading.Event()
        failures = []

        def blocks():
            while not stop.is_set():
                code, values = c.ReadMultiVrValues(300, 4)
                if code != OK or values != [1.0, 2.0, 3.0, 4.0]:
                    failures.append(("block", int(code)))
                    return

        def singles():
            while not stop.is_set():
                code, value = c.ReadVrValue(305)
                if code != OK or value != 5.5:
                    failures.append(("single", int(code)))
                    return

        threads = [threading.Thread(target=blocks), threading.Thread(target=singles)]
        for t in threads:
            t.start()
        time.sleep(3.0)
        stop.set()
        for t in threads:
            t.join(3 * PROMPT)
        assert failures == []
        assert c.IsConnected() is True
    finally:
        c.DestroyContext()
