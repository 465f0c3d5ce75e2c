"""The sender following a receiver's gPTP grandmaster (a standalone HomePod keeps its own clock).

Listens on the event and general ports, pairs each two-step Sync with its Follow_Up and feeds the one-way
samples to the estimator. Only messages from the receiver's address count.

The grandmaster is chosen the way the best master clock algorithm does: of the clocks announced within the last
few Announce intervals, the one with the lowest (priority1, class, accuracy, variance, priority2, identity). A new
grandmaster gets an estimate of its own; until that is ready, ``at`` keeps answering on the old one, so the
stream never waits for it. Syncs that stop leave the last estimate running on its measured rate (logged once).
"""

import logging
import select
import socket
import threading
import time
from typing import Dict, Optional, Tuple

from . import messages
from .follower_clock import FollowerClock

log = logging.getLogger(__name__)

PENDING_SYNCS = 16
ANNOUNCE_TIMEOUT_NS = 3_000_000_000   # three missed Announces at 1 Hz
SYNC_SILENCE_NS = 3_000_000_000


def dataset(info: messages.AnnounceInfo) -> Tuple[int, ...]:
    """What two Announces are compared by; the lower wins."""
    q = info.quality
    return (q.priority1, q.clock_class, q.accuracy, q.variance, q.priority2, info.grandmaster)


class PtpFollower:
    def __init__(self, event_sock: socket.socket, general_sock: socket.socket, peer: str,
                 now_ns=time.monotonic_ns):
        self._event = event_sock
        self._general = general_sock
        self._peer = peer
        self._now_ns = now_ns
        self._lock = threading.Lock()
        self._estimate = FollowerClock()
        self._pending: Optional[FollowerClock] = None
        self._syncs = {}
        self._heard: Dict[int, Tuple[Tuple[int, ...], int]] = {}   # grandmaster -> (dataset, last heard)
        self._selected: Optional[int] = None   # what the Announces elect; ``grandmaster`` once its estimate is ready
        self._last_sync = 0
        self._sync_silent = False
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
    def rate(self) -> float:
        return self._estimate.rate

    @property
    def clock_id(self) -> int:
        return self.grandmaster or 0

    def _run(self) -> None:
        socks = [self._event, self._general]
        for sock in socks:
            sock.setblocking(False)
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
                received = self._now_ns()
                if source[0] != self._peer:
                    continue
                try:
                    self.handle(data, received)
                except messages.PtpParseError as exc:
                    log.debug("PTP message from %s ignored: %s", source[0], exc)
            self._watch_syncs(self._now_ns())

    def handle(self, data: bytes, received: int) -> None:
        """One message from the receiver, received at ``received`` (monotonic ns)."""
        header = messages.parse_header(data)
        if header.message_type == messages.ANNOUNCE:
            self.announces += 1
            info = messages.parse_announce(data)
            self._heard[info.grandmaster] = (dataset(info), received)
            self._elect(received)
        elif header.message_type == messages.SYNC:
            if self._selected is None:
                self._choose(header.clock_id)
            if len(self._syncs) > PENDING_SYNCS:
                self._syncs.clear()
            self._syncs[(header.clock_id, header.sequence)] = received
        elif header.message_type == messages.FOLLOW_UP:
            sent_local = self._syncs.pop((header.clock_id, header.sequence), None)
            if sent_local is None:
                return
            self._last_sync = sent_local
            origin = messages.parse_origin_timestamp(data) + int(header.correction_ns)
            with self._lock:
                target = self._pending if self._pending is not None else self._estimate
                target.add(origin, sent_local)
                if target is self._pending and target.ready:
                    self._estimate, self._pending = target, None
                    log.info("following grandmaster %016x", self._selected)
                    self.grandmaster = self._selected
                if self._estimate.ready:
                    self.ready.set()

    def _elect(self, now: int) -> None:
        fresh = {gm: d for gm, (d, seen) in self._heard.items() if now - seen <= ANNOUNCE_TIMEOUT_NS}
        self._heard = {gm: self._heard[gm] for gm in fresh}
        best = min(fresh, key=fresh.get)
        if best != self._selected:
            self._choose(best)

    def _choose(self, clock_id: int) -> None:
        if self._selected is not None:
            log.info("receiver's grandmaster changes from %016x to %016x", self._selected, clock_id)
        self._selected = clock_id
        with self._lock:
            if self.grandmaster is None:
                self.grandmaster = clock_id
                self._estimate, self._pending = FollowerClock(), None
            elif clock_id == self.grandmaster:
                self._pending = None
            else:
                self._pending = FollowerClock()

    def _watch_syncs(self, now: int) -> None:
        silent = self.ready.is_set() and now - self._last_sync > SYNC_SILENCE_NS
        if silent and not self._sync_silent:
            log.warning("no Sync from the speaker's clock for %.0f s: going on at its last measured rate",
                        SYNC_SILENCE_NS / 1e9)
        elif self._sync_silent and not silent:
            log.info("Syncs from the speaker's clock again")
        self._sync_silent = silent
