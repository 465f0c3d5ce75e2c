"""Wiring for sender.py: arguments, logging to standard error, signals, exit status.

Nothing here depends on the locale: the application passes its arguments as UTF-8 whatever the locale says,
state lines are UTF-8 JSON, and the log replaces what standard error cannot encode.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import signal
import sys
import time

from . import discovery, errors
from . import session as s
from .contract import Reporter
from .group import Group
from .occupancy import Yielding
from .pcm_input import PcmInput
from .quoting import LIMIT, quoted
from .streamer import Streamer

log = logging.getLogger("sender")
STARTED = time.monotonic()

OPTIONS_WITH_VALUES = ("--name", "--address", "--protocol", "--idle-after", "--seconds")


def utf8_arguments(argv: list[str]) -> list[str]:
    """The arguments as the application wrote them (UTF-8), even when the locale decoded them otherwise."""
    return [os.fsencode(word).decode("utf-8", "replace") for word in argv]


class BadArguments(Exception):
    """The arguments cannot be used; the text is the user's message."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):
        log.error("bad arguments: %s", quoted(message))
        raise BadArguments(errors.BAD_ARGUMENTS.format(detail=message[:LIMIT]))


def _parse(argv: list[str]) -> argparse.Namespace:
    parser = _Parser(
        prog="sender.py",
        description="Stream 44100 Hz 16-bit stereo PCM from standard input to an AirPlay "
                    "speaker; report progress as JSON lines on standard output.")
    parser.add_argument("--name", action="append",
                        help="the speaker's name, matched exactly; given more than once, plays to all in sync")
    parser.add_argument("--address", metavar="HOST:PORT",
                        help="connect to this RAOP address instead of browsing for the name")
    parser.add_argument("--protocol", choices=("auto", "airplay2", "raop"), default="auto",
                        help="auto: AirPlay 2 when the speaker needs or offers it (default)")
    parser.add_argument("--idle-after", type=float, default=20.0, metavar="SECONDS",
                        help="release the speaker after this much silence (default 20)")
    parser.add_argument("--list-speakers", action="store_true",
                        help="print one JSON line per AirPlay speaker heard on the network, then exit")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long --list-speakers listens (default 3)")
    # Every option takes a value; joined to its flag, a value that begins with "-" (a
    # speaker named "-Kitchen") is not taken for another option.
    joined, rest = [], list(argv)
    while rest:
        word = rest.pop(0)
        joined.append(word + "=" + rest.pop(0) if word in OPTIONS_WITH_VALUES and rest and rest[0].startswith("-")
                      else word)
    args, unknown = parser.parse_known_args(joined)
    if unknown:
        log.error("unknown option %s", quoted(unknown[0]))
        raise BadArguments(errors.UNKNOWN_OPTION.format(option=unknown[0][:LIMIT]))
    if not args.list_speakers and not args.name:
        log.error("no speaker name given")
        raise BadArguments(errors.NO_NAME)
    return args


def _address_speaker(name: str, address: str) -> discovery.Speaker:
    host, _, port = address.rpartition(":")
    return discovery.Speaker(name=name, address=host.strip("[]"), port=int(port),
                             addresses=[host.strip("[]")])


def list_speakers(seconds: float) -> int:
    """Listens for ``seconds`` counted from the worker's start, so the caller has its answer when it asked for it."""
    try:
        browser = discovery.Browser()
    except s.SpeakerNotFound:
        return 0
    try:
        for entry in discovery.listing(browser, seconds - (time.monotonic() - STARTED)):
            os.write(1, (json.dumps(entry, ensure_ascii=False) + "\n").encode("utf-8", "replace"))
    finally:
        browser.close()
    return 0


def main(argv: list[str]) -> int:
    if sys.stderr is not None:
        sys.stderr.reconfigure(encoding="utf-8", errors="backslashreplace")
    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s sender[%(process)d] %(levelname)s %(name)s: %(message)s")
    reporter = Reporter(1)
    try:
        args = _parse(utf8_arguments(argv))
    except BadArguments as exc:
        reporter.error(str(exc))
        return 2
    except SystemExit as exc:  # --help
        return int(exc.code or 0)

    def on_signal(signum, frame):
        s.STOP.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.list_speakers:
        return list_speakers(args.seconds)

    names = list(dict.fromkeys(args.name or []))  # a name given twice is one speaker
    args.name = names[0] if names else None
    log.info("starting for speaker%s %s", "s" if len(names) > 1 else "", ", ".join(map(repr, names)))
    source = PcmInput(0)
    source.start()

    def should_stop() -> bool:
        return s.STOP.is_set() or reporter.broken

    browser = None
    try:
        if len(names) > 1:
            browser = discovery.Browser()
            group = Group(names, reporter, browser, args.protocol)
            streamer = Streamer(source, lambda: group, reporter, should_stop=should_stop, idle_after=args.idle_after,
                                wait_input=source.wait)
            group.keep_alive = streamer.heartbeat.alive
            args.name = "、".join(names)
        elif args.address:
            speaker = _address_speaker(args.name, args.address)
        else:
            browser = discovery.Browser()
            speaker = discovery.find_speaker(browser, args.name, should_stop=should_stop)
        if len(names) == 1:
            policy = Yielding(reporter, args.name, browser, speaker)
            streamer = Streamer(source, lambda: policy.wrap(discovery.make_session(speaker, args.protocol)), reporter,
                                should_stop=should_stop, idle_after=args.idle_after, wait_input=source.wait)
        streamer.run()
    except s.SenderError as exc:
        if should_stop() or source.eof:
            log.info("stopped: %s", exc)
            return 0
        log.error("giving up: %s: %s", type(exc).__name__, exc)
        reporter.error(errors.message_for(exc, args.name))
        return 1
    except Exception as exc:
        log.exception("internal error")
        reporter.error(errors.message_for(exc, args.name))
        return 1
    finally:
        if browser is not None:
            browser.close()
    log.info("stopped (%s), %d bytes read", "end of input" if source.eof else "signal",
             source.bytes_in)
    return 0
