#!/usr/bin/python3
"""Held audio against Debian's shairport-sync 3.3.8 in its namespace (needs root; tests/harness/receiver-start.sh):
the real worker is fed a ramp whose every frame carries its index from its start, as when sound returns while a
session is being opened; optionally with SECONDS of it already waiting in the pipe at spawn (an enlarged pipe),
so that more is held than the speaker's latency leaves room for (as after a take-back); or, with
--after-standby, once the worker has released the speaker after 1.5 s of silence (sound returning).

  sudo /usr/bin/python3 -B scripts/bench-held.py [--prefill 2.0 | --after-standby] [--seconds 20] [--vendor DIR]
      [--runs 3]

Prints per run: seconds to "ready", the first frame the receiver played (0: nothing lost at the start), frames
missing from the output and in how many places (a faded cut is one), and the delay from a frame's write to its
arrival in the receiver's output (its 0.2 s output buffer added back), against the latency the worker reported:
at 1 s, 5 s, 10 s and at the end, and from when on it stays within 20 ms.
"""

import argparse
import fcntl
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sender"))
import worker_support  # noqa: E402
from test_shairport_interop import NAME, start_receiver, stop_receiver  # noqa: E402

RX_BUFFER = 0.2


def run(args, pcm: bytes) -> str:
    rx = start_receiver("h%d" % (os.getpid() % 100000))
    try:
        received = os.path.join(rx["dir"], "received.s16")
        before, arrivals, done = os.path.getsize(received), [], threading.Event()
        threading.Thread(target=lambda: [arrivals.append((time.monotonic(), os.path.getsize(received)))
                                         for _ in iter(lambda: done.wait(0.003), True)], daemon=True).start()
        worker = worker_support.Worker(NAME, *(("--idle-after", "1.5") if args.after_standby else ()),
                                       prefix=("ip", "netns", "exec", rx["NS_TX"]), env={"SONVALE_VENDOR": args.vendor})
        if args.after_standby:  # silence until the speaker is released; the ramp then wakes it
            worker.feed(b"", then_silence=True)
            latency = worker.wait_state("ready", 15)["latency_ms"] / 1000
            worker.wait_state("idle", 15)
            worker.stop_feeding()
            before = os.path.getsize(received)
        prefill = int(args.prefill * 44100) * 4
        if prefill:
            fcntl.fcntl(worker.proc.stdin.fileno(), fcntl.F_SETPIPE_SZ, 1 << 20)
            worker.proc.stdin.write(pcm[:prefill])
            worker.proc.stdin.flush()
        fed_at = time.monotonic() - args.prefill
        worker.feed(pcm[prefill:])
        if args.after_standby:
            worker.wait_state("playing", 15)
        else:
            latency = worker.wait_state("ready", 15)["latency_ms"] / 1000
        ready_after = time.monotonic() - fed_at - args.prefill
        worker.wait_feeding(args.seconds + 10)
        time.sleep(2.5)
        worker.close_input()
        worker.wait(10)
        done.set()
        with open(received, "rb") as f:
            f.seek(before)
            out = f.read()
        worker.kill()
    finally:
        stop_receiver(rx)
    frames = len(out) // 4
    index = [worker_support.ramp_index(out, i) for i in range(frames)]
    played = [(i, k) for k, i in enumerate(index) if i >= 0]
    jumps = [(b[1], b[0] - a[0] - 1) for a, b in zip(played, played[1:]) if b[0] - a[0] > 1]
    missing = sum(count for _, count in jumps)
    # A faded cut reads as one jump per faded frame: jumps closer than 0.1 s count as one place.
    places = sum(1 for n, (at, _) in enumerate(jumps) if n == 0 or at - jumps[n - 1][0] > 4410)
    position = {i: k for i, k in played}
    sizes = [size - before for _, size in arrivals]

    def delay(second: float):
        k = position.get(int(second * 44100))
        if k is None:
            return None
        n = next((n for n, size in enumerate(sizes) if size >= (k + 1) * 4), None)
        return None if n is None else arrivals[n][0] - (fed_at + second) + RX_BUFFER - latency

    checks = [x / 10 for x in range(5, int(args.seconds * 10) - 5)]
    off = [(t, delay(t)) for t in checks]
    settled = next((t for t, _ in off if all(d is not None and abs(d) <= 0.02 for u, d in off if u >= t)), None)
    shown = ", ".join("%g s %+.0f ms" % (t, 1000 * d) for t, d in off if t in (1, 5, 10, checks[-1]) and d is not None)
    return ("ready after %.2f s; first frame played %d; %d frames missing in %d places; off the reported latency: "
            "%s; within 20 ms from %s" % (ready_after, played[0][0], missing, places, shown,
                                          "%.1f s" % settled if settled is not None else "never"))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefill", type=float, default=0.0)
    parser.add_argument("--after-standby", action="store_true")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--vendor", default=worker_support.VENDOR)
    args = parser.parse_args()
    pcm = worker_support.ramp(args.prefill + args.seconds)
    for _ in range(args.runs):
        print(run(args, pcm), flush=True)


if __name__ == "__main__":
    main()
