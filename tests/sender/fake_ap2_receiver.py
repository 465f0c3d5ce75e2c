"""A fake AirPlay 2 receiver on loopback that records what it gets. Everything it checks the sender against is
derived here from the protocol notes with the cryptography library and struct, never with the package under test.
It renders a packet only while the sender's 0xD7 (or NTP 0xD4) timing agrees with the clock it follows: the
sender's own Sync/Follow_Up, or a FakeGrandmaster whose Follow_Ups carry a correctionField."""

import hashlib
import os
import plistlib
import struct
import threading
import time

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from worker_support import LoopbackServer, decode_escape

# A HomePod's features less bit 41 (PTP): a worker given only our address cannot reach our PTP ports.
FEATURES_NO_PTP = "0x4A7FCA00,0x3C3569D0"


def _floor_pi(scale_bits: int) -> int:
    """floor(2**scale_bits * pi), by Machin's formula in integers."""
    def arctan_inv(x, total=0, n=1, sign=1):
        term = (1 << (scale_bits + 64)) // x
        while term:
            total, term, n, sign = total + sign * (term // n), term // (x * x), n + 2, -sign
        return total
    return (16 * arctan_inv(5) - 4 * arctan_inv(239)) >> 64


# The 3072-bit group (RFC 3526 group 15 = RFC 5054 appendix A) from its defining formula, g = 5.
N, G = 2 ** 3072 - 2 ** 3008 - 1 + 2 ** 64 * (_floor_pi(2942) + 1690314), 5


def sha(*parts: bytes) -> bytes: return hashlib.sha512(b"".join(parts)).digest()
def num(data: bytes) -> int: return int.from_bytes(data, "big")
def minimal(n: int) -> bytes: return n.to_bytes(max(1, (n.bit_length() + 7) // 8), "big")
def pad(n: int) -> bytes: return n.to_bytes(384, "big")


def tlv(items) -> bytes:
    return b"".join(bytes((kind, len(value[i:i + 255]))) + value[i:i + 255]
                    for kind, value in items for i in range(0, max(len(value), 1), 255))


def untlv(data: bytes) -> dict:
    items, i = {}, 0
    while i < len(data):
        items[data[i]] = items.get(data[i], b"") + data[i + 2:i + 2 + data[i + 1]]
        i += 2 + data[i + 1]
    return items


class SrpServer:
    """Verifier side of SRP-6a (SHA-512, user Pair-Setup), computing S as (A·v^u)^b."""

    def __init__(self, password: bytes = b"3939", salt: bytes = None, private: int = None):
        self.salt = salt if salt is not None else os.urandom(16)
        self.v = pow(G, num(sha(self.salt, sha(b"Pair-Setup:" + password))), N)
        self.b = private if private is not None else num(os.urandom(32))
        self.public = (num(sha(pad(N), pad(G))) * self.v + pow(G, self.b, N)) % N
        self.session_key = None

    def verify(self, client_public: bytes, client_proof: bytes):
        """The server proof M2, or None when the client's proof is wrong."""
        a = num(client_public)
        key = sha(minimal(pow(a * pow(self.v, num(sha(pad(a), pad(self.public))), N), self.b, N)))
        h_ng = bytes(x ^ y for x, y in zip(sha(minimal(N)), sha(minimal(G))))
        if sha(h_ng, sha(b"Pair-Setup"), self.salt, minimal(a), minimal(self.public), key) != client_proof:
            return None
        self.session_key = key
        return sha(minimal(a), client_proof, key)

    def answer(self, body: bytes) -> bytes:
        items = untlv(body)
        if items.get(6) == b"\x01":
            return tlv([(6, b"\x02"), (2, self.salt), (3, pad(self.public))])
        proof = self.verify(items.get(3, b""), items.get(4, b""))
        return tlv([(6, b"\x04")] + ([(4, proof)] if proof else [(7, b"\x02")]))


def hap_nonce(counter: int) -> bytes: return bytes(4) + struct.pack("<Q", counter)


class HapEnd:
    """The receiver's end of a HAP channel: [LE16 length][ciphertext of <= 1024 bytes][tag], the length
    bytes as AAD, one nonce counter per direction."""

    def __init__(self, secret: bytes, salt: bytes, write_info: bytes, read_info: bytes):
        self.out, self.into = (ChaCha20Poly1305(HKDF(algorithm=hashes.SHA512(), length=32, salt=salt, info=info)
                                                .derive(secret)) for info in (write_info, read_info))
        self.sent = self.got = 0
        self.pending = b""

    def seal(self, data: bytes) -> bytes:
        out = b""
        for chunk in (data[i:i + 1024] for i in range(0, len(data), 1024)):
            length, self.sent = struct.pack("<H", len(chunk)), self.sent + 1
            out += length + self.out.encrypt(hap_nonce(self.sent - 1), chunk, length)
        return out

    def open(self, data: bytes) -> bytes:
        """Plaintext of the frames completed so far; raises InvalidTag on a frame that fails."""
        self.pending += data
        plain = b""
        while len(self.pending) >= 2 and len(self.pending) >= (end := 18 + struct.unpack_from("<H", self.pending)[0]):
            plain += self.into.decrypt(hap_nonce(self.got), self.pending[2:end], self.pending[:2])
            self.got, self.pending = self.got + 1, self.pending[end:]
        return plain


def ptp_message(kind: int, clock_id: int, sequence: int, body: bytes, correction_ns: int = 0) -> bytes:
    """An 802.1AS message (transportSpecific 1, version 2), correctionField in 2**-16 ns."""
    return struct.pack(">BBHBBHq4s8sHHBb", 0x10 | kind, 2, 34 + len(body), 0, 0, 0x0208 if kind == 0 else 0x0008,
                       correction_ns << 16, bytes(4), clock_id.to_bytes(8, "big"), 1, sequence,
                       {0: 0, 8: 2}.get(kind, 5), -2 if kind == 0xB else -3) + body


def ptp_time(ns: int) -> bytes:
    seconds, nanos = divmod(ns, 10 ** 9)
    return struct.pack(">HII", seconds >> 32, seconds & 0xFFFFFFFF, nanos)


PLIST = ["Content-Type: application/x-apple-binary-plist"]


class FakeAirPlay2Receiver(LoopbackServer):
    """Switches: another PIN, wrong channel keys, the stream reply's ports in either order,
    entries forced into the session or stream SETUP reply, another B in pair-setup M2, the event port closed, encrypted
    replies dripped one byte every 0.5 s from the request ``drip_from`` (a method or a URI) on, ``statuses`` answered
    (URI -> status) instead, the ``statusFlags`` in `GET /info`, its ``host``. ``plays``: seq -> when (ns of the clock
    followed) its first frame plays, by the latest anchor; ``local`` turns that into the local monotonic ns."""
    server = "AirTunes/980.77.2"

    def __init__(self, *, pin: bytes = b"3939", control_port_first: bool = True,
                 wrong_keys: bool = False, features: str = FEATURES_NO_PTP, session_reply: dict = None,
                 stream_reply: dict = None, server_public: bytes = None, events_closed: bool = False,
                 drip_from: str = None, statuses: dict = None, status_flags: int = 4, host: str = "127.0.0.1"):
        self.host, self.plays, self.anchor = host, {}, None
        self.pin, self.wrong_keys, self.statuses, self.status_flags = pin, wrong_keys, statuses or {}, status_flags
        self.session_reply, self.stream_reply, self.server_public = session_reply or {}, stream_reply or {}, server_public
        self.control_port_first, self.features, self.drip_from, self.dripping = control_port_first, features, \
            drip_from, False
        self.requests, self.volume_answers = [], []     # (method, uri, encrypted, headers, body); (status, value)
        self.packets, self.faults = {}, []               # seq -> (rtp timestamp, pcm, rendered); what went wrong
        self.time_packets, self.trailers = [], set()
        self.sender_syncs, self.sender_announces, self.ntp_replies, self.event_replies = [], 0, 0, 0  # Syncs: numbers
        self.anchored, self.ntp_asked, self.control_closed = False, 0.0, False
        self.sender_clock = None        # (clock id, the largest master ns − our monotonic ns) from its Follow_Ups
        self.grandmaster = None         # a FakeGrandmaster, when the sender is to follow ours
        self.audio_key = self.secret = self.ntp_port = None
        super().__init__(listeners=2, udp=5)
        self.data, self.control, self.timing, self.ptp_event, self.ptp_general = self.udp
        self.ptp_ports = (self.ptp_event.getsockname()[1], self.ptp_general.getsockname()[1])
        self.event_port = self.listeners[1].getsockname()[1]
        if events_closed:  # refused, as by a receiver that opens its event port late
            self.listeners[1].close()

    def methods(self): return [(m, u) for m, u, _, _, _ in self.requests]

    def close(self):
        if self.grandmaster:
            self.grandmaster.stop()
        super().close()

    def output(self) -> bytes:
        """The rendered PCM in timestamp order."""
        return b"".join(pcm for _, pcm, rendered in sorted(self.packets.values()) if rendered)

    # -- RTSP and the event channel

    def serve(self, listener, conn):
        with conn:
            if listener is self.listeners[1]:
                return self._serve_events(conn)
            pairing, channel = SrpServer(self.pin), []
            opener = lambda data: channel[0].open(data) if channel else data  # noqa: E731
            try:
                for method, uri, headers, body in self.requests_on(conn, opener):
                    self.requests.append((method, uri, bool(channel), headers, body))
                    status, reply_headers, reply_body = self._handle(method, uri, body, pairing, bool(channel))
                    out = self.reply(status, "OK" if status == 200 else "Error", headers.get("cseq", "0"),
                                     reply_headers, reply_body)
                    self.dripping = self.dripping or bool(channel) and self.drip_from in (method, uri)
                    out = channel[0].seal(out) if channel else out
                    while out and not (self.dripping and self._stop.wait(0.5)):
                        conn.sendall(out[:1] if self.dripping else out)
                        out = out[1:] if self.dripping else b""
                    if uri == "/pair-setup" and pairing.session_key and not channel:
                        self.secret = pairing.session_key
                        channel.append(HapEnd(self.secret, b"Control-Salt!" if self.wrong_keys else b"Control-Salt",
                                              b"Control-Read-Encryption-Key", b"Control-Write-Encryption-Key"))
                self.control_closed = not self._stop.is_set()   # by the sender
            except (InvalidTag, OSError):  # a frame that fails authentication ends the connection, as a sender may
                pass

    def _serve_events(self, conn):
        # Named from the receiver's side: it writes with the Write key and reads with the Read key.
        channel = HapEnd(self.secret, b"Events-Salt", b"Events-Write-Encryption-Key", b"Events-Read-Encryption-Key")
        conn.sendall(channel.seal(b"POST /command RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 0\r\n\r\n"))
        while data := self.recv(conn):
            try:
                reply = channel.open(data)
            except InvalidTag:
                return self.faults.append("event reply failed authentication")
            self.event_replies += reply.startswith(b"RTSP/1.0 200") and b"CSeq: 1" in reply

    def _handle(self, method, uri, body, pairing, encrypted):
        if method == "GET" and uri == "/info":
            low, high = (int(x, 16) for x in self.features.split(","))
            return 200, PLIST, plistlib.dumps({"features": high << 32 | low, "statusFlags": self.status_flags},
                                              fmt=plistlib.FMT_BINARY)
        if uri in self.statuses:
            return self.statuses[uri], [], b""
        if uri == "/pair-setup" and self.server_public is not None:
            return 200, [], tlv([(6, b"\x02"), (2, bytes(16)), (3, self.server_public)])
        if uri in ("/pair-pin-start", "/pair-setup"):
            return 200, ["Content-Type: application/octet-stream"], pairing.answer(body) if body else b""
        if not encrypted:
            return 470, [], b""
        if method == "SETUP":
            request = plistlib.loads(body)
            return self._setup_session(request) if "timingProtocol" in request else self._setup_stream(request)
        if method == "GET_PARAMETER":
            return 200, ["Content-Type: text/parameters"], b"volume: -15.000000\r\n"
        if method == "SET_PARAMETER":
            self.volume_answers.append((200 if self.packets else 455, float(body.decode().split(":", 1)[1])))
            return self.volume_answers[-1][0], [], b""
        return 200 if method in ("RECORD", "SETPEERS", "TEARDOWN") or uri == "/feedback" else 501, [], b""

    def _setup_session(self, request):
        if request["timingProtocol"] == "NTP":
            self.ntp_port = request["timingPort"]
            self.faults += [] if request["statsCollectionEnabled"] is False else ["asked to collect statistics"]
        reply = {"eventPort": self.event_port, "timingPort": 0,
                 "timingPeerInfo": {"Addresses": [self.host], "ID": "FAKE", "ClockID": 1}, **self.session_reply}
        return 200, PLIST, plistlib.dumps(reply, fmt=plistlib.FMT_BINARY)

    def _setup_stream(self, request):
        self.audio_key = request["streams"][0]["shk"]
        ports = [("controlPort", self.control.getsockname()[1]), ("dataPort", self.data.getsockname()[1])]
        reply = {"streams": [dict([("type", 96)] + (ports if self.control_port_first else ports[::-1]),
                                  **self.stream_reply)]}
        return 200, PLIST, plistlib.dumps(reply, fmt=plistlib.FMT_BINARY, sort_keys=False)

    # -- UDP

    def tick(self):
        if self.ntp_port and time.monotonic() - self.ntp_asked >= 0.5:
            self.ntp_asked = time.monotonic()
            self.timing.sendto(b"\x80\xd2\x00\x07" + bytes(20) + struct.pack(">Q", time.time_ns()),
                               (self.host, self.ntp_port))

    def on_datagram(self, sock, data):
        if sock is self.data:
            self._on_audio(data)
        elif sock is self.control and data[1:2] in (b"\xd7", b"\xd4"):
            self._on_time_packet(data)
        elif sock is self.timing:
            self.ntp_replies += data[1:2] == b"\xd3" and len(data) == 32
        elif sock is not self.control:
            self._on_ptp(data)

    def _on_ptp(self, data):
        kind = data[0] & 0x0F if len(data) >= 44 and data[0] >> 4 == 1 else None
        self.sender_syncs += struct.unpack_from(">H", data, 30) if kind == 0 else ()
        self.sender_announces += kind == 0xB
        if kind == 8:
            high, low, nanos = struct.unpack_from(">HII", data, 34)
            master = ((high << 32) | low) * 10 ** 9 + nanos + struct.unpack_from(">q", data, 8)[0] / 65536
            clock_id, offset = num(data[20:28]), master - time.monotonic_ns()
            self.sender_clock = (clock_id, max(offset, dict([self.sender_clock or (None, 0)]).get(clock_id, offset)))

    def _on_time_packet(self, data):
        self.time_packets.append(data)
        if data[1] == 0xD4:
            self.anchored = self.anchored or self.ntp_replies > 0
            return
        _, _, _, before, clock_ns, rtp, clock_id = struct.unpack(">BBHIQIQ", data)
        master = (self.grandmaster.read() if self.grandmaster else
                  (self.sender_clock[0], time.monotonic_ns() + self.sender_clock[1]) if self.sender_clock else None)
        if (rtp - before) & 0xFFFFFFFF != 77175:
            self.faults.append("0xD7 latency field")
        elif master is not None:  # played only when stated in the time base of the clock followed now
            self.anchored = master[0] == clock_id and abs(clock_ns - master[1]) <= 250_000_000
            self.anchor = (before - 11035, clock_ns)  # this frame plays at this time of the clock followed
            if master[0] == clock_id and not self.anchored:
                self.faults.append("0xD7 time off the clock it names")

    def _on_audio(self, packet):
        if self.audio_key is None:
            return
        header, trailer = packet[:12], packet[-8:]
        try:
            fields = decode_escape(ChaCha20Poly1305(self.audio_key).decrypt(bytes(4) + trailer, packet[12:-8],
                                                                            header[4:12]))
        except (InvalidTag, ValueError):
            return self.faults.append("audio packet failed authentication")
        if (fields["tag"], fields["escape"], fields["end"], fields["frames"]) != (1, 1, 7, 352):
            return self.faults.append("not a 352-frame stereo ALAC escape frame")
        seq, timestamp = struct.unpack(">HI", header[2:8])
        if trailer in self.trailers:
            self.faults.append("audio nonce repeated")
        self.trailers.add(trailer)
        if header[1] != (0xE0 if not self.packets else 0x60):
            self.faults.append("marker bit: first packet 0xE0, then 0x60")
        previous = self.packets.get((seq - 1) & 0xFFFF)
        if previous is not None and (timestamp - previous[0]) & 0xFFFFFFFF != 352:
            self.faults.append("RTP timestamp does not advance by 352 per sequence number")
        self.packets.setdefault(seq, (timestamp, fields["pcm"], self.anchored))
        if self.anchored and self.anchor:
            at = self.anchor[1] + ((timestamp - self.anchor[0] + 2**31) % 2**32 - 2**31) * 10**9 / 44100
            self.plays[seq] = at

    def local(self, at_ns):  # through the grandmaster, or our Syncs' least-delayed offset (one host, one rate)
        return self.grandmaster.local(at_ns) if self.grandmaster else at_ns - self.sender_clock[1]


class FakeGrandmaster(threading.Thread):
    """A HomePod's clock: priority1 248, time since a boot running ``ppm`` fast, Announce every 250 ms, two-step Sync
    at 8 Hz. Each Follow_Up's preciseOriginTimestamp is short by `correction_ns`, carried in its correctionField.
    ``restart`` gives it a new time base (and identity) from its next Sync on, as a HomePod that restarts."""

    def __init__(self, receiver, clock_id: int, sender_ports, correction_ns: int = 400_000_000, ppm: float = 0.0):
        super().__init__(daemon=True)
        self.receiver, self.correction_ns, self.rate = receiver, correction_ns, 1 + ppm * 1e-6
        self.event, self.general = (("127.0.0.1", port) for port in sender_ports)
        self.clock, self._restart, self.restarts = (clock_id, 3_600 * 10 ** 9), None, []
        self._stop_event, self.origin = threading.Event(), time.monotonic_ns()
        receiver.grandmaster = self

    def read(self):
        clock_id, boot = self.clock
        return clock_id, boot + int((time.monotonic_ns() - self.origin) * self.rate)

    def local(self, at_ns: float) -> float:  # the monotonic ns at which it reads at_ns
        return self.origin + (at_ns - self.clock[1]) / self.rate

    def restart(self, clock_id: int, uptime_step_ns: int):
        self._restart = (clock_id, self.clock[1] + uptime_step_ns)

    def stop(self):
        self._stop_event.set()
        self.join(timeout=2)

    def run(self):
        sequence = 0
        while not self._stop_event.wait(0 if sequence == 0 else 0.125):
            if self._restart:  # the old clock is silent from now on; what the receiver was told no longer holds
                self.clock, self._restart = self._restart, None
                self.restarts.append(time.monotonic())
                self.receiver.anchored = False
            clock_id, now_ns = self.read()
            quality = struct.pack(">hBBBBHB8sHB", 37, 0, 248, 248, 0xFE, 0xFFFF, 248, clock_id.to_bytes(8, "big"),
                                  0, 0xA0) + b"\x00\x08\x00\x08" + clock_id.to_bytes(8, "big")
            try:
                if sequence % 2 == 0:
                    self.receiver.ptp_general.sendto(ptp_message(0xB, clock_id, sequence, ptp_time(0) + quality),
                                                     self.general)
                self.receiver.ptp_event.sendto(ptp_message(0, clock_id, sequence, bytes(10)), self.event)
                origin = ptp_time(now_ns - self.correction_ns) + b"\x00\x03\x00\x1c\x00\x80\xc2\x00\x00\x01" \
                    + bytes(22)
                self.receiver.ptp_general.sendto(ptp_message(8, clock_id, sequence, origin, self.correction_ns),
                                                 self.general)
            except OSError:
                pass
            sequence += 1
