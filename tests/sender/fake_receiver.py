"""A RAOP receiver on loopback that records what it gets and misbehaves on request.

Behaviours (``FakeReceiver(behaviour=...)``):
  ok             answers everything like shairport-sync ("Unauthorized" reason on refusals)
  busy           ANNOUNCE -> 453             restricted   ANNOUNCE -> 400
  password       OPTIONS -> 401 + Digest     pairing      OPTIONS -> 403
  format         ANNOUNCE -> 415             timing520    SETUP -> 520
  no_timing      never asks for timing       mute         OPTIONS never answered
  drop_once      closes the connection after ``drop_after`` audio packets, once
  drop_always    closes every connection after ``drop_after`` packets
  vanish         after ``drop_after`` packets closes the connection and stops listening
  ka501          keep-alive OPTIONS (after RECORD) -> 501    ka_mute   keep-alive never answered
"""

from __future__ import annotations

import socket
import struct
import threading
import time

from worker_support import VENDOR  # noqa: F401  (puts the package on sys.path)
from pyatv.rtsp import parse_transport


class FakeReceiver:
    def __init__(self, behaviour: str = "ok", drop_after: int = 250) -> None:
        self.behaviour = behaviour
        self.drop_after = drop_after
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.audio = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.audio.bind(("127.0.0.1", 0))
        self.control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.control.bind(("127.0.0.1", 0))
        self.timing = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.timing.bind(("127.0.0.1", 0))
        self.requests: list[tuple[str, dict, bytes]] = []
        self.packets: dict[int, bytes] = {}
        self.packet_order: list[int] = []
        self.syncs: list[bytes] = []
        self.resent: list[bytes] = []
        self.timing_replies: list[bytes] = []
        self.connections = 0
        self.closed_by_client = threading.Event()
        self.client_timing: tuple[str, int] | None = None
        self.client_control: tuple[str, int] | None = None
        self._stop = threading.Event()
        self._drops = 0
        self._conn: socket.socket | None = None
        self._threads = [threading.Thread(target=f, daemon=True)
                         for f in (self._accept_loop, self._audio_loop, self._control_loop,
                                   self._timing_loop)]
        for t in self._threads:
            t.start()

    @property
    def address(self) -> str:
        return "127.0.0.1:%d" % self.port

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
        assert self.client_control is not None
        self.control.sendto(struct.pack(">BBHHH", 0x80, 0xD5, 1, first, count),
                            self.client_control)

    # -- RTSP

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
        buf = b""
        conn.settimeout(0.2)
        while not self._stop.is_set():
            if self._should_drop():
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
            while b"\r\n\r\n" in buf:
                head, rest = buf.split(b"\r\n\r\n", 1)
                lines = head.decode().split("\r\n")
                headers = {}
                for line in lines[1:]:
                    k, _, v = line.partition(": ")
                    headers[k.lower()] = v
                length = int(headers.get("content-length", "0"))
                if len(rest) < length:
                    break
                body, buf = rest[:length], rest[length:]
                method = lines[0].split()[0]
                self.requests.append((method, headers, body))
                reply = self._answer(method, headers)
                if reply is not None:
                    conn.sendall(reply.encode())

    def _should_drop(self) -> bool:
        if self.behaviour == "drop_once" and self._drops:
            return False
        if self.behaviour in ("drop_once", "drop_always", "vanish"):
            return len(self.packet_order) >= self.drop_after * (self._drops + 1)
        return False

    def _answer(self, method: str, headers: dict) -> str | None:
        cseq = headers.get("cseq", "0")
        b = self.behaviour
        refusals = {
            ("OPTIONS", "password"): 401, ("OPTIONS", "pairing"): 403,
            ("ANNOUNCE", "busy"): 453, ("ANNOUNCE", "restricted"): 400,
            ("ANNOUNCE", "format"): 415, ("SETUP", "timing520"): 520,
        }
        recording = "RECORD" in self.methods()[:-1]
        if method == "OPTIONS" and (b == "mute" or (b == "ka_mute" and recording)):
            return None
        if method == "OPTIONS" and b == "ka501" and recording:
            return "RTSP/1.0 501 Unauthorized\r\nCSeq: %s\r\n\r\n" % cseq
        code = refusals.get((method, b))
        if code is not None:
            extra = ('WWW-Authenticate: Digest realm="raop", nonce="abc"\r\n'
                     if code == 401 else "")
            return "RTSP/1.0 %d Unauthorized\r\nCSeq: %s\r\n%s\r\n" % (code, cseq, extra)
        extra = ""
        if method == "SETUP":
            transport = parse_transport(headers.get("transport", ""))
            self.client_timing = ("127.0.0.1", int(transport["timing_port"]))
            self.client_control = ("127.0.0.1", int(transport["control_port"]))
            extra = ("Transport: RTP/AVP/UDP;unicast;mode=record;server_port=%d;"
                     "control_port=%d;timing_port=%d\r\nSession: 1\r\n"
                     % (self.audio.getsockname()[1], self.control.getsockname()[1],
                        self.timing.getsockname()[1]))
        elif method == "RECORD":
            extra = "Audio-Latency: 11025\r\n"
        elif method == "TEARDOWN":
            extra = "Connection: close\r\n"
        return "RTSP/1.0 200 OK\r\nCSeq: %s\r\nServer: AirTunes/105.1\r\n%s\r\n" % (cseq, extra)

    # -- UDP

    def _audio_loop(self) -> None:
        while True:
            try:
                data = self.audio.recv(4096)
            except OSError:
                return
            if len(data) < 12:
                return
            seq = struct.unpack_from(">H", data, 2)[0]
            self.packets[seq] = data
            self.packet_order.append(seq)

    def _control_loop(self) -> None:
        while True:
            try:
                data = self.control.recv(4096)
            except OSError:
                return
            if len(data) < 2:
                return
            if data[1] == 0xD4:
                self.syncs.append(data)
            elif data[1] == 0xD6:
                self.resent.append(data)

    def _timing_loop(self) -> None:
        self.timing.settimeout(0.1)
        last = 0.0
        while not self._stop.is_set():
            if self.client_timing is not None and self.behaviour != "no_timing" and any(
                    m == "RECORD" for m in self.methods()) and time.monotonic() - last >= 0.3:
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
