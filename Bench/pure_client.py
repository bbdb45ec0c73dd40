"""The client a user would write instead of using the library: socket and
struct only. It downloads the controller's token table, asks for VERSION and
CONTROL exactly as the plug-in does, settles the number format and then reads
VR values with one request and one simple reply each."""

import math
import socket
import struct

CONTROLLER_ERROR = 0x400000000


class ProtocolError(Exception):
    pass


def tms_to_double(raw):
    """A 32-bit TMS320 float (exponent byte, sign bit, 23-bit fraction)."""
    exponent = raw >> 24
    if exponent >= 128:
        exponent -= 256
    if exponent == -128:
        return 0.0
    fraction = (raw & 0x7FFFFF) / 8388608.0
    mantissa = -2.0 + fraction if raw & 0x800000 else 1.0 + fraction
    return math.ldexp(mantissa, exponent)


def parse_token_table(text):
    """Maps (name, record letter) and name alone to the token code."""
    codes = {}
    for line in text.split(b"\r\n"):
        if not line or chr(line[0]) not in "CSEVMT":
            continue
        letter = chr(line[0])
        i = 1
        code = 0
        while i < len(line) and 48 <= line[i] <= 57:
            code = (code * 10 + line[i] - 48) & 0xFFFF
            i += 1
        rest = line[i:]
        # Special records end their name at the line end; the others at a comma.
        name = rest if letter in "SE" else rest.split(b",", 1)[0]
        name = name.decode("latin-1")
        codes.setdefault((name, letter), code)
        codes.setdefault(name, code)
    return codes


class PureClient:
    def __init__(self, host, port, timeout=10.0):
        self._host = host
        self._port = port
        self._timeout = timeout
        self._sock = None
        self.entries = 0

    # --- connection -----------------------------------------------------------
    def connect(self):
        self._sock = socket.create_connection((self._host, self._port), timeout=5.0)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock.settimeout(self._timeout)
        self._download_token_table()
        # Until the controller's type is known, numbers travel as TMS320 floats, unescaped.
        self._ieee = False
        self._escape = False
        version = self._read_system_variable("VERSION")
        ctype = int(self._read_system_variable("CONTROL"))
        if ctype == 0 or version == 0.0:
            raise ProtocolError("unsupported controller")
        if ctype <= 299 and ctype != 266:
            self._ieee, self._escape = False, version >= 1.51
        else:
            self._ieee, self._escape = True, True
        self._prepare_vr_request()

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _download_token_table(self):
        self._sock.sendall(bytes([0x00, 0xC8]))  # TOKENTABLE, ZERO with their default codes
        data = bytearray()
        while True:
            chunk = self._sock.recv(65536)
            if not chunk:
                raise ProtocolError("connection closed during the token table")
            data += chunk
            end = data.find(b"[EOT]\r\n")
            if end == 0 or (end > 0 and data[end - 2 : end] == b"\r\n"):
                break
        codes = parse_token_table(bytes(data[:end]))
        self.entries = sum(1 for key in codes if isinstance(key, tuple))
        self._codes = codes
        self._extended = codes.get("EXTENDED_TOKEN", 255)
        self._zero = self._token("ZERO")

    def _token(self, name, letter=None):
        code = self._codes.get((name, letter) if letter else name)
        if code is None:
            raise ProtocolError("the controller has no token " + name)
        if code > self._extended:
            return bytes([self._extended, (code - self._extended) & 0xFF])
        return bytes([code])

    def _read_system_variable(self, name):
        code = self._codes[(name, "V")]
        if code < 256:
            request = self._token("SYSTEMVARIABLE", "S") + self._code_bytes(code)
        else:
            request = self._token("SYSTEMVARIABLE2", "S") + self._code_bytes(code - 256)
        self._sock.sendall(request + self._zero)
        value, status = self._read_reply()
        if status:
            raise ProtocolError("%s answered status %d" % (name, status))
        return value

    def _code_bytes(self, code):
        if code > self._extended:
            return bytes([self._extended, (code - self._extended) & 0xFF])
        return bytes([code])

    # --- numbers --------------------------------------------------------------
    def _number(self, value):
        raw = struct.pack("<d", value) if self._ieee else self._double_to_tms(value)
        if self._escape:
            raw = raw.replace(b"\x1b", b"\x1b\x1b").replace(b"\x01", b"\x1b\x01")
        return self._tNUMBER + raw + self._tEOX

    @staticmethod
    def _double_to_tms(value):
        if value == 0.0:
            return struct.pack("<I", 0x80000000)
        mantissa, exponent = math.frexp(value)  # value = m * 2**e, 0.5 <= |m| < 1
        if mantissa > 0:
            e, f = exponent - 1, round((mantissa * 2 - 1.0) * 8388608) & 0x7FFFFF
            sign = 0
        else:
            m = -mantissa * 2  # 1 <= m < 2
            if m == 1.0:
                e, f, sign = exponent - 2, 0, 1
            else:
                e, f, sign = exponent - 1, (8388608 - round((m - 1.0) * 8388608)) & 0x7FFFFF, 1
        return struct.pack("<I", ((e & 0xFF) << 24) | (sign << 23) | f)

    def _recv_exact(self, count):
        data = self._sock.recv(count)
        while len(data) < count:
            chunk = self._sock.recv(count - len(data))
            if not chunk:
                raise ProtocolError("connection closed in a reply")
            data += chunk
        return data

    def _read_reply(self):
        if self._ieee:
            value, status = struct.unpack("<dd", self._recv_exact(16))
        else:
            raw_value, raw_status = struct.unpack("<II", self._recv_exact(8))
            value, status = tms_to_double(raw_value), tms_to_double(raw_status)
        return value, int(status) & 0xFFFF

    # --- the operation --------------------------------------------------------
    def _prepare_vr_request(self):
        self._tNUMBER = self._token("NUMBER", "S")
        self._tEOX = self._token("EOX", "S")
        self._vr_head = self._token("VR", "C") + self._token("OPENBRACKETS", "S")
        self._vr_tail = self._token("CLOSEBRACKETS", "S") + self._zero

    def read_vr(self, index):
        """Returns (error code, value): 0 or the controller band code."""
        self._sock.sendall(self._vr_head + self._number(float(index)) + self._vr_tail)
        value, status = self._read_reply()
        return (CONTROLLER_ERROR | status if status else 0), value


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=3240)
    parser.add_argument("index", type=int, nargs="?", default=0)
    args = parser.parse_args()
    client = PureClient(args.host, args.port)
    client.connect()
    print("token table: %d entries; VR(%d) -> %r" % (client.entries, args.index, client.read_vr(args.index)))
    client.close()
