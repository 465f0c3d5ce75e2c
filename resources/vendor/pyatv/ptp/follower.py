"""The sender following a receiver's gPTP grandmaster (a standalone HomePod keeps its own clock).

Pairs each two-step Sync with its Follow_Up and feeds the one-way samples to the estimator. The ``ClockHub``
hands it only the messages from the receiver's address, and only Syncs of the selected grandmaster are paired:
a restarted speaker announces a new clock on a new time base (its uptime), and one of its samples in the old
clock's estimate would put that estimate on the wrong time base.

The grandmaster is chosen the way the best master clock algorithm does: of the clocks qualified by two Announces
and heard within three of their own Announce intervals, the one with the lowest (priority1, class, accuracy,
variance, priority2, identity). A clock that stops announcing is dropped after those three intervals (0.75 s for
a HomePod, which announces every 250 ms). A new grandmaster gets an estimate of its own; until that is ready,
``read`` keeps answering on the old one, and it always answers with the clock id and the time of the same
estimate. A followed clock without a Sync for ``CLOCK_LOST_NS`` is lost (``failure``): the speaker plays nothing
without it.

What a speaker sends is bounded: at most ``MAX_CLOCKS`` clocks are remembered, and the lines logged about
changes are rate-limited.
"""

import logging
import threading
from typing import Dict, Optional, Tuple

from . import messages
from .follower_clock import FollowerClock

log = logging.getLogger(__name__)

PENDING_SYNCS = 16
MAX_CLOCKS = 8
QUALIFYING_ANNOUNCES = 2
# Announce intervals a clock may miss before it is dropped, and the bounds of the interval it states.
ANNOUNCE_RECEIPT_TIMEOUT = 3
SHORTEST_ANNOUNCE_LOG = -3
LONGEST_ANNOUNCE_LOG = 0
CLOCK_LOST_NS = 3_000_000_000
LOG_BURST = 4          # lines about changes, refilled one a second


def dataset(info: messages.AnnounceInfo) -> Tuple[int, ...]:
    """What two Announces are compared by; the lower wins."""
    q = info.quality
    return (q.priority1, q.clock_class, q.accuracy, q.variance, q.priority2, info.grandmaster)


class _Heard:
    __slots__ = ("dataset", "last", "timeout", "count")

    def __init__(self, data: Tuple[int, ...]):
        self.dataset, self.last, self.timeout, self.count = data, 0, 0, 0


class PtpFollower:
    """The state of one followed speaker's clock; the ``ClockHub`` hands it the messages from that speaker."""

    def __init__(self):
        self._lock = threading.Lock()
        self._estimate = FollowerClock()
        self._pending: Optional[FollowerClock] = None
        self._syncs = {}
        self._heard: Dict[int, _Heard] = {}
        self._selected: Optional[int] = None   # what the Announces elect; ``grandmaster`` once its estimate is ready
        self._last_sample: Optional[int] = None
        self._log_budget, self._log_refilled = float(LOG_BURST), 0
        self._unlogged = 0
        self.grandmaster: Optional[int] = None
        self.announces = 0
        self.failure: Optional[str] = None
        self.ready = threading.Event()

    def read(self, monotonic_seconds: float) -> Tuple[int, int]:
        """(grandmaster id, its time in ns) at a monotonic instant, both from the same estimate."""
        with self._lock:
            return self.grandmaster or 0, self._estimate.to_master(int(monotonic_seconds * 1e9))

    def at(self, monotonic_seconds: float) -> int:
        return self.read(monotonic_seconds)[1]

    @property
    def rate(self) -> float:
        return self._estimate.rate

    @property
    def clock_id(self) -> int:
        return self.grandmaster or 0

    def handle(self, data: bytes, received: int) -> None:
        """One message from the receiver, received at ``received`` (monotonic ns)."""
        header = messages.parse_header(data)
        if header.message_type == messages.ANNOUNCE:
            self.announces += 1
            self._hear(messages.parse_announce(data), header.log_interval, received)
            self._elect(received)
        elif header.message_type == messages.SYNC:
            if self._selected is None:
                self._choose(header.clock_id, received)
            elif header.clock_id != self._selected:
                self._elect(received)  # perhaps the selected clock went quiet and this one takes over
            if header.clock_id != self._selected:
                return
            if len(self._syncs) > PENDING_SYNCS:
                self._syncs.clear()
            self._syncs[header.sequence] = received
        elif header.message_type == messages.FOLLOW_UP and header.clock_id == self._selected:
            sent_local = self._syncs.pop(header.sequence, None)
            if sent_local is None:
                return
            self._last_sample = sent_local
            origin = messages.parse_origin_timestamp(data) + int(header.correction_ns)
            with self._lock:
                target = self._pending if self._pending is not None else self._estimate
                target.add(origin, sent_local)
                if target is self._pending and target.ready:
                    self._estimate, self._pending = target, None
                    self.grandmaster = self._selected
                    self._note(received, "following grandmaster %016x", self._selected)
                if self._estimate.ready:
                    self.ready.set()

    def _hear(self, info: messages.AnnounceInfo, log_interval: int, now: int) -> None:
        heard = self._heard.get(info.grandmaster)
        if heard is None:
            self._expire(now)
            if len(self._heard) >= MAX_CLOCKS:
                return
            heard = self._heard[info.grandmaster] = _Heard(dataset(info))
        interval_ns = 1_000_000_000 * 2.0 ** max(SHORTEST_ANNOUNCE_LOG, min(LONGEST_ANNOUNCE_LOG, log_interval))
        heard.dataset, heard.last, heard.timeout = dataset(info), now, int(ANNOUNCE_RECEIPT_TIMEOUT * interval_ns)
        heard.count += 1

    def _expire(self, now: int) -> None:
        for clock_id in [c for c, h in self._heard.items() if now - h.last > h.timeout]:
            del self._heard[clock_id]

    def _elect(self, now: int) -> None:
        self._expire(now)
        qualified = [h.dataset for h in self._heard.values() if h.count >= QUALIFYING_ANNOUNCES]
        if qualified:
            best = min(qualified)[-1]
            if best != self._selected:
                self._choose(best, now)

    def _choose(self, clock_id: int, now: int) -> None:
        if self._selected is not None:
            self._note(now, "receiver's grandmaster changes from %016x to %016x", self._selected, clock_id)
        self._selected = clock_id
        self._syncs.clear()
        with self._lock:
            if self.grandmaster is None:
                self.grandmaster = clock_id
                self._estimate, self._pending = FollowerClock(), None
            elif clock_id == self.grandmaster:
                self._pending = None
            else:
                self._pending = FollowerClock()

    def _note(self, now: int, text: str, *args) -> None:
        """Logs a change, a few at once and then one a second, saying how many went unlogged meanwhile."""
        self._log_budget = min(float(LOG_BURST), self._log_budget + (now - self._log_refilled) / 1e9)
        self._log_refilled = now
        if self._log_budget < 1.0:
            self._unlogged += 1
            return
        if self._unlogged:
            text += " (%d more changes since the last line)" % self._unlogged
        log.info(text, *args)
        self._log_budget, self._unlogged = self._log_budget - 1.0, 0

    def watch(self, now: int) -> None:
        """Sets ``failure`` once the clock followed (or being taken over) has sent no Sync for CLOCK_LOST_NS."""
        if self.failure is None and self._last_sample is not None and now - self._last_sample > CLOCK_LOST_NS:
            self.failure = "no Sync from the speaker's clock %016x for %.0f s" % (
                self._selected or 0, CLOCK_LOST_NS / 1e9)
            log.warning("%s: it cannot be followed", self.failure)
