"""The worker against a loopback receiver that misbehaves on request."""

from __future__ import annotations

import signal
import socket
import time
import unittest

from fake_receiver import FakeReceiver
from worker_support import Worker, decode_escape, tone
from pyatv import session as s
from pyatv.raop.session import KEEPALIVE_INTERVAL, KEEPALIVE_TIMEOUT, RaopSession

NAME = "卧室"


class FakeReceiverCase(unittest.TestCase):
    def start(self, behaviour: str = "ok", *extra: str, **kwargs) -> tuple[FakeReceiver, Worker]:
        receiver = FakeReceiver(behaviour, **kwargs)
        self.addCleanup(receiver.close)
        worker = Worker(NAME, "--address", receiver.address, *extra)
        self.addCleanup(worker.kill)
        return receiver, worker

    def test_each_failure_is_one_error_line_naming_the_cause(self):
        cases = [("busy", "正在播放其他设备的音频", "ANNOUNCE"), ("restricted", "允许扬声器和电视访问", "ANNOUNCE"),
                 ("password", "密码", "OPTIONS"), ("pairing", "配对", "OPTIONS"), ("format", "音频格式", "ANNOUNCE"),
                 ("timing520", "UDP 时钟同步端口", "SETUP"), ("mute", "没有响应", "OPTIONS")]
        for behaviour, phrase, last_method in cases:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour)
                error = worker.wait_state("error", 15)
                self.assertIn(phrase, error["message"])
                self.assertIn(NAME, error["message"])
                self.assertEqual(worker.wait(5), 1)
                self.assertEqual(worker.states(), ["error"], "nothing reported before the error")
                self.assertEqual(receiver.methods()[-1], last_method)
                self.assertNotIn("RECORD" if last_method == "SETUP" else "SETUP", receiver.methods())

    def test_nothing_listening_is_unreachable(self):
        receiver = FakeReceiver()
        receiver.close()
        worker = Worker(NAME, "--address", receiver.address)
        self.addCleanup(worker.kill)
        self.assertIn("无法连接", worker.wait_state("error", 10)["message"])
        self.assertIn(receiver.address, worker.lines[-1]["message"])

    def test_stream_reaches_receiver_intact_and_ends_with_teardown(self):
        receiver, worker = self.start()
        worker.wait_state("ready", 10)
        pcm = tone(2.0)
        worker.feed(pcm)
        worker.wait_state("playing", 5)
        worker.wait_feeding(10)
        time.sleep(0.3)
        worker.close_input()
        self.assertEqual(worker.wait(10), 0)
        self.assertEqual(receiver.methods(), ["OPTIONS", "ANNOUNCE", "SETUP", "RECORD", "TEARDOWN"])
        self.assertTrue(receiver.closed_by_client.wait(2), "TCP closed after TEARDOWN")

        _, announce_headers, sdp = receiver.requests[1]
        self.assertIn(b"a=rtpmap:96 AppleLossless", sdp)
        self.assertEqual(announce_headers["content-type"], "application/sdp")
        order = receiver.packet_order
        first = receiver.packets[order[0]]
        self.assertEqual(receiver.requests[3][1]["rtp-info"], "seq=%d;rtptime=%d" % (
            int.from_bytes(first[2:4], "big"), int.from_bytes(first[4:8], "big")))
        self.assertEqual([(a + 1) & 0xFFFF for a in order[:-1]], order[1:], "no gaps")
        stamps = [int.from_bytes(receiver.packets[q][4:8], "big") for q in order]
        self.assertTrue(all((b - a) & 0xFFFFFFFF == 352 for a, b in zip(stamps, stamps[1:])))
        self.assertEqual([receiver.packets[q][1] for q in order[:2]], [0xE0, 0x60])

        self.assertGreaterEqual(len(receiver.syncs), 2, "a sync packet about every second")
        self.assertEqual([p[0] for p in receiver.syncs], [0x90] + [0x80] * (len(receiver.syncs) - 1))
        self.assertTrue(receiver.timing_replies)
        self.assertTrue(all(r[1] == 0xD3 and len(r) == 32 for r in receiver.timing_replies))
        audio = b"".join(decode_escape(receiver.packets[q][12:])["pcm"] for q in order)
        self.assertIn(pcm[44100 * 4 // 2:44100 * 4], audio, "the tone arrives bit-exact")

        beats = worker.beats()
        self.assertTrue(beats and max(b - a for a, b in zip(beats, beats[1:])) <= 2.0)
        counts = [line["bytes_in"] for line in worker.lines if line["state"] == "streaming"]
        self.assertEqual(counts, sorted(counts))
        self.assertLessEqual(counts[-1], len(pcm))

    def test_resend_request_is_answered_with_the_original_packets(self):
        receiver, worker = self.start()
        worker.wait_state("playing", 10)
        worker.feed(tone(1.0))
        time.sleep(0.6)
        first = receiver.packet_order[10]
        receiver.request_resend(first, 3)
        time.sleep(0.3)
        self.assertEqual([r[:2] + r[4:] for r in receiver.resent],
                         [b"\x80\xD6" + receiver.packets[(first + i) & 0xFFFF] for i in range(3)])

    def test_missing_timing_requests_are_logged_and_sigterm_releases_the_speaker(self):
        receiver, worker = self.start("no_timing")
        worker.wait_state("playing", 10)
        self.assertIn("has not asked for timing", worker.log())
        worker.proc.send_signal(signal.SIGTERM)
        self.assertEqual(worker.wait(5), 0)
        self.assertEqual(receiver.methods()[-1], "TEARDOWN")

    def test_connection_loss(self):
        # (behaviour, connections, reconnects successfully)
        for behaviour, connections, recovers in [("drop_once", 2, True), ("vanish", 1, False),
                                                 ("drop_always", 2, False)]:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour, drop_after=60)
                worker.wait_state("playing", 10)
                worker.wait_state("reconnecting", 10)
                if recovers:
                    worker.wait_state("playing", 10)
                    worker.close_input()
                    self.assertEqual(worker.wait(5), 0)
                else:
                    self.assertIn("连接已断开", worker.wait_state("error", 15)["message"])
                    self.assertEqual(worker.wait(5), 1)
                self.assertEqual(receiver.connections, connections)

    def test_silence_releases_speaker_and_sound_takes_it_again(self):
        receiver, worker = self.start("ok", "--idle-after", "1.5")
        worker.wait_state("ready", 10)
        worker.feed(b"", then_silence=True)
        worker.wait_state("idle", 5)
        self.assertEqual(receiver.methods()[-1], "TEARDOWN")
        self.assertTrue(receiver.closed_by_client.wait(2))
        idle_at = time.monotonic()
        time.sleep(2.5)
        self.assertGreaterEqual(len(worker.beats(after=idle_at)), 1, "heartbeats continue while idle")
        worker.stop_feeding()
        worker.feed(tone(3.0))
        worker.wait_state("reconnecting", 3)
        worker.wait_state("playing", 10)
        self.assertEqual(receiver.connections, 2)
        self.assertEqual(worker.states()[:5], ["ready", "playing", "idle", "reconnecting", "playing"])


class KeepAliveTest(unittest.TestCase):
    """The session's keep-alive, driven in-process with a shifted clock."""

    def test_keepalive_answers(self):
        for behaviour in ("ok", "ka501", "ka_mute", "closed"):
            with self.subTest(behaviour):
                receiver = FakeReceiver("ok" if behaviour == "closed" else behaviour)
                self.addCleanup(receiver.close)
                session = RaopSession("127.0.0.1", receiver.port, timeout=2.0)
                self.addCleanup(session.close)
                session.connect()
                if behaviour == "closed":
                    receiver.drop()
                    time.sleep(0.1)
                    self.assertRaises(s.Disconnected, session.poll, time.monotonic())
                    continue
                later = time.monotonic() + KEEPALIVE_INTERVAL + 0.1
                session.poll(later)
                time.sleep(0.3)
                if behaviour == "ka_mute":
                    session.poll(later + KEEPALIVE_TIMEOUT - 1)
                    self.assertRaises(s.NoResponse, session.poll, later + KEEPALIVE_TIMEOUT + 1)
                    continue
                session.poll(later + 1)
                self.assertEqual((receiver.methods().count("OPTIONS"), session.rtsp.outstanding()), (2, 0),
                                 "answered, and one per interval")


if __name__ == "__main__":
    unittest.main()
