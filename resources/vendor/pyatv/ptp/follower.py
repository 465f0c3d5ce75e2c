"""The sender following a receiver's gPTP grandmaster (a standalone HomePod keeps its own clock).

Listens on the event and general ports, pairs each two-step Sync with its Follow_Up and feeds the one-way
samples to the estimator. Only messages from the receiver's address count. A new grandmaster identity
starts the estimate afresh.
"""

import logging
import select
import socket
import threading
import time
from typing import Optional

from . import messages
from .follower_clock import FollowerClock

log = logging.getLogger(__name__)

PENDING_SYNCS = 16


class PtpFollower:
    def __init__(self, event_sock: socket.socket, general_sock: socket.socket, peer: str):
        self._event = event_sock
        self._general = general_sock
        self._peer = peer
        self._lock = threading.Lock()
        self._estimate = FollowerClock()
        self._syncs = {}
        self.grandmaster: Optional[int] = None
        self.announces = 0
        self.ready = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ptp-follower", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout=2)

    def to_master(self, local_ns: int) -> int:
        with self._lock:
            return self._estimate.to_master(local_ns)

    def at(self, monotonic_seconds: float) -> int:
        return self.to_master(int(monotonic_seconds * 1e9))

    @property
    def clock_id(self) -> int:
        return self.grandmaster or 0

    def _run(self) -> None:
        socks = [self._event, self._general]
        while not self._stop.is_set():
            try:
                readable, _, _ = select.select(socks, [], [], 0.2)
            except (OSError, ValueError):
                return
            for sock in readable:
                try:
                    data, source = sock.recvfrom(512)
                except OSError:
                    continue
                received = time.monotonic_ns()
                if source[0] != self._peer:
                    continue
                try:
                    self._handle(data, received)
                except messages.PtpParseError as exc:
                    log.debug("PTP message from %s ignored: %s", source[0], exc)

    def _handle(self, data: bytes, received: int) -> None:
        header = messages.parse_header(data)
        if header.message_type == messages.ANNOUNCE:
            self.announces += 1
            self._grandmaster(messages.parse_announce(data).grandmaster)
        elif header.message_type == messages.SYNC:
            self._grandmaster_from_source(header.clock_id)
            if len(self._syncs) > PENDING_SYNCS:
                self._syncs.clear()
            self._syncs[(header.clock_id, header.sequence)] = received
        elif header.message_type == messages.FOLLOW_UP:
            sent_local = self._syncs.pop((header.clock_id, header.sequence), None)
            if sent_local is None:
                return
            origin = messages.parse_origin_timestamp(data) + int(header.correction_ns)
            with self._lock:
                self._estimate.add(origin, sent_local)
                if self._estimate.ready:
                    self.ready.set()

    def _grandmaster_from_source(self, clock_id: int) -> None:
        if self.grandmaster is None:
            self._grandmaster(clock_id)

    def _grandmaster(self, clock_id: int) -> None:
        if clock_id == self.grandmaster:
            return
        if self.grandmaster is not None:
            log.info("receiver's grandmaster changed from %016x to %016x", self.grandmaster, clock_id)
            with self._lock:
                self._estimate = FollowerClock()
            self.ready.clear()
        self.grandmaster = clock_id
