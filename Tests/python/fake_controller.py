"""A scripted controller for end-to-end tests of the module with the real TCP
plug-in: serves a token table, answers the VERSION and CONTROL queries, then
decodes every request into tokens and answers it from a test's responder."""

import contextlib
import socket
import struct
import threading
import time

from conftest import wait_until

# The controller's token table: record letter, code, name.
TOKENS = [
    ("C", 0, "TOKENTABLE"),
    ("C", 1, "VR"),
    ("C", 2, "VRVALUES"),
    ("C", 3, "TABLEVALUES"),
    ("S", 4, "OPENBRACKETS"),
    ("S", 5, "CLOSEBRACKETS"),
    ("S", 6, "ASSIGN"),
    ("S", 7, "NUMBER"),
    ("S", 8, "EOX"),
    ("S", 9, "COMMA"),
    ("V", 10, "VERSION"),
    ("V", 11, "CONTROL"),
    ("S", 12, "SYSTEMVARIABLE"),
    ("S", 13, "SYSTEMVARIABLE2"),
    ("S", 14, "UNKNOWN"),
    ("C", 15, "DIR"),
    ("S", 16, "QUOTES"),
    ("C", 17, "TABLE"),
    ("C", 18, "EXECUTE"),
    ("C", 19, "EX"),
    ("C", 20, "BASE"),
    ("C", 21, "SET_MOTION"),
    ("C", 22, "SET_MOTIONSP"),
    ("S", 23, "MODIFIER"),
    ("M", 24, "AXIS"),
    ("C", 25, "CANCEL"),
    ("C", 26, "DATUM"),
    ("C", 27, "DEFPOS"),
    ("C", 28, "FORWARD"),
    ("C", 29, "REVERSE"),
    ("C", 30, "MOVE"),
    ("C", 31, "MOVESP"),
    ("C", 32, "MOVEABS"),
    ("C", 33, "MOVEABSSP"),
    ("C", 34, "INVERT_IN"),
    ("C", 35, "PRINT"),
    ("C", 36, "LEN"),
    ("C", 37, "VRSTRING"),
    ("S", 38, "OPENSQUAREBRACKETS"),
    ("S", 39, "CLOSESQUAREBRACKETS"),
    ("S", 40, "SEMICOLON"),
    ("S", 41, "COLON"),
    ("V", 50, "SPEED"),
    ("V", 51, "DPOS"),
    ("V", 52, "MPOS"),
    ("S", 200, "ZERO"),
    ("S", 255, "EXTENDED_TOKEN"),
]
NAMES = {code: name for _, code, name in TOKENS}
CODES = {name: code for _, code, name in TOKENS}
ZERO, NUMBER, EOX, QUOTES, SYSVAR, ACK = 200, 7, 8, 16, 12, 14


def table_text():
    lines = []
    for letter, code, name in TOKENS:
        if letter == "C":
            lines.append(f"C{code}{name},0,0,0,4,0,0,c>")
        elif letter == "V":
            lines.append(f"V{code}{name},1,w>")
        elif letter == "M":
            lines.append(f"M{code}{name},1,1,0")
        else:
            lines.append(f"S{code}{name}")
    return ("\r\n".join(lines) + "\r\n[EOT]\r\n").encode()


def tms(value):
    """A number in the TMS320 32-bit format, little-endian."""
    bits = struct.unpack("<I", struct.pack("<f", value))[0]
    sign, exponent, fraction = bits >> 31, (bits >> 23) & 0xFF, bits & 0x7FFFFF
    if exponent == 0:
        word = 0x80000000
    elif sign == 0:
        word = ((exponent - 127) & 0xFF) << 24 | fraction
    elif fraction:
        word = ((exponent - 127) & 0xFF) << 24 | 1 << 23 | (0x800000 - fraction)
    else:
        word = ((exponent - 128) & 0xFF) << 24 | 1 << 23
    return struct.pack("<I", word)


def ieee(value):
    return struct.pack("<d", value)


def simple_reply(value=0.0, status=0):
    """Value then status, as an IEEE controller answers."""
    return ieee(value) + ieee(status)


class Chunks(list):
    """A reply sent in pieces: the first at once, each further one after the
    plug-in's one-byte acknowledgement (value-list replies)."""


class Drip(bytes):
    """A reply sent one byte at a time, `interval` seconds apart: a controller
    behind a crawling link."""

    interval = 1.0


