"""The follower's estimate of a HomePod's clock from one-way Sync/Follow_Up samples at 8 Hz."""

import random
import unittest

import worker_support  # noqa: F401  (puts the package on the path)

from pyatv.ptp.follower_clock import FollowerClock

SYNC_INTERVAL = 125_000_000
SECOND = 1_000_000_000


def feed(clock, rng, count, offset, rate_ppm, start_local, jitter_ns, base_delay_ns=150_000, step_at=None,
         step_ns=0):
    """Master = local·(1 + ppm) + offset; every sample arrives after base delay + exponential jitter."""
    local = start_local
    for i in range(count):
        if step_at is not None and i == step_at:
            offset += step_ns
        master = int(local * (1 + rate_ppm * 1e-6) + offset)
        received = local + base_delay_ns + int(rng.expovariate(1.0 / jitter_ns)) if jitter_ns else local
        clock.add(master, received)
        local += SYNC_INTERVAL
    return local, offset


class FollowerClockTest(unittest.TestCase):
    def test_settles_within_two_seconds(self):
        cases = [("no jitter", 0, 0), ("desktop jitter", 300_000, 0), ("heavy jitter", 1_000_000, 0),
                 ("fast master", 300_000, 80), ("slow master", 300_000, -80)]
        for name, jitter, ppm in cases:
            with self.subTest(name):
                rng = random.Random(4)
                clock = FollowerClock()
                offset = 123_456_789_000 - 7 * SECOND
                end, _ = feed(clock, rng, 16, offset, ppm, 7 * SECOND, jitter)
                self.assertTrue(clock.ready)
                truth = int(end * (1 + ppm * 1e-6) + offset)
                # Within 2 s the error stays near the base path delay; the jitter is mostly filtered out.
                self.assertLess(abs(clock.to_master(end) - truth), 400_000, name)

    def test_rate_is_tracked_over_longer_runs(self):
        for ppm in (-100, 0, 50):
            with self.subTest(ppm=ppm):
                rng = random.Random(ppm)
                clock = FollowerClock()
                end, offset = feed(clock, rng, 80, 5 * SECOND, ppm, SECOND, 300_000)
                self.assertAlmostEqual((clock.rate - 1) * 1e6, ppm, delta=15)
                ahead = end + 2 * SECOND
                truth = int(ahead * (1 + ppm * 1e-6) + offset)
                self.assertLess(abs(clock.to_master(ahead) - truth), 400_000)
                self.assertLess(abs(clock.to_local(clock.to_master(ahead)) - ahead), 2)

    def test_clock_step_is_followed_and_single_outliers_are_not(self):
        rng = random.Random(9)
        clock = FollowerClock()
        end, offset = feed(clock, rng, 40, 3 * SECOND, 0, SECOND, 200_000, step_at=24, step_ns=-700_000_000)
        self.assertEqual(clock.steps, 1)
        self.assertLess(abs(clock.to_master(end) - (end + offset)), 400_000)

        clock = FollowerClock()
        local = SECOND
        for i in range(40):
            delay = 40_000_000 if i in (10, 20, 21) else 150_000
            clock.add(local + 3 * SECOND, local + delay)
            local += SYNC_INTERVAL
        self.assertEqual(clock.steps, 0)
        self.assertLess(abs(clock.to_master(local) - (local + 3 * SECOND)), 200_000)



if __name__ == "__main__":
    unittest.main()
