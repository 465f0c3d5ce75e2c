"""The protocol-neutral streaming loop with scripted sessions."""

from __future__ import annotations

import json
import logging
import os
import struct
import threading
import time
import unittest

import worker_support  # noqa: F401
from pyatv import session as s
from pyatv.contract import Reporter
from pyatv.pcm_input import PcmInput
from pyatv.streamer import Streamer


class ScriptedSession(s.Session):
    """connect may sleep or raise; send raises ``send_error``, or Disconnected after ``drop_after`` packets."""

    def __init__(self, connect_error=None, connect_delay=0.0, drop_after=None, send_error=None):
        self.connect_error, self.connect_delay = connect_error, connect_delay
        self.drop_after, self.send_error = drop_after, send_error
        self.log, self.sent = [], 0

    def connect(self):
        self.log.append("connect")
        time.sleep(self.connect_delay)
        if self.connect_error:
            raise self.connect_error

    def send(self, pcm, when):
        assert len(pcm) == s.PACKET_BYTES
        self.sent += 1
        if self.send_error:
            raise self.send_error
        if self.drop_after is not None and self.sent > self.drop_after:
            raise s.Disconnected("dropped")

    def poll(self, now):
        pass

    def close(self):
        self.log.append("close")


def run(sessions: list[ScriptedSession], sound_s: float = 0.0, stop_after: float | None = None):
    """Runs a streamer over ``sessions`` until it ends (or ``stop_after`` seconds); returns its error and lines."""
    read_fd, write_fd = os.pipe()
    in_r, in_w = os.pipe()
    source = PcmInput(in_r)
    source.start()
    queue, stop, result = iter(sessions), threading.Event(), {}
    streamer = Streamer(source, lambda: next(queue), Reporter(write_fd), should_stop=stop.is_set,
                        idle_after=20.0, heartbeat_interval=0.2)

    def target():
        try:
            streamer.run()
        except BaseException as exc:
            result["error"] = exc
        finally:
            os.close(write_fd)

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    os.write(in_w, struct.pack("<hh", 3000, -3000) * int(44100 * sound_s))
    if stop_after is not None:
        time.sleep(stop_after)
        stop.set()
    thread.join(10)
    with os.fdopen(read_fd, "rb") as f:
        lines = [json.loads(line) for line in f]
    os.close(in_w)
    os.close(in_r)
    return result.get("error"), lines


def states(lines: list[dict]) -> list[str]:
    return [line["state"] for line in lines if line["state"] != "streaming"]


class StreamerTest(unittest.TestCase):
    def setUp(self):
        logging.disable(logging.WARNING)
        self.addCleanup(logging.disable, logging.NOTSET)

    def test_connection_failures(self):
        lost = ["ready", "playing", "reconnecting"]
        cases = [
            ("first connect refused", [ScriptedSession(s.SpeakerBusy())], s.SpeakerBusy, []),
            ("busy at reconnect stays busy", [ScriptedSession(drop_after=20), ScriptedSession(s.SpeakerBusy())],
             s.SpeakerBusy, lost),
            ("other failure at reconnect is a lost connection",
             [ScriptedSession(drop_after=20), ScriptedSession(s.Unreachable())], s.Disconnected, lost),
            ("second drop soon after reconnecting", [ScriptedSession(drop_after=20), ScriptedSession(drop_after=20)],
             s.Disconnected, lost + ["playing"]),
            ("unexpected failure", [ScriptedSession(send_error=RuntimeError("bug"))], RuntimeError, ["ready"]),
        ]
        for label, sessions, error, reported in cases:
            with self.subTest(label):
                raised, lines = run(sessions, sound_s=1.0)
                self.assertIsInstance(raised, error)
                self.assertEqual(states(lines), reported)
                for session in sessions:
                    if "connect" in session.log:
                        self.assertEqual(session.log[-1], "close", "every session released")

    def test_heartbeats_continue_through_a_slow_connect(self):
        raised, lines = run([ScriptedSession(connect_delay=1.2)], stop_after=1.5)
        self.assertIsNone(raised)
        every = [line["state"] for line in lines]
        before_ready = every[:every.index("ready")]
        self.assertGreaterEqual(len(before_ready), 4)
        self.assertEqual(set(before_ready), {"streaming"})


if __name__ == "__main__":
    unittest.main()
