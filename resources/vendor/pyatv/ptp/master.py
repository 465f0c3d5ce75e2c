"""The sender as gPTP grandmaster: two-step Sync/Follow_Up at 8 Hz and Announce every second, unicast.

Runs on its own thread so that the timing stays regular whatever the audio loop does. Delay_Req from the
receiver is answered with a Delay_Resp, as some receivers measure the path delay.
"""

import logging
import select
import socket
import threading
import time

from . import messages
from .clock import LocalClock

log = logging.getLogger(__name__)

SYNC_INTERVAL = 0.125
ANNOUNCE_INTERVAL = 1.0


class PtpMaster:
    def __init__(self, clock: LocalClock, event_sock: socket.socket, general_sock: socket.socket,
                 peer: str, peer_ports=(messages.EVENT_PORT, messages.GENERAL_PORT)):
        self.clock = clock
        self._event = event_sock
        self._general = general_sock
        self._event_dest = (peer, peer_ports[0])
        self._general_dest = (peer, peer_ports[1])
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ptp-master", daemon=True)
        self.syncs_sent = 0
        self.announces_sent = 0

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout=2)

    def _send(self, sock, data, dest) -> None:
        try:
            sock.sendto(data, dest)
        except OSError as exc:
            log.debug("PTP message to %s not sent: %s", dest, exc)

    def _run(self) -> None:
        self._event.setblocking(False)
        sequence = 0
        announce_sequence = 0
        next_sync = time.monotonic()
        next_announce = next_sync
        clock_id = self.clock.clock_id
        while not self._stop.is_set():
            now = time.monotonic()
            if now >= next_announce:
                self._send(self._general, messages.announce(clock_id, announce_sequence), self._general_dest)
                announce_sequence += 1
                self.announces_sent += 1
                next_announce += ANNOUNCE_INTERVAL
            if now >= next_sync:
                self._send(self._event, messages.sync(clock_id, sequence), self._event_dest)
                origin = self.clock.now_ns()
                self._send(self._general, messages.follow_up(clock_id, sequence, origin), self._general_dest)
                sequence = (sequence + 1) & 0xFFFF
                self.syncs_sent += 1
                next_sync += SYNC_INTERVAL
                if next_sync < now:
                    next_sync = now + SYNC_INTERVAL
            wait = max(0.0, min(next_sync, next_announce) - time.monotonic())
            try:
                readable, _, _ = select.select([self._event], [], [], wait)
            except (OSError, ValueError):
                return
            if readable:
                self._answer_delay_request()

    def _answer_delay_request(self) -> None:
        try:
            data, source = self._event.recvfrom(256)
        except OSError:
            return
        received = self.clock.now_ns()
        if source[0] != self._event_dest[0]:
            return
        try:
            header = messages.parse_header(data)
        except messages.PtpParseError:
            return
        if header.message_type == messages.DELAY_REQ:
            self._send(self._general, messages.delay_resp(self.clock.clock_id, header, received),
                       (source[0], self._general_dest[1]))
