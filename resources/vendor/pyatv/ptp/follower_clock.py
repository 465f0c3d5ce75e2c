"""Estimates a remote grandmaster's clock from one-way Sync/Follow_Up samples.

The grandmaster does not answer Delay_Req, so every sample is (master send time, local receive time) and
master − local = offset − path delay. Path delay is never negative and jitters upwards, so in each bucket of
samples the one with the largest master − local is the closest to the true offset. A line fitted through those
best samples gives offset and rate. A run of samples that disagree with the line by more than a step threshold,
and agree with each other, means the master's clock stepped: the history is dropped and rebuilt from them.
"""

from collections import deque
from typing import Deque, List, Optional, Tuple

BUCKET_SAMPLES = 4           # half a second at 8 Hz
BUCKETS = 16                 # eight seconds of history
STEP_THRESHOLD_NS = 5_000_000
STEP_CONFIRMATIONS = 3
READY_SAMPLES = 4
MIN_RATE_SPAN_NS = 1_500_000_000


class FollowerClock:
    def __init__(self):
        self._buckets: Deque[Tuple[int, int]] = deque(maxlen=BUCKETS)
        self._bucket: List[Tuple[int, int]] = []
        self._outliers: List[Tuple[int, int]] = []
        self._origin_local = 0
        self._offset = 0.0
        self._rate = 1.0
        self.samples = 0
        self.steps = 0

    @property
    def ready(self) -> bool:
        return self.samples >= READY_SAMPLES

    @property
    def rate(self) -> float:
        """Master seconds per local second."""
        return self._rate

    def to_master(self, local_ns: int) -> int:
        return int(local_ns + self._offset + (self._rate - 1.0) * (local_ns - self._origin_local))

    def add(self, master_ns: int, local_ns: int) -> None:
        if self.samples >= READY_SAMPLES and abs(master_ns - self.to_master(local_ns)) > STEP_THRESHOLD_NS:
            self._outliers.append((master_ns, local_ns))
            if len(self._outliers) < STEP_CONFIRMATIONS:
                return
            offsets = [m - l for m, l in self._outliers]
            if max(offsets) - min(offsets) > STEP_THRESHOLD_NS:
                self._outliers = self._outliers[1:]
                return
            self.steps += 1
            replay = self._outliers
            self._reset()
            for m, l in replay:
                self._accept(m, l)
            return
        self._outliers = []
        self._accept(master_ns, local_ns)

    def _reset(self) -> None:
        self._buckets.clear()
        self._bucket = []
        self._outliers = []
        self.samples = 0
        self._rate = 1.0

    def _accept(self, master_ns: int, local_ns: int) -> None:
        self.samples += 1
        self._bucket.append((master_ns, local_ns))
        if len(self._bucket) >= BUCKET_SAMPLES:
            self._buckets.append(max(self._bucket, key=lambda s: s[0] - s[1]))
            self._bucket = []
        self._refit()

    def _refit(self) -> None:
        best = list(self._buckets)
        if self._bucket:
            best.append(max(self._bucket, key=lambda s: s[0] - s[1]))
        origin = best[0][1]
        if len(best) >= 3 and best[-1][1] - origin >= MIN_RATE_SPAN_NS:
            xs = [l - origin for _, l in best]
            ys = [m - l for m, l in best]
            mean_x = sum(xs) / len(xs)
            mean_y = sum(ys) / len(ys)
            sxx = sum((x - mean_x) ** 2 for x in xs)
            slope = sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) / sxx
            # Buckets keep the least-delayed sample, but a fit still sits inside the jitter: move the line up
            # to the envelope of the best samples.
            lift = max(y - (mean_y + slope * (x - mean_x)) for x, y in zip(xs, ys))
            self._rate = 1.0 + slope
            self._origin_local = origin
            self._offset = mean_y - slope * mean_x + lift
        else:
            self._origin_local = origin
            self._rate = 1.0
            self._offset = float(max(m - l for m, l in best))
