#!/usr/bin/python3
"""The real worker against hostile speakers on loopback (the fakes of tests/sender). For each reply: seconds from
the worker's start to its error line, its peak RSS, its longest log line and the message. While streaming to a
speaker that floods or drips its replies: the longest gap between heartbeats, the packets sent, and how long
SIGTERM takes; and how long releasing a dripping speaker takes after the input falls silent.

Usage: scripts/bench-hostile-replies.py [TREE]   (TREE: another checkout whose worker to run; default this one)"""

import os
import signal
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "sender"))
import worker_support  # noqa: E402
from fake_ap2_receiver import FakeAirPlay2Receiver  # noqa: E402
from test_fake_receiver import FakeReceiver  # noqa: E402
from test_negotiation import TRANSPORT, ScriptedRaop  # noqa: E402

if len(sys.argv) > 1:
    worker_support.SOURCE_DIR, worker_support.VENDOR = sys.argv[1], os.path.join(sys.argv[1], "resources", "vendor")

REPLIES = [
    ("SETUP plist: eventPort = 2,000 references to a 100 KB string",
     lambda: FakeAirPlay2Receiver(session_reply={"eventPort": ["x" * 100_000] * 2000})),
    ("a 16 MB reply",
     lambda: ScriptedRaop(raw=b"RTSP/1.0 200 OK\r\nContent-Length: 16777216\r\n\r\n" + bytes(1 << 24))),
    ("server_port of 5,000 digits", lambda: ScriptedRaop(SETUP=TRANSPORT % ("9" * 5000))),
    ("Audio-Latency of 5,000 digits", lambda: ScriptedRaop(RECORD="Audio-Latency: " + "9" * 5000)),
    ("SETUP answered one byte every 0.5 s", lambda: FakeAirPlay2Receiver(drip_from="SETUP")),
]
STREAMING = [("replies flooded", lambda: FakeReceiver("flood")),
             ("replies dripped one byte every 0.5 s", lambda: FakeAirPlay2Receiver(drip_from="/feedback"))]


def worker(rx, *extra):
    return worker_support.Worker("卧室", "--address", "127.0.0.1:%d" % rx.port, "--protocol",
                                 "airplay2" if isinstance(rx, FakeAirPlay2Receiver) else "raop", *extra)


def longest_line(w) -> int:
    return max(map(len, w.log().splitlines()), default=0)


def main() -> None:
    for name, make in REPLIES:
        with make() as rx:
            w, start = worker(rx), time.monotonic()
            try:
                message = w.wait_state("error", 90)["message"]
            except AssertionError:
                message = "no error line within 90 s"
            took = time.monotonic() - start
            w.proc.send_signal(signal.SIGTERM)
            w.wait(30)
            print("%-62s %6.2f s  %7.1f MB  longest log line %9d  %s" % (name, took, w.peak_kb / 1024,
                                                                          longest_line(w), message[:60]))
            w.kill()
    for name, make in STREAMING:
        with make() as rx:
            w = worker(rx)
            w.feed(b"", then_silence=True)
            w.wait_state("playing", 10)
            playing = time.monotonic()
            time.sleep(8)
            beats = [playing] + w.beats(after=playing) + [time.monotonic()]
            start = time.monotonic()
            w.proc.send_signal(signal.SIGTERM)
            w.wait(30)
            print("%-40s 8 s streaming: longest heartbeat gap %.2f s, %d packets; SIGTERM to exit %.2f s" % (
                name, max(b - a for a, b in zip(beats, beats[1:])), len(rx.packets), time.monotonic() - start))
            w.kill()
    with FakeAirPlay2Receiver(drip_from="/feedback") as rx:
        w = worker(rx, "--idle-after", "3")
        w.feed(b"", then_silence=True)
        w.wait_state("playing", 10)
        start = time.monotonic()
        w.wait_state("idle", 90)
        print("releasing a dripping speaker after 3 s of silence: idle after %.2f s" % (time.monotonic() - start))
        w.kill()


if __name__ == "__main__":
    main()
