#!/usr/bin/python3
"""Two speakers in step: Debian's shairport-sync 3.3.8 as "卧室" and "客厅", each in its own namespace on its own
link from one sender namespace (tests/harness/receiver-start.sh, needs root), fed a ramp whose every frame carries
its index. Both outputs are polled on one clock; when a frame was written is read from a line fitted over the
writes of the second around it (the stdout backend writes in chunks of about 8 ms).

  sudo /usr/bin/python3 -B scripts/bench-sync.py [--seconds 60] [--every 0.1]

Prints the distribution of 卧室's time minus 客厅's for the same frame (every EVERY seconds of audio), and the
worker's CPU (utime + stime from /proc) over the same window with one speaker and with both.

  /usr/bin/python3 -B scripts/bench-sync.py --fake-airplay2 [--seconds 300]

The same for two AirPlay 2 speakers on PTP (tests/sender/test_ap2_session.py: two fake receivers on loopback,
one group, one clock hub): each on its own grandmaster at -50 and +50 ppm, then both on our clock. Every packet's
first frame is compared, at the local instant each fake plays it.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sender"))
import test_several_speakers as several  # noqa: E402
from test_ap2_session import TwoSpeakers  # noqa: E402
from worker_support import Worker, longest_bit_exact_run, ramp  # noqa: E402


def cpu_seconds(pid: int) -> float:
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(names, pcm, seconds):
    writes = several.Writes()
    worker = Worker(names[0], *[a for n in names[1:] for a in ("--name", n)],
                    prefix=("ip", "netns", "exec", several.RX["卧室"]["NS_TX"]))
    try:
        worker.feed(pcm)
        worker.wait_state("playing", 15)
        time.sleep(2)
        t0, c0 = time.monotonic(), cpu_seconds(worker.proc.pid)
        time.sleep(seconds - 4)
        cpu = (cpu_seconds(worker.proc.pid) - c0) / (time.monotonic() - t0) * 100
        worker.wait_feeding(30)
        time.sleep(2.5)
        worker.close_input()
        worker.wait(10)
        return writes, cpu
    finally:
        writes.done.set()
        worker.kill()


def summary(label, offsets):
    offsets = sorted(offsets)
    pick = lambda q: offsets[min(len(offsets) - 1, int(q * len(offsets)))]  # noqa: E731
    print("%s (ms): min %.3f  p1 %.3f  p50 %.3f  p99 %.3f  max %.3f  mean %.3f  stdev %.3f" % (
        label, offsets[0], pick(0.01), pick(0.5), pick(0.99), offsets[-1], statistics.mean(offsets),
        statistics.pstdev(offsets)))
    print("within ±2 ms: %.1f %%" % (100 * sum(abs(o) <= 2 for o in offsets) / len(offsets)))


def fake_airplay2(seconds):
    for label, ppms in (("own grandmasters at -50 / +50 ppm", (-50, 50)), ("both on our clock", None)):
        pair = TwoSpeakers(ppms)
        pair.play(seconds)
        offsets = pair.offsets_ms()  # bit-exact checked
        print("load average %.1f; %d frames compared over %.0f s; %s" % (os.getloadavg()[0], len(offsets), seconds,
                                                                        label))
        summary("卧室 - 客厅", offsets)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--every", type=float, default=0.1)
    parser.add_argument("--fake-airplay2", action="store_true")
    args = parser.parse_args()
    if args.fake_airplay2:
        return fake_airplay2(args.seconds)
    pcm = ramp(args.seconds + 4)
    several.setUpModule()
    try:
        writes, two = run(["卧室", "客厅"], pcm, args.seconds)
        step = int(args.every * 44100)
        offsets = sorted(writes.offsets_ms(pcm, range(3 * 44100, int((args.seconds + 3) * 44100), step)))
        exact = [longest_bit_exact_run(pcm, several.received(name)) / 44100 for name in several.RX]
        _, one = run(["卧室"], pcm, args.seconds)  # after: its output would be found first
    finally:
        several.tearDownModule()
    print("load average %.1f; %d frames compared over %.0f s" % (os.getloadavg()[0], len(offsets), args.seconds))
    summary("卧室 - 客厅", offsets)
    print("longest bit-exact stretch: 卧室 %.2f s, 客厅 %.2f s" % tuple(exact))
    print("worker CPU: one speaker %.2f %%, two %.2f %% (x%.2f)" % (one, two, two / one))


if __name__ == "__main__":
    main()
