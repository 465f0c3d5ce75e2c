"""Prints the worker's CPU use while it streams over AirPlay 2 to the fake receiver, and how soon the
follower's clock estimate settles after the first Sync. Run: /usr/bin/python3 scripts/fake_ap2_bench.py"""

import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sender"))
from fake_ap2_receiver import FEATURES_NO_PTP, FakeAirPlay2Receiver  # noqa: E402
from worker_support import Worker, tone  # noqa: E402
from pyatv.ptp.follower_clock import FollowerClock  # noqa: E402

SECONDS = 20


def cpu_seconds(pid: int) -> float:
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def worker_cpu() -> None:
    with FakeAirPlay2Receiver(features=FEATURES_NO_PTP) as receiver:
        worker = Worker("bench", "--address", "127.0.0.1:%d" % receiver.port, "--protocol", "airplay2")
        try:
            worker.wait_state("ready", 15)
            worker.feed(tone(SECONDS + 5))
            worker.wait_state("playing", 5)
            time.sleep(2)
            start_cpu, start = cpu_seconds(worker.proc.pid), time.monotonic()
            time.sleep(SECONDS)
            used = cpu_seconds(worker.proc.pid) - start_cpu
            elapsed = time.monotonic() - start
            print("worker CPU over AirPlay 2 (NTP timing, encrypted ALAC): %.2f %% of one core over %.0f s"
                  % (100 * used / elapsed, elapsed))
        finally:
            worker.close_input()
            worker.wait(10)
            worker.kill()


def follower_settling(runs: int = 200) -> None:
    """Synthetic 8 Hz Sync/Follow_Up, 150 µs path delay, exponential jitter (mean 300 µs), ±100 ppm rate."""
    worst = []
    for seed in range(runs):
        rng = random.Random(seed)
        ppm = rng.uniform(-100, 100)
        offset = rng.randrange(10 ** 12)
        clock = FollowerClock()
        local = 10 ** 9
        settled_at = None
        for i in range(40):
            master = int(local * (1 + ppm * 1e-6)) + offset
            clock.add(master, local + 150_000 + int(rng.expovariate(1 / 300_000)))
            probe = local + 10_000_000
            error = abs(clock.to_master(probe) - (int(probe * (1 + ppm * 1e-6)) + offset))
            if clock.ready and error < 500_000:
                settled_at = settled_at if settled_at is not None else i * 0.125
            elif settled_at is not None and error >= 1_000_000:
                settled_at = None
            local += 125_000_000
        worst.append(settled_at if settled_at is not None else float("inf"))
    worst.sort()
    print("follower estimate within 0.5 ms (and staying within 1 ms) after the first Sync: median %.3f s, "
          "95th percentile %.3f s, worst %.3f s (%d runs)" % (worst[len(worst) // 2], worst[int(len(worst) * 0.95)],
                                                            worst[-1], runs))


if __name__ == "__main__":
    follower_settling()
    worker_cpu()
