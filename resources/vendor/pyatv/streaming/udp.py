"""The sender's UDP timing and control ports, answered on their own thread.

The timing port must answer from before SETUP (some speakers probe it then) and within
a few milliseconds of each request, whatever the streamer is doing, hence the thread.

Resend requests are answered only to the receiver's address (``receiver``, set once the stream is open) and
at a bounded rate: one short request must not turn the sender into an amplifier for anyone.
"""

from __future__ import annotations

import logging
import select
import socket
import threading
import time

from . import rtp as packets

log = logging.getLogger(__name__)

# Twice the stream's own packet rate, with a burst of about 4 s of audio: a receiver catching up after a
# network hiccup is served, a flood is not.
RESEND_RATE = 250.0
RESEND_BURST = 500.0


class UdpServices:
    def __init__(self, bind_ip: str, ntp: packets.NtpClock, backlog: packets.Backlog) -> None:
        family = socket.AF_INET6 if ":" in bind_ip else socket.AF_INET
        self.timing = socket.socket(family, socket.SOCK_DGRAM)
        self.control = socket.socket(family, socket.SOCK_DGRAM)
        for sock in (self.timing, self.control):
            sock.bind((bind_ip, 0))
            sock.setblocking(False)
        self.timing_port = self.timing.getsockname()[1]
        self.control_port = self.control.getsockname()[1]
        self._ntp = ntp
        self._backlog = backlog
        self._wake_r, self._wake_w = socket.socketpair()
        self._stopped = False
        self.first_timing = threading.Event()
        self.receiver: str | None = None
        self.last_heard = 0.0
        self._tokens = RESEND_BURST
        self._tokens_at = time.monotonic()
        self.refused_resends = 0
        self.timing_requests = 0
        self.resent_packets = 0
        self.missing_packets = 0
        self._thread = threading.Thread(target=self._run, name="stream-udp", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        if self._stopped:
            return
        self._stopped = True
        if self.resent_packets or self.missing_packets:
            log.info("retransmitted %d packets (%d requested no longer held)", self.resent_packets, self.missing_packets)
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass
        if self._thread.is_alive():
            self._thread.join(timeout=2)
        for sock in (self.timing, self.control, self._wake_r, self._wake_w):
            sock.close()

    def _run(self) -> None:
        socks = [self.timing, self.control, self._wake_r]
        while not self._stopped:
            try:
                readable, _, _ = select.select(socks, [], [], 1.0)
            except (OSError, ValueError):
                return
            for sock in readable:
                if sock is self._wake_r:
                    return
                try:
                    data, source = sock.recvfrom(2048)
                except OSError:
                    continue
                try:
                    if sock is self.timing:
                        self._on_timing(data, source)
                    else:
                        self._on_control(data, source)
                except OSError as exc:
                    log.debug("UDP reply to %s failed: %s", source, exc)

    def _on_timing(self, data: bytes, source) -> None:
        if not packets.is_timing_request(data):
            return
        received = self._ntp.now()
        self.timing.sendto(packets.timing_reply(data, received, self._ntp.now()), source)
        self.timing_requests += 1
        self.last_heard = time.monotonic()
        self.first_timing.set()

    def _on_control(self, data: bytes, source) -> None:
        request = packets.parse_resend_request(data)
        if request is None:
            return
        if source[0] != self.receiver:
            self._refuse("resend request from %s, not the receiver: ignored" % source[0])
            return
        now = time.monotonic()
        self.last_heard = now
        self._tokens = min(RESEND_BURST, self._tokens + (now - self._tokens_at) * RESEND_RATE)
        self._tokens_at = now
        first, count = request
        allowed = min(count, int(self._tokens))
        if allowed < count:
            self._refuse("resend requests beyond %d packets a second: the rest ignored" % RESEND_RATE)
        self._tokens -= allowed
        for i in range(allowed):
            packet = self._backlog.get((first + i) & 0xFFFF)
            if packet is None:
                self.missing_packets += 1
                continue
            self.control.sendto(packets.resend_reply(packet), source)
            self.resent_packets += 1

    def _refuse(self, why: str) -> None:
        if not self.refused_resends:
            log.warning(why)
        self.refused_resends += 1