class FakeController:
    def __init__(self, version=2.0, controller_type=400):
        self.version, self.controller_type = version, controller_type
        self.responder = lambda tokens: simple_reply()
        self.requests = []
        self.acks = 0
        self.closed_by_peer = threading.Event()
        self.connections = 0
        self.table_delay = 0.0  # seconds before the token table is sent: a slow connect
        self._clients = []
        self._serving = []
        self._lock = threading.Lock()
        self._server = socket.socket()
        self._server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._server.bind(("127.0.0.1", 0))
        self._server.listen(16)
        self.port = self._server.getsockname()[1]
        self._running = True
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def close(self):
        self._running = False
        with contextlib.suppress(OSError):
            self._server.shutdown(socket.SHUT_RDWR)
        self._server.close()
        self.drop_clients()
        # Its threads end here, not later inside another test.
        self._thread.join(5)
        for thread in self._serving:
            thread.join(5)

    def drop_clients(self):
        """Closes every client link, as a controller that goes away."""
        with self._lock:
            for client in self._clients:
                with contextlib.suppress(OSError):
                    client.shutdown(socket.SHUT_RDWR)

    def reset_clients(self):
        """Resets every client link (RST, not FIN), as a controller that fails."""
        with self._lock:
            for client in self._clients:
                try:
                    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    client.close()
                except OSError:
                    pass

    def wait_requests(self, count, timeout=5.0):
        def arrived():
            with self._lock:
                return len(self.requests) >= count

        return wait_until(arrived, timeout, step=0.005)

    def take(self):
        with self._lock:
            taken, self.requests = self.requests, []
        return taken

    def _accept(self):
        while self._running:
            try:
                client, _ = self._server.accept()
            except OSError:
                return
            with self._lock:
                self._clients.append(client)
                self.connections += 1
            thread = threading.Thread(target=self._serve, args=(client,), daemon=True)
            self._serving.append(thread)
            thread.start()

    def _serve(self, client):
        reader = _Reader(client)
        try:
            if reader.take(2) != bytes([0, ZERO]):
                return
            time.sleep(self.table_delay)
            client.sendall(table_text())
            ieee_mode = False
            pipelined = []  # requests that arrived while a list awaited its acknowledgement
            while True:
                tokens = pipelined.pop(0) if pipelined else reader.request(ieee_mode)
                if tokens == [("SYSTEMVARIABLE", "VERSION")]:
                    client.sendall(tms(self.version) + tms(0))
                    continue
                if tokens == [("SYSTEMVARIABLE", "CONTROL")]:
                    client.sendall(tms(self.controller_type) + tms(0))
                    ieee_mode = True
                    continue
                with self._lock:
                    self.requests.append(tokens)
                reply = self.responder(tokens)
                if reply is None:
                    continue  # a silent controller
                if isinstance(reply, Drip):
                    for i in range(len(reply)):
                        client.sendall(reply[i : i + 1])
                        time.sleep(reply.interval)
                    continue
                if isinstance(reply, Chunks):
                    client.sendall(reply[0])
                    for chunk in reply[1:]:
                        # Other callers may write their requests before the
                        # reader thread acknowledges the list: keep them, in
                        # order, and answer them once the list is done.
                        while reader.peek() != ACK:
                            pipelined.append(reader.request(ieee_mode))
                        reader.take(1)
                        with self._lock:
                            self.acks += 1
                        client.sendall(chunk)
                else:
                    client.sendall(reply)
        except (ConnectionError, OSError, EOFError):
            pass
        finally:
            client.close()
            self.closed_by_peer.set()


class _Reader:
    def __init__(self, sock):
        self.sock, self.buffer = sock, b""

    def take(self, count):
        while len(self.buffer) < count:
            data = self.sock.recv(4096)
            if not data:
                raise EOFError
            self.buffer += data
        taken, self.buffer = self.buffer[:count], self.buffer[count:]
        return taken

    def peek(self):
        byte = self.take(1)
        self.buffer = byte + self.buffer
        return byte[0]

    def _data_byte(self, escaped):
        byte = self.take(1)[0]
        if escaped and byte == 0x1B:
            byte = self.take(1)[0]
        return byte

    def request(self, ieee_mode):
        """One request as a list: token names, floats for numbers, bytes for
        quoted strings, ("SYSTEMVARIABLE", name) for system variables."""
        tokens = []
        while True:
            code = self.take(1)[0]
            if code == ZERO:
                return tokens
            if code == NUMBER:
                size = 8 if ieee_mode else 4
                raw = bytes(self._data_byte(ieee_mode) for _ in range(size))
                if self.take(1)[0] != EOX:
                    raise ConnectionError("number without EOX")
                tokens.append(struct.unpack("<d", raw)[0] if ieee_mode else raw)
            elif code == QUOTES:
                text = bytearray()
                while True:
                    byte = self.take(1)[0]
                    if byte == QUOTES:
                        break
                    if ieee_mode and byte == 0x1B:
                        byte = self.take(1)[0]
                    text.append(byte)
                tokens.append(bytes(text))
            elif code == SYSVAR:
                tokens.append(("SYSTEMVARIABLE", NAMES.get(self.take(1)[0], "?")))
            else:
                tokens.append(NAMES.get(code, code))
