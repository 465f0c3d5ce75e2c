"""The sender's PTP clock: the monotonic clock, shifted once onto wall-clock time, with a random identity."""

import secrets
import time


class LocalClock:
    rate = 1.0

    def __init__(self, clock_id: int = None):
        self.clock_id = clock_id if clock_id is not None else secrets.randbits(64)
        self._offset = time.time_ns() - time.monotonic_ns()

    def now_ns(self) -> int:
        return time.monotonic_ns() + self._offset

    def at(self, monotonic_seconds: float) -> int:
        return int(monotonic_seconds * 1e9) + self._offset

    def read(self, monotonic_seconds: float):
        return self.clock_id, self.at(monotonic_seconds)
