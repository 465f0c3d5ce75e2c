#!/usr/bin/python3
"""Follow mode through a speaker restart: the AirPlay 2 session following the fake receiver's scripted grandmaster
(tests/sender), which restarts 1.5 s into the stream with a new identity and its uptime clock 777 s on. The new
identity is ranked after the old one (so the old must first be given up) or before it.

  /usr/bin/python3 -B scripts/bench-follow.py [--runs 5]

Prints per run, in seconds from the new clock's first Sync: when the worker names the new grandmaster, when it
sends the first anchor on the new clock, and when the receiver (which plays only anchors stated in its current
clock's time base) plays a packet again; and whether any anchor named a clock with another clock's time. Then a flood from the
speaker's address: 20,000 Announces of distinct clocks at 4,000 a second, each ranked above the last: the cost of
one and the lines logged.
"""

import argparse
import logging
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sender"))
from worker_support import udp_socket  # noqa: E402
from fake_ap2_receiver import FakeAirPlay2Receiver, FakeGrandmaster  # noqa: E402
from test_ap2_session import stream  # noqa: E402
from pyatv.airplay2 import protocol_choice as pc  # noqa: E402
from pyatv.ptp import messages as ptp  # noqa: E402
from pyatv.ptp.follower import PtpFollower  # noqa: E402
from pyatv.airplay2.session import AirPlay2Session  # noqa: E402
from pyatv.ptp.clock_ports import ClockSockets  # noqa: E402
from pyatv.ptp.clock import LocalClock  # noqa: E402
from pyatv.ptp.clock_hub import ClockHub  # noqa: E402


class Moments(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = {}

    def emit(self, record):
        for key in ("grandmaster changes", "time line moved"):
            if key in record.getMessage():
                self.seen.setdefault(key, record.created)


def run(new_id: int) -> str:
    moments = Moments()
    logging.getLogger("pyatv").addHandler(moments)
    sockets = ClockSockets(udp_socket(), udp_socket())
    with FakeAirPlay2Receiver() as receiver:
        master = FakeGrandmaster(receiver, 0xF0E1D2C3B4A59687, [c.getsockname()[1] for c in sockets])
        master.start()
        played_again = []
        on_audio = receiver._on_audio

        def watched(packet):
            on_audio(packet)
            if master.restarts and receiver.anchored and not played_again:
                played_again.append(time.monotonic())
        receiver._on_audio = watched
        session = AirPlay2Session(receiver.host, receiver.port, pc.PTP_FOLLOW, timeout=2.0,
                                  clock_hub=ClockHub(sockets, LocalClock()), peer_clock_ports=receiver.ptp_ports)
        try:
            session.connect()
            threading.Timer(1.5, master.restart, [new_id, 777 * 10**9]).start()
            stream(session, 8.0)
        finally:
            session.close()
            master.stop()
            sockets.close()
            logging.getLogger("pyatv").removeHandler(moments)
    # Log records carry wall-clock times; the rest are monotonic.
    shift = time.time() - time.monotonic()
    since = lambda t: "%.2f" % (t - shift - master.restarts[0]) if t else "never"  # noqa: E731
    return "named %s, anchored %s, plays again %s; anchors off their clock: %d" % (
        since(moments.seen.get("grandmaster changes")), since(moments.seen.get("time line moved")),
        "%.2f" % (played_again[0] - master.restarts[0]) if played_again else "never", len(receiver.faults))


def flood() -> str:
    follower, lines = PtpFollower(), []
    handler = logging.Handler()
    handler.emit = lines.append
    logging.getLogger("pyatv.ptp.follower").addHandler(handler)
    quality = ptp.Quality(128, 6, 0x21, 0x436A, 128, 0x20)
    announces = [ptp.announce(k, k, quality._replace(variance=60000 - k)) for k in range(20000)]
    began = time.perf_counter()
    for k, message in enumerate(announces):
        follower.handle(message, 10**9 + k * 250_000)
    spent = time.perf_counter() - began
    logging.getLogger("pyatv.ptp.follower").removeHandler(handler)
    return "flood: %.1f us per Announce, %d lines logged" % (spent / len(announces) * 1e6, len(lines))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING)
    logging.getLogger("pyatv").setLevel(logging.INFO)
    logging.getLogger("pyatv").propagate = False
    for label, new_id in (("new clock ranked after the old", 0xF1E1D2C3B4A59687),
                          ("new clock ranked before the old", 0x1122334455667788)):
        for _ in range(args.runs):
            print("%s: %s" % (label, run(new_id)), flush=True)
    print(flood())


if __name__ == "__main__":
    main()
