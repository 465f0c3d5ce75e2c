#!/usr/bin/python3
"""Clock drift over hours, simulated: the real PcmInput and Streamer on a simulated clock, fed by a writer whose
clock runs PPM fast or slow (10 ms writes, each up to 3 ms late at random), streaming to a session that records
what it is sent. Runs in seconds.

  /usr/bin/python3 -B scripts/bench-drift.py [--hours 2] [--ppm -50 50 0]

Every frame carries its own index, so the figures are read from what the session received, not from the
worker's counters: the longest gap (silence sent in place of audio), frames dropped and frames repeated, and the
worker's own delay from a frame's arrival on standard input to its packet being sent (for each packet's middle
frame: mean, p99, max; wake-ups are every two packets' worth).
"""

import argparse
import array
import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "vendor"))
from pyatv import session as s  # noqa: E402
from pyatv.contract import Reporter  # noqa: E402
from pyatv.pcm_input import PcmInput  # noqa: E402
from pyatv.streamer import Streamer  # noqa: E402

BURST = 441
WRITE = 0.01


BLOCK = 30000
_RAMP = array.array("h", [v for i in range(BLOCK) for v in (i + 1, 0)])
_blocks = {}


def frames(first: int, count: int) -> bytes:
    """Frame i is (i mod 30000 + 1, i div 30000 + 1): never silent, and its index can be read back."""
    out = b""
    while count:
        block, offset = divmod(first, BLOCK)
        if block not in _blocks:
            ramp = array.array("h", _RAMP)
            ramp[1::2] = array.array("h", [block % 30000 + 1]) * BLOCK
            _blocks.clear()
            _blocks[block] = ramp.tobytes()
        n = min(count, BLOCK - offset)
        out += _blocks[block][offset * 4:(offset + n) * 4]
        first, count = first + n, count - n
    return out


def index(pcm: bytes, at: int) -> int:
    left, right = struct.unpack_from("<hh", pcm, at)
    return -1 if left == 0 else (right - 1) * 30000 + left - 1


class Writer:
    """The application's writer on a clock ``ppm`` off the system's."""

    def __init__(self, source: PcmInput, ppm: float, seed: int) -> None:
        self.source, self.rate, self.rng = source, 1 + ppm * 1e-6, random.Random(seed)
        self.written = 0
        self.next_at = 0.0
        self.times = []

    def run_until(self, t: float) -> None:
        while self.next_at <= t:
            self.source.feed(frames(self.written, BURST))
            self.times.append(self.next_at)
            self.written += BURST
            self.next_at = len(self.times) * WRITE / self.rate + self.rng.uniform(0, 0.003)

    def arrival(self, frame: int) -> float:
        return self.times[frame // BURST]


class SimClock:
    def __init__(self) -> None:
        self.t = 0.0
        self.writer = None

    def __call__(self) -> float:
        return self.t

    def sleep(self, seconds: float) -> None:
        self.t += seconds
        self.writer.run_until(self.t)


class RecordingSession(s.Session):
    def __init__(self, clock: SimClock) -> None:
        self.clock = clock
        self.last = None
        self.gap = self.longest_gap = 0
        self.dropped = self.repeated = 0
        self.delays = []

    def connect(self): pass
    def poll(self, now): pass
    def close(self): pass

    def send(self, pcm, when):
        first, last = index(pcm, 0), index(pcm, len(pcm) - 4)
        if first < 0:
            if self.last is None:  # the session's lead-in, before any audio
                return
            self.gap += s.FRAMES_PER_PACKET
            self.longest_gap = max(self.longest_gap, self.gap)
            return
        self.gap = 0
        self.repeated += max(0, s.FRAMES_PER_PACKET - 1 - (last - first))
        if self.last is not None:
            self.dropped += max(0, first - self.last - 1)
            self.repeated += first == self.last
        self.last = last
        self.delays.append(self.clock.t - self.clock.writer.arrival(index(pcm, len(pcm) // 2)))


def run(hours: float, ppm: float) -> str:
    clock = SimClock()
    source = PcmInput(None, clock=clock)
    clock.writer = Writer(source, ppm, seed=int(ppm * 1000))
    session = RecordingSession(clock)
    streamer = Streamer(source, lambda: session, Reporter(os.open(os.devnull, os.O_WRONLY)), clock=clock,
                        sleep=clock.sleep, idle_after=1e9, heartbeat_interval=3600,
                        should_stop=lambda: clock.t >= hours * 3600)
    clock.writer.run_until(0.0)
    streamer.run()
    d = sorted(session.delays)
    return ("%+5.0f ppm, %g h: longest gap %.1f ms; %d frames dropped, %d repeated (%.1f a minute); delay from "
            "stdin to packet mean %.1f ms, p99 %.1f ms, max %.1f ms" % (
                ppm, hours, session.longest_gap / 44.1, session.dropped, session.repeated,
                (session.dropped + session.repeated) / (hours * 60), 1e3 * sum(d) / len(d),
                1e3 * d[int(len(d) * 0.99)], 1e3 * d[-1]))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--hours", type=float, default=2.0)
    parser.add_argument("--ppm", type=float, nargs="+", default=[-50.0, 50.0, 0.0])
    args = parser.parse_args()
    for ppm in args.ppm:
        print(run(args.hours, ppm), flush=True)


if __name__ == "__main__":
    main()
