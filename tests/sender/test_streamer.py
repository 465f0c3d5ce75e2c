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
    """Follows a script of outcomes: connect may raise or sleep; send may raise after n."""

    def __init__(self, log: list, connect_error=None, connect_delay=0.0, drop_after=None,
                 send_error=None):
        self.log = log
        self.send_error = send_error
        self.connect_error = connect_error
        self.connect_delay = connect_delay
        self.drop_after = drop_after
        self.sent = 0

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


class Run:
    def __init__(self, sessions: list[ScriptedSession], idle_after: float = 20.0) -> None:
        self.read_fd, write_fd = os.pipe()
        self.in_r, self.in_w = os.pipe()
        self.source = PcmInput(self.in_r)
        self.source.start()
        self.stop = False
        queue = iter(sessions)
        self.streamer = Streamer(self.source, lambda: next(queue), Reporter(write_fd),
                                 should_stop=lambda: self.stop, idle_after=idle_after,
                                 heartbeat_interval=0.2)
        self.error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        self.write_fd = write_fd

    def _run(self) -> None:
        try:
            self.streamer.run()
        except BaseException as exc:
            self.error = exc
        finally:
            os.close(self.write_fd)

    def sound(self, seconds: float) -> None:
        os.write(self.in_w, struct.pack("<hh", 3000, -3000) * int(44100 * seconds))

    def finish(self, timeout: float = 10) -> list[dict]:
        self.thread.join(timeout)
        with os.fdopen(self.read_fd, "rb") as f:
            lines = [json.loads(line) for line in f]
        os.close(self.in_w)
        os.close(self.in_r)
        return lines


def states(lines: list[dict]) -> list[str]:
    return [line["state"] for line in lines if line["state"] != "streaming"]


class StreamerTest(unittest.TestCase):
    def setUp(self):
        logging.disable(logging.WARNING)
        self.addCleanup(logging.disable, logging.NOTSET)

    def test_connection_failures(self):
        cases = [
            ("first connect refused", [ScriptedSession([], s.SpeakerBusy())],
             s.SpeakerBusy, []),
            ("busy at reconnect stays busy",
             [ScriptedSession([], drop_after=20), ScriptedSession([], s.SpeakerBusy())],
             s.SpeakerBusy, ["ready", "playing", "reconnecting"]),
            ("other failure at reconnect is a lost connection",
             [ScriptedSession([], drop_after=20), ScriptedSession([], s.Unreachable())],
             s.Disconnected, ["ready", "playing", "reconnecting"]),
            ("second drop soon after reconnecting",
             [ScriptedSession([], drop_after=20), ScriptedSession([], drop_after=20)],
             s.Disconnected, ["ready", "playing", "reconnecting", "playing"]),
            ("unexpected failure", [ScriptedSession([], send_error=RuntimeError("bug"))],
             RuntimeError, ["ready"]),
        ]
        for label, sessions, error, reported in cases:
            with self.subTest(label):
                run = Run(sessions)
                run.sound(1.0)
                lines = run.finish()
                self.assertIsInstance(run.error, error)
                self.assertEqual(states(lines), reported)
                for session in sessions:
                    if "connect" in session.log:
                        self.assertEqual(session.log[-1], "close", "every session released")

    def test_heartbeats_continue_through_a_slow_connect(self):
        run = Run([ScriptedSession([], connect_delay=1.2)])
        time.sleep(1.5)
        run.stop = True
        lines = run.finish()
        self.assertIsNone(run.error)
        before_ready = lines[:[line["state"] for line in lines].index("ready")]
        self.assertGreaterEqual(len(before_ready), 4)
        self.assertTrue(all(line["state"] == "streaming" for line in before_ready))


if __name__ == "__main__":
    unittest.main()
