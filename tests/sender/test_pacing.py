"""The absolute packet schedule, with a simulated clock."""

from __future__ import annotations

import unittest

import worker_support  # noqa: F401
from pyatv.pacing import LateHistogram, Pacer

PERIOD = 0.01


class SimClock:
    def __init__(self) -> None:
        self.t, self.slept = 0.0, []

    def __call__(self) -> float:
        return self.t

    def sleep(self, seconds: float) -> None:
        self.slept.append(seconds)
        self.t += seconds


def pacer(**kwargs) -> tuple[Pacer, SimClock]:
    clock = SimClock()
    return Pacer(clock=clock, sleep=clock.sleep, **{"period": PERIOD, "max_burst": 3, "reset_after": 0.5,
                                                     **kwargs}), clock


class PacerTest(unittest.TestCase):
    def test_on_time_sleeps_do_not_accumulate_error(self):
        p, clock = pacer()
        dues = []
        for _ in range(100):
            clock.t += 0.0013  # work done per packet
            dues.append(p.wait_next()[0])
        self.assertAlmostEqual(dues[-1], 99 * PERIOD, places=9)
        self.assertAlmostEqual(clock.t, 99 * PERIOD, places=9)

    def test_catch_up_is_bounded_and_keeps_the_schedule(self):
        p, clock = pacer()
        p.wait_next()
        clock.t += 0.1  # a stall of ten periods
        dues = [p.wait_next()[0] for _ in range(12)]
        self.assertEqual([round(d / PERIOD) for d in dues], list(range(1, 13)))
        self.assertTrue(any(0 < s < PERIOD for s in clock.slept), "pauses between bursts")
        self.assertEqual(p.resets, 0)

    def test_long_stall_restarts_the_schedule(self):
        p, clock = pacer()
        p.wait_next()
        clock.t += 2.0
        due, reset = p.wait_next()
        self.assertTrue(reset)
        self.assertEqual(due, clock.t)
        self.assertAlmostEqual(p.wait_next()[0], clock.t, places=9)
        self.assertEqual(p.resets, 1)

    def test_max_wait_returns_early_for_housekeeping(self):
        p, clock = pacer(period=0.1)
        p.wait_next()
        self.assertIsNone(p.wait_next(max_wait=0.02))
        self.assertAlmostEqual(clock.t, 0.02)
        self.assertAlmostEqual(p.wait_next(max_wait=0.5)[0], 0.1)

    def test_histogram_percentiles(self):
        h = LateHistogram()
        for ms in [0.05] * 98 + [5.0, 150.0]:
            h.add(ms / 1000)
        self.assertAlmostEqual(h.percentile(50), 0.0001)
        self.assertAlmostEqual(h.percentile(99), 0.0051)
        self.assertAlmostEqual(h.max, 0.15)


if __name__ == "__main__":
    unittest.main()
