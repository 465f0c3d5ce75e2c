"""The sender as gPTP grandmaster: two-step Sync/Follow_Up at 8 Hz and Announce every second, unicast to each
receiver that follows our clock, all from the one ``LocalClock``. Delay_Req from such a receiver is answered with
a Delay_Resp, as some receivers measure the path delay.

Each receiver has its own schedule and sequence numbers from the moment it is added, so one that joins or leaves
changes nothing for the others. Driven by the ``ClockHub``'s thread, which also reads the ports."""

import logging
import socket
from typing import Dict, Tuple

from . import messages
from .clock import LocalClock

log = logging.getLogger(__name__)

SYNC_INTERVAL = 0.125
ANNOUNCE_INTERVAL = 1.0


class _Peer:
    __slots__ = ("event", "general", "sequence", "announce_sequence", "next_sync", "next_announce")

    def __init__(self, address: str, ports: Tuple[int, int], now: float):
        self.event, self.general = (address, ports[0]), (address, ports[1])
        self.sequence = self.announce_sequence = 0
        self.next_sync = self.next_announce = now


class PtpMaster:
    def __init__(self, clock: LocalClock, event_sock: socket.socket, general_sock: socket.socket):
        self.clock = clock
        self._event = event_sock
        self._general = general_sock
        self._peers: Dict[str, _Peer] = {}
        self.syncs_sent = 0
        self.announces_sent = 0

    def add(self, address: str, ports: Tuple[int, int], now: float) -> object:
        peer = self._peers[address] = _Peer(address, ports, now)
        return peer

    def remove(self, address: str, peer: object) -> None:
        if self._peers.get(address) is peer:
            del self._peers[address]

    def peers(self):
        return list(self._peers)

    def _send(self, sock, data, dest) -> None:
        try:
            sock.sendto(data, dest)
        except OSError as exc:
            log.debug("PTP message to %s not sent: %s", dest, exc)

    def send_due(self, now: float) -> float:
        """Sends what is due by ``now``; returns when the next message is due (``now`` + 1 s without peers)."""
        clock_id = self.clock.clock_id
        due = now + ANNOUNCE_INTERVAL
        for peer in list(self._peers.values()):
            if now >= peer.next_announce:
                self._send(self._general, messages.announce(clock_id, peer.announce_sequence), peer.general)
                peer.announce_sequence += 1
                self.announces_sent += 1
                peer.next_announce += ANNOUNCE_INTERVAL
            if now >= peer.next_sync:
                self._send(self._event, messages.sync(clock_id, peer.sequence), peer.event)
                origin = self.clock.now_ns()
                self._send(self._general, messages.follow_up(clock_id, peer.sequence, origin), peer.general)
                peer.sequence = (peer.sequence + 1) & 0xFFFF
                self.syncs_sent += 1
                peer.next_sync += SYNC_INTERVAL
                if peer.next_sync < now:
                    peer.next_sync = now + SYNC_INTERVAL
            due = min(due, peer.next_sync, peer.next_announce)
        return due

    def answer(self, data: bytes, source: str, received: int) -> None:
        """A message on the event port from ``source``, received at ``received`` (our clock's ns)."""
        peer = self._peers.get(source)
        if peer is None:
            return
        try:
            header = messages.parse_header(data)
        except messages.PtpParseError:
            return
        if header.message_type == messages.DELAY_REQ:
            self._send(self._general, messages.delay_resp(self.clock.clock_id, header, received), peer.general)
