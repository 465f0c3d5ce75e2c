"""Wiring for sender.py: arguments, logging to standard error, signals, exit status."""

from __future__ import annotations

import argparse
import logging
import signal
import sys

from . import discovery, errors
from . import session as s
from .contract import Reporter
from .pcm_input import PcmInput
from .streamer import Streamer

log = logging.getLogger("sender")


def _parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="sender.py",
        description="Stream 44100 Hz 16-bit stereo PCM from standard input to an AirPlay "
                    "speaker; report progress as JSON lines on standard output.")
    parser.add_argument("--name", required=True, help="the speaker's name, matched exactly")
    parser.add_argument("--address", metavar="HOST:PORT",
                        help="connect to this RAOP address instead of browsing for the name")
    parser.add_argument("--protocol", choices=("auto", "airplay2", "raop"), default="auto",
                        help="auto: AirPlay 2 when the speaker offers it (default)")
    parser.add_argument("--idle-after", type=float, default=20.0, metavar="SECONDS",
                        help="release the speaker after this much silence (default 20)")
    # Every option takes a value; joined to its flag, a value that begins with "-" (a
    # speaker named "-Kitchen") is not taken for another option.
    joined = list(argv)
    for i, word in enumerate(joined[:-1]):
        if word in ("--name", "--address", "--protocol", "--idle-after") and joined[i + 1].startswith("-"):
            joined[i:i + 2] = [word + "=" + joined[i + 1]]
            break
    return parser.parse_args(joined)


def _address_speaker(name: str, address: str) -> discovery.Speaker:
    host, _, port = address.rpartition(":")
    return discovery.Speaker(name=name, address=host.strip("[]"), port=int(port),
                             addresses=[host.strip("[]")])


def main(argv: list[str]) -> int:
    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s sender[%(process)d] %(levelname)s %(name)s: %(message)s")
    reporter = Reporter(1)
    try:
        args = _parse(argv)
    except SystemExit as exc:
        if exc.code:
            reporter.error(errors.NO_NAME)
        return int(exc.code or 0)

    stop = {"asked": False}

    def on_signal(signum, frame):
        stop["asked"] = True
        s.STOP.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    def should_stop() -> bool:
        return stop["asked"] or reporter.broken

    log.info("starting for speaker %r", args.name)
    source = PcmInput(0)
    source.start()
    try:
        if args.address:
            speaker = _address_speaker(args.name, args.address)
        else:
            speaker = discovery.find_speaker(args.name, should_stop=should_stop)
        streamer = Streamer(source, lambda: discovery.make_session(speaker, args.protocol), reporter,
                            should_stop=should_stop, idle_after=args.idle_after)
        streamer.run()
    except s.SenderError as exc:
        if should_stop():
            log.info("stopped: %s", exc)
            return 0
        log.error("giving up: %s: %s", type(exc).__name__, exc)
        reporter.error(errors.message_for(exc, args.name))
        return 1
    except Exception as exc:
        log.exception("internal error")
        reporter.error(errors.message_for(exc, args.name))
        return 1
    log.info("stopped (%s), %d bytes read", "end of input" if source.eof else "signal",
             source.bytes_in)
    return 0
