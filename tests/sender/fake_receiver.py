"""A RAOP receiver on loopback that records what it gets and misbehaves on request.

Behaviours: ok (answers like shairport-sync, "Unauthorized" as the reason on refusals); busy, restricted, format
(ANNOUNCE -> 453, 400, 415); password, pairing (OPTIONS -> 401 with Digest, 403); timing520 (SETUP -> 520);
no_timing (never asks for timing); mute (OPTIONS never answered); drop_once, drop_always (close the connection
after ``drop_after`` audio packets, once or every time); vanish (close and stop listening); ka501, ka_mute
(keep-alive OPTIONS after RECORD -> 501, or never answered).
"""

from __future__ import annotations

import socket
import struct
import threading
import time

from worker_support import take_request
from pyatv.rtsp import parse_transport

REFUSALS = {("OPTIONS", "password"): 401, ("OPTIONS", "pairing"): 403, ("ANNOUNCE", "busy"): 453,
            ("ANNOUNCE", "restricted"): 400, ("ANNOUNCE", "format"): 415, ("SETUP", "timing520"): 520}


def _bound(kind: int) -> socket.socket:
    sock = socket.socket(socket.AF_INET, kind)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    return sock


class FakeReceiver:
    def __init__(self, behaviour: str = "ok", drop_after: int = 250) -> None:
        self.behaviour = behaviour
        self.drop_after = drop_after
        self.listener = _bound(socket.SOCK_STREAM)
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.address = "127.0.0.1:%d" % self.port
        self.audio, self.control, self.timing = (_bound(socket.SOCK_DGRAM) for _ in range(3))
        self.timing.settimeout(0.1)
        self.requests: list[tuple[str, dict, bytes]] = []
        self.packets: dict[int, bytes] = {}
        self.packet_order: list[int] = []
        self.syncs: list[bytes] = []
        self.resent: list[bytes] = []
        self.timing_replies: list[bytes] = []
        self.connections = 0
        self.closed_by_client = threading.Event()
        self.client_timing = self.client_control = None
        self._stop = threading.Event()
        self._drops = 0
        self._conn: socket.socket | None = None
        for f in (self._accept_loop, self._audio_loop, self._control_loop, self._timing_loop):
            threading.Thread(target=f, daemon=True).start()

    def close(self) -> None:
        self._stop.set()
        for sock in (self.listener, self.audio, self.control, self.timing):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        if self._conn is not None:
            self._conn.close()

    def methods(self) -> list[str]:
        return [m for m, _, _ in self.requests]

    def request_resend(self, first: int, count: int) -> None:
        self.control.sendto(struct.pack(">BBHHH", 0x80, 0xD5, 1, first, count), self.client_control)

    def _accept_loop(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            self._conn = conn
            self._serve(conn)

    def _serve(self, conn: socket.socket) -> None:
        buf = bytearray()
        conn.settimeout(0.2)
        while not self._stop.is_set():
            if self.behaviour in ("drop_always", "vanish") or (self.behaviour == "drop_once" and not self._drops):
                if len(self.packet_order) >= self.drop_after * (self._drops + 1):
                    self._drops += 1
                    conn.close()
                    if self.behaviour == "vanish":
                        self.listener.close()
                    return
            try:
                data = conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                self.closed_by_client.set()
                conn.close()
                return
            buf += data
            while (request := take_request(buf)) is not None:
                method, _, headers, body = request
                self.requests.append((method, headers, body))
                reply = self._answer(method, headers)
                if reply is not None:
                    conn.sendall(reply.encode())

    def _answer(self, method: str, headers: dict) -> str | None:
        cseq, b = headers.get("cseq", "0"), self.behaviour
        recording = "RECORD" in self.methods()[:-1]
        if method == "OPTIONS" and (b == "mute" or (b == "ka_mute" and recording)):
            return None
        code = 501 if method == "OPTIONS" and b == "ka501" and recording else REFUSALS.get((method, b))
        if code is not None:
            extra = 'WWW-Authenticate: Digest realm="raop", nonce="abc"\r\n' if code == 401 else ""
            return "RTSP/1.0 %d Unauthorized\r\nCSeq: %s\r\n%s\r\n" % (code, cseq, extra)
        extra = ""
        if method == "SETUP":
            transport = parse_transport(headers.get("transport", ""))
            self.client_timing = ("127.0.0.1", int(transport["timing_port"]))
            self.client_control = ("127.0.0.1", int(transport["control_port"]))
            extra = ("Transport: RTP/AVP/UDP;unicast;mode=record;server_port=%d;control_port=%d;timing_port=%d"
                     "\r\nSession: 1\r\n" % tuple(s.getsockname()[1] for s in (self.audio, self.control, self.timing)))
        elif method == "RECORD":
            extra = "Audio-Latency: 11025\r\n"
        elif method == "TEARDOWN":
            extra = "Connection: close\r\n"
        return "RTSP/1.0 200 OK\r\nCSeq: %s\r\nServer: AirTunes/105.1\r\n%s\r\n" % (cseq, extra)

    def _audio_loop(self) -> None:
        while len(data := self._recv(self.audio)) >= 12:
            seq = struct.unpack_from(">H", data, 2)[0]
            self.packets[seq] = data
            self.packet_order.append(seq)

    def _control_loop(self) -> None:
        while len(data := self._recv(self.control)) >= 2:
            if data[1] == 0xD4:
                self.syncs.append(data)
            elif data[1] == 0xD6:
                self.resent.append(data)

    @staticmethod
    def _recv(sock: socket.socket) -> bytes:
        try:
            return sock.recv(4096)
        except OSError:
            return b""

    def _timing_loop(self) -> None:
        last = 0.0
        while not self._stop.is_set():
            if self.client_timing is not None and self.behaviour != "no_timing" and "RECORD" in self.methods() \
                    and time.monotonic() - last >= 0.3:
                last = time.monotonic()
                request = struct.pack(">BBHI", 0x80, 0xD2, 7, 0) + bytes(16) + \
                    struct.pack(">Q", int(time.time() * (1 << 32)))
                try:
                    self.timing.sendto(request, self.client_timing)
                except OSError:
                    return
            try:
                self.timing_replies.append(self.timing.recv(4096))
            except socket.timeout:
                continue
            except OSError:
                return
