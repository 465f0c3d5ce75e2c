"""The worker against a loopback receiver that misbehaves on request."""

from __future__ import annotations

import signal
import time
import unittest

from fake_receiver import FakeReceiver
from worker_support import Worker, decode_escape, silence, tone
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


class RefusalTest(FakeReceiverCase):
    def test_each_refusal_is_one_error_line_naming_the_cause(self):
        cases = [
            ("busy", "正在播放其他设备的音频", "ANNOUNCE"),
            ("restricted", "允许扬声器和电视访问", "ANNOUNCE"),
            ("password", "密码", "OPTIONS"),
            ("pairing", "配对", "OPTIONS"),
            ("format", "音频格式", "ANNOUNCE"),
            ("timing520", "UDP 时钟同步端口", "SETUP"),
        ]
        for behaviour, phrase, last_method in cases:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour)
                error = worker.wait_state("error", 10)
                self.assertIn(phrase, error["message"])
                self.assertIn(NAME, error["message"])
                self.assertEqual(worker.wait(5), 1)
                self.assertEqual(worker.states(), ["error"], "nothing reported before the error")
                self.assertEqual(receiver.methods()[-1], last_method)
                self.assertNotIn("SETUP" if last_method != "SETUP" else "RECORD",
                                 receiver.methods())

    def test_unanswered_request_is_reported_as_no_response(self):
        _, worker = self.start("mute")
        error = worker.wait_state("error", 15)
        self.assertIn("没有响应", error["message"])
        self.assertEqual(worker.wait(5), 1)

    def test_nothing_listening_is_unreachable(self):
        receiver = FakeReceiver()
        address = receiver.address
        receiver.close()
        worker = Worker(NAME, "--address", address)
        self.addCleanup(worker.kill)
        error = worker.wait_state("error", 10)
        self.assertIn("无法连接", error["message"])
        self.assertIn(address, error["message"])


