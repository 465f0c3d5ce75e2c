"""The packet schedule and the input level held against it.

Packet n is scheduled for ``when(n)``: a steady line on the monotonic clock, or on the speaker's clock when the
session follows it (``set_rate``). The schedule says which RTP time each packet stands for; packets leave as soon
as their PCM is in (a little ahead of or behind their time, well within what the receiver buffers), so the
worker's own delay is only how long a write waits for the next wake-up.

The level is what the input has delivered (sent and still buffered) minus what the schedule has asked for, in
frames. A capture clock that runs a little fast or slow makes it drift; ``LevelSteer`` turns the drift into single
frames dropped or repeated now and then, at most ``MAX_PPM``, so the level stays near zero without cuts.
"""

from __future__ import annotations

from .session import FRAMES_PER_PACKET, PACKET_SECONDS


class Schedule:
    def __init__(self, start: float, period: float = PACKET_SECONDS) -> None:
        self._base_n = 0
        self._base_t = start
        self._period = period
        self.sent = 0
        self.restarts = 0

    def when(self, n: int) -> float:
        return self._base_t + (n - self._base_n) * self._period

    def due_frames(self, now: float) -> float:
        """Frames the schedule has asked for by ``now`` (packet n is asked for at ``when(n)``)."""
        return (self._base_n + (now - self._base_t) / self._period) * FRAMES_PER_PACKET

    def set_rate(self, rate: float) -> None:
        """``rate``: seconds of the speaker's clock per local second; the next packet keeps its time."""
        period = PACKET_SECONDS / rate
        if period != self._period:
            self._base_t, self._base_n, self._period = self.when(self.sent), self.sent, period

    def restart(self, now: float) -> None:
        """After a stall: the next packet is due now (its time jumps; the session re-anchors)."""
        self._base_t, self._base_n = now, self.sent
        self.restarts += 1


class LevelSteer:
    """Proportional control of the level with a dead band, through an exponential average: inside the band
    nothing is touched (so a well-matched input stays bit-exact); outside, the correction grows by ``GAIN_PPM``
    per frame of excess. At ±50 ppm the level settles about 50 frames outside the band. The band (0.1 s) is far
inside what the receiver buffers, and wide enough for the lag of input that started late."""

    DEAD_BAND = 4410
    GAIN_PPM = 1.0
    MAX_PPM = 500.0
    TIME_CONSTANT = 2.0

    def __init__(self) -> None:
        self.average = 0.0
        self._last = None
        self._ppm = 0.0
        self._owed = 0.0
        self.dropped = 0
        self.repeated = 0

    def observe(self, level: float, now: float) -> None:
        if self._last is None:
            self.average = level
        else:
            k = min(1.0, (now - self._last) / self.TIME_CONSTANT)
            self.average += k * (level - self.average)
        self._last = now
        excess = abs(self.average) - self.DEAD_BAND
        ppm = min(self.MAX_PPM, self.GAIN_PPM * excess) if excess > 0 else 0.0
        self._ppm = ppm if self.average > 0 else -ppm

    def reset(self, level: float) -> None:
        self.average = level
        self._owed = 0.0

    def next_adjust(self) -> int:
        """For the next wake-up's first packet: 1 to drop a frame, -1 to repeat one, else 0 (at most a frame per
        wake-up: MAX_PPM is far below one per packet). Call ``done`` with the packets taken."""
        return 1 if self._owed >= 1.0 else -1 if self._owed <= -1.0 else 0

    def done(self, adjust: int, packets: int) -> None:
        self._owed = max(-2.0, min(2.0, self._owed + self._ppm * (FRAMES_PER_PACKET * 1e-6) * packets - adjust))
        if adjust > 0:
            self.dropped += 1
            self.average -= 1
        elif adjust < 0:
            self.repeated += 1
            self.average += 1
