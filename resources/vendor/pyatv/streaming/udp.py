"""The sender's UDP timing and control ports, answered on their own thread.

The timing port must answer from before SETUP (some speakers probe it then) and within
a few milliseconds of each request, whatever the streamer is doing, hence the thread.
"""

from __future__ import annotations

import logging
import select
import socket
import threading
import time

from . import rtp as packets

log = logging.getLogger(__name__)


class UdpServices:
    def __init__(self, bind_ip: str, ntp: packets.NtpClock, backlog: packets.Backlog) -> None:
        family = socket.AF_INET6 if ":" in bind_ip else socket.AF_INET
        self.timing = socket.socket(family, socket.SOCK_DGRAM)
        self.control = socket.socket(family, socket.SOCK_DGRAM)
        for sock in (self.timing, self.control):
            sock.bind((bind_ip, 0))
        self.timing_port = self.timing.getsockname()[1]
        self.control_port = self.control.getsockname()[1]
        self._ntp = ntp
        self._backlog = backlog
        self._wake_r, self._wake_w = socket.socketpair()
        self._stopped = False
        self.first_timing = threading.Event()
        self.last_timing = 0.0
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
        self.last_timing = time.monotonic()
        self.first_timing.set()

    def _on_control(self, data: bytes, source) -> None:
        request = packets.parse_resend_request(data)
        if request is None:
            return
        first, count = request
        for i in range(min(count, 1024)):
            packet = self._backlog.get((first + i) & 0xFFFF)
            if packet is None:
                self.missing_packets += 1
                continue
            self.control.sendto(packets.resend_reply(packet), source)
            self.resent_packets += 1