class StreamingTest(FakeReceiverCase):
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
        self.assertEqual(receiver.methods(),
                         ["OPTIONS", "ANNOUNCE", "SETUP", "RECORD", "TEARDOWN"])
        self.assertTrue(receiver.closed_by_client.wait(2), "TCP closed after TEARDOWN")

        announce = receiver.requests[1]
        self.assertIn(b"a=rtpmap:96 AppleLossless", announce[2])
        self.assertEqual(announce[1]["content-type"], "application/sdp")
        record = receiver.requests[3][1]
        first = receiver.packets[receiver.packet_order[0]]
        self.assertEqual(record["rtp-info"], "seq=%d;rtptime=%d" % (
            int.from_bytes(first[2:4], "big"), int.from_bytes(first[4:8], "big")))

        order = receiver.packet_order
        self.assertEqual([(a + 1) & 0xFFFF for a in order[:-1]], order[1:], "no gaps")
        stamps = [int.from_bytes(receiver.packets[q][4:8], "big") for q in order]
        self.assertTrue(all((b - a) & 0xFFFFFFFF == 352 for a, b in zip(stamps, stamps[1:])))
        self.assertEqual([receiver.packets[q][1] for q in order[:2]], [0xE0, 0x60])

        self.assertEqual(receiver.syncs[0][0], 0x90)
        self.assertTrue(all(p[0] == 0x80 for p in receiver.syncs[1:]))
        self.assertGreaterEqual(len(receiver.syncs), 2, "a sync packet about every second")
        self.assertTrue(receiver.timing_replies)
        self.assertTrue(all(r[1] == 0xD3 and len(r) == 32 for r in receiver.timing_replies))

        audio = b"".join(decode_escape(receiver.packets[q][12:])["pcm"] for q in order)
        self.assertIn(pcm[44100 * 4 // 2:44100 * 4], audio, "the tone arrives bit-exact")

        beats = [t for line, t in zip(worker.lines, worker.times)
                 if line["state"] == "streaming"]
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
        self.assertEqual(len(receiver.resent), 3)
        for i, reply in enumerate(receiver.resent):
            self.assertEqual(reply[:2], b"\x80\xD6")
            self.assertEqual(reply[4:], receiver.packets[(first + i) & 0xFFFF])

    def test_sigterm_releases_the_speaker_and_exits_cleanly(self):
        receiver, worker = self.start()
        worker.wait_state("playing", 10)
        worker.proc.send_signal(signal.SIGTERM)
        self.assertEqual(worker.wait(5), 0)
        self.assertEqual(receiver.methods()[-1], "TEARDOWN")

    def test_missing_timing_requests_are_logged_and_streaming_goes_on(self):
        _, worker = self.start("no_timing")
        worker.wait_state("playing", 10)
        self.assertIn("has not asked for timing", worker.log())


class ConnectionLossTest(FakeReceiverCase):
    def test_one_drop_reconnects_and_plays_again(self):
        receiver, worker = self.start("drop_once", drop_after=60)
        worker.wait_state("playing", 10)
        worker.wait_state("reconnecting", 5)
        worker.wait_state("playing", 10)
        self.assertEqual(receiver.connections, 2)
        worker.close_input()
        self.assertEqual(worker.wait(5), 0)

    def test_lost_for_good_after_one_reconnect_attempt(self):
        cases = [("vanish", 1), ("drop_always", 2)]
        for behaviour, connections in cases:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour, drop_after=60)
                worker.wait_state("reconnecting", 10)
                error = worker.wait_state("error", 15)
                self.assertIn("连接已断开", error["message"])
                self.assertEqual(worker.wait(5), 1)
                self.assertEqual(receiver.connections, connections)


class KeepAliveTest(unittest.TestCase):
    """The session's keep-alive, driven in-process with a shifted clock."""

    def session(self, behaviour: str) -> tuple[FakeReceiver, RaopSession]:
        receiver = FakeReceiver(behaviour)
        self.addCleanup(receiver.close)
        session = RaopSession("127.0.0.1", receiver.port, timeout=2.0)
        self.addCleanup(session.close)
        session.connect()
        return receiver, session

    def poll_until_answered(self, session: RaopSession, now: float) -> None:
        deadline = time.monotonic() + 2
        while session.rtsp.outstanding() and time.monotonic() < deadline:
            time.sleep(0.02)
            session.poll(now)

    def test_keepalive_answers(self):
        for behaviour in ("ok", "ka501"):
            with self.subTest(behaviour):
                receiver, session = self.session(behaviour)
                later = time.monotonic() + KEEPALIVE_INTERVAL + 0.1
                session.poll(later)
                self.poll_until_answered(session, later)
                self.assertEqual(receiver.methods()[-1], "OPTIONS")
                self.assertEqual(session.rtsp.outstanding(), 0)
                session.poll(later + 1)
                self.assertEqual(receiver.methods().count("OPTIONS"), 2, "one per interval")

    def test_unanswered_keepalive_is_no_response(self):
        _, session = self.session("ka_mute")
        later = time.monotonic() + KEEPALIVE_INTERVAL + 0.1
        session.poll(later)
        time.sleep(0.2)
        session.poll(later + KEEPALIVE_TIMEOUT - 1)
        with self.assertRaises(s.NoResponse):
            session.poll(later + KEEPALIVE_TIMEOUT + 1)

    def test_closed_connection_is_seen_between_packets(self):
        receiver, session = self.session("ok")
        receiver._conn.shutdown(2)
        time.sleep(0.1)
        with self.assertRaises(s.Disconnected):
            session.poll(time.monotonic())


class IdleTest(FakeReceiverCase):
    def test_silence_releases_speaker_and_sound_takes_it_again(self):
        receiver, worker = self.start("ok", "--idle-after", "1.5")
        worker.wait_state("ready", 10)
        worker.feed(silence(0.0), then_silence=True)
        worker.wait_state("idle", 5)
        self.assertEqual(receiver.methods()[-1], "TEARDOWN")
        self.assertTrue(receiver.closed_by_client.wait(2))
        idle_at = time.monotonic()
        time.sleep(2.5)
        beats = [t for line, t in zip(worker.lines, worker.times)
                 if line["state"] == "streaming" and t > idle_at]
        self.assertGreaterEqual(len(beats), 1, "heartbeats continue while idle")
        worker.stop_feeding()
        worker.feed(tone(3.0))
        worker.wait_state("reconnecting", 3)
        worker.wait_state("playing", 10)
        self.assertEqual(receiver.connections, 2)
        self.assertEqual(worker.states()[:5],
                         ["ready", "playing", "idle", "reconnecting", "playing"])


if __name__ == "__main__":
    unittest.main()
