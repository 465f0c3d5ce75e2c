"""A RAOP receiver on loopback that records what it gets and misbehaves on request.

Behaviours: ok (answers like shairport-sync, "Unauthorized" as the reason on refusals); busy, restricted, format
(ANNOUNCE -> 453, 400, 415); password, pairing (OPTIONS -> 401 with Digest, 403); timing520 (SETUP -> 520);
no_timing (never asks for timing); mute (OPTIONS never answered); drop_once, drop_always (close the connection
after ``drop_after`` audio packets, once or every time); vanish (close and stop listening); ka501, ka_mute
(keep-alive OPTIONS after RECORD -> 501, or never answered).
"""

from __future__ import annotations

import re
import socket
import struct
import threading
import time

from worker_support import LoopbackServer

REFUSALS = {("OPTIONS", "password"): 401, ("OPTIONS", "pairing"): 403, ("ANNOUNCE", "busy"): 453,
            ("ANNOUNCE", "restricted"): 400, ("ANNOUNCE", "format"): 415, ("SETUP", "timing520"): 520}


class FakeReceiver(LoopbackServer):
    def __init__(self, behaviour: str = "ok", drop_after: int = 250) -> None:
        self.behaviour, self.drop_after, self.drops, self.connections = behaviour, drop_after, 0, 0
        self.requests, self.packets, self.packet_order = [], {}, []   # (method, headers, body); seq -> packet
        self.syncs, self.resent, self.timing_replies = [], [], []
        self.closed_by_client = threading.Event()
        self.client_timing = self.client_control = self._conn = None
        self._timing_asked = 0.0
        super().__init__(listeners=1, udp=3)
        self.audio, self.control, self.timing = self.udp
        self.address = "127.0.0.1:%d" % self.port

    def methods(self) -> list[str]:
        return [m for m, _, _ in self.requests]

    def request_resend(self, first: int, count: int) -> None:
        self.control.sendto(struct.pack(">BBHHH", 0x80, 0xD5, 1, first, count), self.client_control)

    def drop(self) -> None:
        """Closes the current RTSP connection from the receiver's side."""
        try:
            self._conn.shutdown(socket.SHUT_RDWR)
        except OSError:  # already closed by the sender
            pass

    def serve(self, _listener, conn: socket.socket) -> None:
        self.connections += 1
        self._conn = conn
        with conn:
            for method, _, headers, body in self.requests_on(conn):
                self.requests.append((method, headers, body))
                if (reply := self._answer(method, headers)) is not None:
                    conn.sendall(reply)
        self.closed_by_client.set()

    def _answer(self, method: str, headers: dict) -> bytes | None:
        cseq, b = headers.get("cseq", "0"), self.behaviour
        recording = "RECORD" in self.methods()[:-1]
        if method == "OPTIONS" and (b == "mute" or (b == "ka_mute" and recording)):
            return None
        code = 501 if method == "OPTIONS" and b == "ka501" and recording else REFUSALS.get((method, b))
        if code is not None:
            return self.reply(code, "Unauthorized", cseq, ['WWW-Authenticate: Digest realm="raop", nonce="abc"']
                              if code == 401 else [])
        if method == "SETUP":
            ports = dict(re.findall(r"(\w+)=(\d+)", headers.get("transport", "")))
            self.client_timing, self.client_control = (("127.0.0.1", int(ports[k])) for k in ("timing_port",
                                                                                             "control_port"))
            ours = tuple(sock.getsockname()[1] for sock in self.udp)
            return self.reply(200, "OK", cseq, ["Transport: RTP/AVP/UDP;unicast;mode=record;server_port=%d;"
                                                "control_port=%d;timing_port=%d" % ours, "Session: 1"])
        extra = {"RECORD": ["Audio-Latency: 11025"], "TEARDOWN": ["Connection: close"]}.get(method, [])
        return self.reply(200, "OK", cseq, extra)

    def on_datagram(self, sock: socket.socket, data: bytes) -> None:
        if sock is self.audio and len(data) >= 12:
            self.packets[struct.unpack_from(">H", data, 2)[0]] = data
            self.packet_order.append(struct.unpack_from(">H", data, 2)[0])
            if len(self.packet_order) % self.drop_after == 0 and self.behaviour in ("drop_always", "vanish") + \
                    (("drop_once",) if not self.drops else ()):
                self.drops += 1
                self.drop()
                if self.behaviour == "vanish":
                    self.listeners[0].close()
        elif sock is self.control and data[1:2] in (b"\xd4", b"\xd6"):
            (self.syncs if data[1] == 0xD4 else self.resent).append(data)
        elif sock is self.timing:
            self.timing_replies.append(data)

    def tick(self) -> None:
        """Asks for the sender's time every 0.3 s while recording, as shairport-sync does."""
        if self.client_timing and self.behaviour != "no_timing" and "RECORD" in self.methods() \
                and time.monotonic() - self._timing_asked >= 0.3:
            self._timing_asked = time.monotonic()
            self.timing.sendto(struct.pack(">BBHI", 0x80, 0xD2, 7, 0) + bytes(16) +
                               struct.pack(">Q", int(time.time() * (1 << 32))), self.client_timing)
