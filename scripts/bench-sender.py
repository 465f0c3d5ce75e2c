#!/usr/bin/python3
"""Sender worker figures against the local shairport-sync (needs root: network namespaces).

  /usr/bin/python3 scripts/bench-sender.py [--seconds 60] [--launches 5] [--nice N]

Prints: time from launch to "ready" (each run and median), worker CPU (% of one core) and
peak RSS while streaming a 440/880 Hz tone, what the worker logs about the session and its
input against the schedule, and the longest bit-exact run at the receiver.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sender"))
from worker_support import HARNESS, Worker, longest_bit_exact_run, tone  # noqa: E402

NAME = "卧室"
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kb(pid: int, key: str) -> int:
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--launches", type=int, default=5)
    parser.add_argument("--nice", type=int, default=0,
                        help="run the streaming worker at this nice value (diagnosis: how much of "
                             "the send-time error is waiting for a busy CPU)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("needs root (network namespaces)")
        return 2
    env = {**os.environ, "RX_NAME": NAME, "TAG": "b%d" % (os.getpid() % 100000)}
    rx_dir = subprocess.run(["sh", os.path.join(HARNESS, "receiver-start.sh")], env=env,
                            capture_output=True, text=True, check=True,
                            timeout=30).stdout.split()[-1]
    ns = dict(item.split("=", 1) for item in open(os.path.join(rx_dir, "env")).read().split())
    prefix = ["ip", "netns", "exec", ns["NS_TX"]]
    try:
        time.sleep(1.0)  # let the receiver's mDNS announcement settle
        ready = []
        for _ in range(args.launches):
            started = time.monotonic()
            w = Worker(NAME, prefix=prefix)
            w.wait_state("ready", 15)
            ready.append(next(t for line, t in zip(w.lines, w.times) if line.get("state") == "ready") - started)
            w.close_input()
            w.wait(10)
            w.kill()
        print("launch to ready: %s s; median %.3f s" % (
            ", ".join("%.3f" % r for r in ready), statistics.median(ready)))

        received_before = os.path.getsize(os.path.join(rx_dir, "received.s16"))
        w = Worker(NAME, prefix=prefix + (["nice", "-n", str(args.nice)] if args.nice else []))
        w.wait_state("ready", 15)
        pcm = tone(args.seconds)
        w.feed(pcm)
        w.wait_state("playing", 5)
        time.sleep(2.0)
        pid = w.proc.pid
        c0, t0 = cpu_seconds(pid), time.monotonic()
        rss_samples = []
        while time.monotonic() - t0 < args.seconds - 4:
            time.sleep(1.0)
            rss_samples.append(status_kb(pid, "VmRSS"))
        c1, t1 = cpu_seconds(pid), time.monotonic()
        hwm = status_kb(pid, "VmHWM")
        w.wait_feeding(30)
        time.sleep(2.5)
        w.close_input()
        w.wait(10)
        log = w.log()
        w.kill()
        print("load average during the run: %s" % open("/proc/loadavg").read().split()[0])
        print("streaming %.0f s: CPU %.2f %% of one core; RSS %.1f MB (peak %.1f MB)" % (
            t1 - t0, 100 * (c1 - c0) / (t1 - t0), max(rss_samples) / 1024, hwm / 1024))
        for line in re.findall(r"session ended: (.*)", log):
            print("session: " + line)
        for line in re.findall(r"input against the schedule: (.*)", log)[-1:]:
            print("input: " + line)
        with open(os.path.join(rx_dir, "received.s16"), "rb") as f:
            f.seek(received_before)
            received = f.read()
        print("longest bit-exact run at the receiver: %.2f s of %.0f s sent"
              % (longest_bit_exact_run(pcm, received) / 44100, args.seconds))
    finally:
        subprocess.run(["sh", os.path.join(HARNESS, "receiver-stop.sh"), rx_dir], timeout=30)
        subprocess.run(["rm", "-rf", rx_dir])
    return 0


if __name__ == "__main__":
    sys.exit(main())
