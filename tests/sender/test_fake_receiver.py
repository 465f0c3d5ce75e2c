"""The worker against a loopback RAOP receiver that misbehaves on request."""

import signal
import time
import unittest

from fake_receiver import FakeReceiver
from worker_support import Worker, decode_escape, tone
from pyatv import session as s
from pyatv.raop.session import KEEPALIVE_INTERVAL, KEEPALIVE_TIMEOUT, RaopSession

NAME = "卧室"


class FakeReceiverCase(unittest.TestCase):
    def start(self, behaviour="ok", *extra, **kwargs):
        receiver = FakeReceiver(behaviour, **kwargs)
        self.addCleanup(receiver.close)
        if behaviour == "closed":
            receiver.close()
        worker = Worker(NAME, "--address", receiver.address, *extra)
        self.addCleanup(worker.kill)
        return receiver, worker

    def test_each_failure_is_one_error_line_naming_the_cause(self):
        for behaviour, phrase, last_method in [
                ("busy", "正在播放其他设备的音频", "ANNOUNCE"), ("restricted", "允许扬声器和电视访问", "ANNOUNCE"),
                ("password", "密码", "OPTIONS"), ("pairing", "配对", "OPTIONS"), ("format", "音频格式", "ANNOUNCE"),
                ("timing520", "UDP 时钟同步端口", "SETUP"), ("mute", "没有响应", "OPTIONS"), ("closed", "无法连接", None)]:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour)
                message = worker.wait_state("error", 15)["message"]
                self.assertTrue(phrase in message and NAME in message, message)
                self.assertEqual((worker.wait(5), worker.states()), (1, ["error"]), "nothing reported before")
                self.assertEqual((receiver.methods() or [None])[-1], last_method)
                self.assertNotIn("RECORD" if last_method == "SETUP" else "SETUP", receiver.methods())

    def test_stream_arrives_intact_resends_on_request_and_ends_with_teardown(self):
        receiver, worker = self.start()
        worker.wait_state("ready", 10)
        pcm = tone(2.0)
        worker.feed(pcm)
        worker.wait_state("playing", 5)
        time.sleep(0.6)
        first = receiver.packet_order[10]
        receiver.request_resend(first, 3)
        worker.wait_feeding(10)
        time.sleep(0.3)
        worker.close_input()
        self.assertEqual(worker.wait(10), 0)
        self.assertEqual(receiver.methods(), ["OPTIONS", "ANNOUNCE", "SETUP", "RECORD", "TEARDOWN"])
        self.assertTrue(receiver.closed_by_client.wait(2), "TCP closed after TEARDOWN")
        self.assertEqual([r[:2] + r[4:] for r in receiver.resent],
                         [b"\x80\xD6" + receiver.packets[(first + i) & 0xFFFF] for i in range(3)])
        order = receiver.packet_order
        self.assertEqual([(a + 1) & 0xFFFF for a in order[:-1]], order[1:], "no gaps")
        stamps = [int.from_bytes(receiver.packets[q][4:8], "big") for q in order]
        self.assertTrue(all((b - a) & 0xFFFFFFFF == 352 for a, b in zip(stamps, stamps[1:])))
        self.assertEqual(receiver.requests[3][1]["rtp-info"], "seq=%d;rtptime=%d" % (order[0], stamps[0]))
        self.assertEqual([receiver.packets[q][1] for q in order[:2]], [0xE0, 0x60])
        self.assertEqual([p[0] for p in receiver.syncs], [0x90] + [0x80] * (len(receiver.syncs) - 1))
        self.assertGreaterEqual(len(receiver.syncs), 2, "a sync packet about every second")
        self.assertTrue(receiver.timing_replies and all(r[1] == 0xD3 and len(r) == 32 for r in receiver.timing_replies))
        audio = b"".join(decode_escape(receiver.packets[q][12:])["pcm"] for q in order)
        self.assertIn(pcm[44100 * 4 // 2:44100 * 4], audio, "the tone arrives bit-exact")
        beats = worker.beats()
        self.assertTrue(beats and max(b - a for a, b in zip(beats, beats[1:])) <= 2.0)

    def test_missing_timing_requests_are_logged_and_sigterm_releases_the_speaker(self):
        receiver, worker = self.start("no_timing")
        worker.wait_state("playing", 10)
        self.assertIn("has not asked for timing", worker.log())
        worker.proc.send_signal(signal.SIGTERM)
        self.assertEqual(worker.wait(5), 0)
        self.assertEqual(receiver.methods()[-1], "TEARDOWN")

    def test_connection_loss(self):
        for behaviour, connections, recovers in [("drop_once", 2, True), ("vanish", 1, False),
                                                 ("drop_always", 2, False)]:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour, drop_after=60)
                worker.wait_state("playing", 10)
                worker.wait_state("reconnecting", 10)
                if recovers:
                    worker.wait_state("playing", 10)
                    worker.close_input()
                else:
                    self.assertIn("连接已断开", worker.wait_state("error", 15)["message"])
                self.assertEqual((worker.wait(5), receiver.connections), (0 if recovers else 1, connections))

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

    def test_keepalive_answers(self):
        """The session's keep-alive, driven in-process with a shifted clock."""
        for behaviour in ("ok", "ka501", "ka_mute", "closed"):
            with self.subTest(behaviour):
                receiver = FakeReceiver("ok" if behaviour == "closed" else behaviour)
                self.addCleanup(receiver.close)
                session = RaopSession("127.0.0.1", receiver.port, timeout=2.0)
                self.addCleanup(session.close)
                session.connect()
                later = time.monotonic() + KEEPALIVE_INTERVAL + 0.1
                if behaviour == "closed":
                    receiver.drop()
                    time.sleep(0.1)
                    self.assertRaises(s.Disconnected, session.poll, time.monotonic())
                elif behaviour == "ka_mute":
                    session.poll(later)
                    session.poll(later + KEEPALIVE_TIMEOUT - 1)
                    self.assertRaises(s.NoResponse, session.poll, later + KEEPALIVE_TIMEOUT + 1)
                else:
                    session.poll(later)
                    time.sleep(0.3)
                    session.poll(later + 1)
                    self.assertEqual((receiver.methods().count("OPTIONS"), session.rtsp.outstanding()), (2, 0),
                                     "answered, and one per interval")


if __name__ == "__main__":
    unittest.main()
