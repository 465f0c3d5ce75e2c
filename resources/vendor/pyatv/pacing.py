"""Real-time packet pacing on an absolute schedule.

Packet n is due at ``start + n * PACKET_SECONDS`` on the monotonic clock; sleeps never
accumulate error. When the sender falls behind it catches up by at most ``max_burst``
packets per slot; when it falls behind by more than ``reset_after`` seconds (a stalled
process, a suspended machine) the schedule restarts from now instead of bursting.
"""

from __future__ import annotations

import time
from typing import Callable

from .session import PACKET_SECONDS


class Pacer:
    def __init__(self, *, clock: Callable[[], float] = time.monotonic,
                 sleep: Callable[[float], None] = time.sleep,
                 period: float = PACKET_SECONDS, max_burst: int = 4,
                 reset_after: float = 0.5) -> None:
        self._clock = clock
        self._sleep = sleep
        self._period = period
        self._max_burst = max_burst
        self._reset_after = reset_after
        self._start = clock()
        self._n = 0
        self._burst = 0
        self.resets = 0
        self.late_histogram = LateHistogram()

    def due(self) -> float:
        return self._start + self._n * self._period

    def wait_next(self, max_wait: float | None = None) -> tuple[float, bool] | None:
        """Wait until the next packet is due and return ``(due, reset)``.

        ``reset`` is true when the schedule was restarted (the caller re-anchors its clock
        mapping). With ``max_wait``, returns None instead of sleeping longer than that
        (so the caller can do housekeeping); call again to keep waiting."""
        due = self.due()
        now = self._clock()
        if now < due:
            if max_wait is not None and due - now > max_wait:
                self._sleep(max_wait)
                return None
            self._sleep(due - now)
            self._burst = 0
            now = self._clock()
        elif now - due > self._reset_after:
            self.resets += 1
            self._start = now
            self._n = 1
            self._burst = 0
            return now, True
        else:
            self._burst += 1
            if self._burst > self._max_burst:
                self._sleep(min(self._period, max(0.0, now - due)) / 2)
                self._burst = 0
                now = self._clock()
        self._n += 1
        return due, False


class LateHistogram:
    """Send-time error against the schedule (filled by the caller once a packet is out),
    in 0.1 ms bins up to 100 ms."""

    BIN = 0.0001
    BINS = 1000

    def __init__(self) -> None:
        self.counts = [0] * (self.BINS + 1)
        self.total = 0
        self.max = 0.0

    def add(self, late: float) -> None:
        late = max(0.0, late)
        self.counts[min(self.BINS, int(late / self.BIN))] += 1
        self.total += 1
        self.max = max(self.max, late)

    def percentile(self, p: float) -> float:
        if not self.total:
            return 0.0
        rank = p / 100.0 * self.total
        seen = 0
        for i, c in enumerate(self.counts):
            seen += c
            if seen >= rank:
                return (i + 1) * self.BIN
        return self.max

    def summary(self) -> str:
        return "packets %d, send late p50 %.2f ms, p99 %.2f ms, max %.2f ms" % (
            self.total, self.percentile(50) * 1e3, self.percentile(99) * 1e3, self.max * 1e3)
