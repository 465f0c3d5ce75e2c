"""Worker pieces in-process: ALAC escape frames, RAOP packets, RTSP replies, names and capabilities, messages,
the JSON lines, the input buffer, the packet schedule and the streaming loop over scripted sessions."""

import json
import os
import struct
import threading
import time
import unittest

from worker_support import decode_escape
from pyatv import discovery, errors, session as s
from pyatv.contract import Reporter
from pyatv.pacing import Pacer
from pyatv.pcm_input import PcmInput, is_silent
from pyatv.raop import packets
from pyatv.raop.alac import encode_escape
from pyatv.raop.txt import check_capabilities
from pyatv.rtsp import ResponseParser, RtspMalformed
from pyatv.streamer import Streamer


def frames(*pairs) -> bytes:
    return b"".join(struct.pack("<hh", left, right) for left, right in pairs)


class PacketTest(unittest.TestCase):
    def test_alac_escape_frames(self):
        self.assertEqual(encode_escape(frames((1, -2), (0x1234, 0x7FFF))).hex(),
                         "200012000000040003fffc2468ffffc0", "partial frame: has-size, count, end tag, padding")
        ramp = [(i * 93 - 16000, 16000 - i * 91) for i in range(352)]
        for pairs in (ramp, [(-32768, 32767)] * 352, ramp[:100]):
            got = decode_escape(encode_escape(frames(*pairs)))
            self.assertEqual((got["pcm"], got["frames"], got["has_size"]), (frames(*pairs), len(pairs), len(pairs) < 352))
            self.assertEqual([got[k] for k in ("tag", "instance", "unused", "shift", "escape", "end", "padding")],
                             [1, 0, 0, 0, 1, 7, 0])
        for pcm in (bytes(1409), bytes(1412)):
            self.assertRaises(ValueError, encode_escape, pcm)

    def test_rtp_sync_timing_and_resend(self):
        self.assertEqual(packets.rtp_header(65536, 0x100000160, 0x11223344, False).hex(), "806000000000016011223344")
        self.assertEqual(packets.rtp_header(65535, 0xFFFFFFFF, 1, True).hex(), "80e0ffffffffffff00000001")
        ntp = 0x0102030405060708
        self.assertEqual(packets.sync_packet(100_000, 77175, ntp, True).hex(), "90d4000700005929" "0102030405060708"
                         "000186a0")
        self.assertEqual(packets.sync_packet(1000, 77175, ntp, False)[:8].hex(), "80d40007fffed671")
        self.assertEqual(packets.ntp_from_seconds(1.5), ((0x83AA7E80 + 1) << 32) | 0x80000000)
        self.assertEqual(packets.timing_reply(b"\x80\xD2\x00\x07" + bytes(20) + b"ABCDEFGH", 0x1111, 0x2222).hex(),
                         "80d3000700000000" + b"ABCDEFGH".hex() + "%016x%016x" % (0x1111, 0x2222))
        self.assertEqual(packets.parse_resend_request(b"\x80\xD5\x00\x01\xB1\xAA\x00\x03"), (0xB1AA, 3))
        self.assertIsNone(packets.parse_resend_request(b"\x80\xD4\x00\x01\xB1\xAA\x00\x03"))

    def test_rtsp_replies(self):
        for raw, status, cseq in [(b"RTSP/1.0 453 Unauthorized\r\nCSeq: 4\r\n\r\n", 453, 4),
                                  (b"RTSP/1.0 400 Bad Request\r\n\r\n", 400, None),
                                  (b"RTSP/1.0 520 Origin Error\nCSEQ:   12  \n\n", 520, 12)]:
            (response,) = ResponseParser().feed(raw)
            self.assertEqual((response.status, response.cseq), (status, cseq))
        raw = b"RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 10\r\n\r\n0123456789RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n"
        parser = ResponseParser()
        got = [r for i in range(len(raw)) for r in parser.feed(raw[i:i + 1])]
        self.assertEqual([(r.cseq, r.body) for r in got], [(1, b"0123456789"), (2, b"")])
        for raw in (b"hello there\r\n\r\n", b"RTSP/1.0 abc\r\n\r\n", b"RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n"):
            self.assertRaises(RtspMalformed, ResponseParser().feed, raw)


class SpeakerTest(unittest.TestCase):
    def test_names_addresses_and_os_warning(self):
        for label, name in [("749E19CA5C6A@卧室", "卧室"), ("AABBCCDDEEFF@Tom@Home", "Tom@Home"), ("NoPrefix", "NoPrefix")]:
            self.assertEqual(discovery.speaker_name(label), name)
        for addresses, want in [(["fe80::1%2", "10.77.0.2"], "10.77.0.2"), (["2001:db8::5", "fe80::1"], "2001:db8::5"),
                                (["169.254.3.3", "fe80::1", "192.168.1.9"], "192.168.1.9"), ([], None)]:
            self.assertEqual(discovery.pick_address(addresses), want)
        for txt, warns in [({"osvers": "27.0", "model": "AudioAccessory5,1"}, True), ({"osvers": "26.6"}, False),
                           ({"osvers": "junk"}, False), (None, False)]:
            speaker = discovery.Speaker("卧室", "10.0.0.2", 7000, airplay_txt=txt)
            self.assertEqual(discovery.os_warning(speaker) is not None, warns, txt)

    def test_capabilities(self):
        for txt, error in [({"sf": "0x4", "et": "0,1", "cn": "0,1", "tp": "TCP,UDP"}, None), ({}, None),
                           ({"tp": "TCP"}, s.UnsupportedSpeaker), ({"et": "3,5"}, s.UnsupportedSpeaker),
                           ({"sr": "48000"}, s.FormatRefused), ({"cn": "0,2"}, s.FormatRefused),
                           ({"pw": "true"}, s.PasswordRequired), ({"sf": "0x84"}, s.PasswordRequired),
                           ({"sf": "0x8"}, s.PairingRequired), ({"sf": "0x204"}, s.PairingRequired), ({"sf": "zz"}, None)]:
            if error is None:
                check_capabilities(txt)
            else:
                self.assertRaises(error, check_capabilities, txt)

    def test_every_cause_has_its_own_message_naming_the_speaker(self):
        causes = [c for c in vars(s).values() if isinstance(c, type) and issubclass(c, s.SenderError)
                  and c is not s.SenderError]
        texts = {errors.message_for(cause("x", address="1.2.3.4:5", status=451), "卧室") for cause in causes}
        self.assertEqual(len(texts), len(causes))
        self.assertTrue(all("卧室" in t and not t.endswith("。") and "{" not in t for t in texts))
        self.assertIn("1.2.3.4:5", errors.message_for(s.Unreachable(address="1.2.3.4:5"), "a"))
        self.assertIn("发送器内部错误", errors.message_for(KeyError("k"), "卧室"))

    def test_state_lines_are_one_utf8_json_object_each(self):
        read_fd, write_fd = os.pipe()
        Reporter(write_fd).error("“卧室”\n/\"")
        os.close(write_fd)
        with os.fdopen(read_fd, "rb") as f:
            self.assertEqual(f.read(), '{"state": "error", "message": "“卧室”\\n/\\""}\n'.encode())


class SimClock:
    def __init__(self):
        self.t, self.slept = 0.0, []

    def __call__(self):
        return self.t

    def sleep(self, seconds):
        self.slept.append(seconds)
        self.t += seconds


class ScheduleTest(unittest.TestCase):
    def test_input_buffer(self):
        source = PcmInput(None, clock=SimClock(), prime_s=0.05, target_s=0.1, high_s=0.3)
        source.streaming = True
        source.feed(frames((1000, -1000)) * 13231)        # one frame over 0.3 s: back to 0.1 s
        self.assertEqual(source.dropped_frames, 13231 - 4410)
        self.assertEqual([source.take() for _ in range(12)][-1][:8], frames((1000, -1000)) * 2)
        self.assertEqual((source.take()[:4 * 186], source.padded_frames), (frames((1000, -1000)) * 186, 352 - 186))
        data = b"".join(struct.pack("<hh", i, -i) for i in range(3000))
        for i in range(0, len(data), 333):
            source.feed(data[i:i + 333])
        self.assertEqual(b"".join(source.take() for _ in range(8)), data[:8 * s.PACKET_BYTES], "frames stay aligned")
        for chunk, silent in [(bytes(4000), True), (frames((1, -1)) * 9, True), (frames((2, 0)), False),
                              (bytes(3999) + b"\x40", False)]:
            self.assertEqual(is_silent(chunk), silent, chunk[:8])

    def test_pacer(self):
        clock = SimClock()
        pacer = Pacer(clock=clock, sleep=clock.sleep, period=0.01, max_burst=3, reset_after=0.5)
        dues = [pacer.wait_next()[0] for _ in range(3)]
        clock.t += 0.1                                      # a stall of ten periods: bounded catch-up
        dues += [pacer.wait_next()[0] for _ in range(12)]
        self.assertEqual([round(d / 0.01) for d in dues], list(range(15)))
        self.assertTrue(any(0 < slept < 0.01 for slept in clock.slept), "pauses between bursts")
        self.assertIsNone(pacer.wait_next(max_wait=0.001))
        clock.t += 2.0                                      # a long stall restarts the schedule
        self.assertEqual((pacer.wait_next(), pacer.resets), ((clock.t, True), 1))


class ScriptedSession(s.Session):
    """connect may sleep or raise; send raises ``send_error``, or Disconnected after ``drop_after`` packets."""

    def __init__(self, connect_error=None, connect_delay=0.0, drop_after=None, send_error=None):
        self.connect_error, self.connect_delay, self.send_error = connect_error, connect_delay, send_error
        self.drop_after, self.log, self.whens = drop_after, [], []

    def connect(self):
        self.log.append("connect")
        time.sleep(self.connect_delay)
        if self.connect_error:
            raise self.connect_error

    def send(self, pcm, when):
        assert len(pcm) == s.PACKET_BYTES
        self.whens.append(when)
        if self.send_error or (self.drop_after is not None and len(self.whens) > self.drop_after):
            raise self.send_error or s.Disconnected("dropped")

    def poll(self, now):
        pass

    def close(self):
        self.log.append("close")


def run(sessions, sound_s=0.0, stop_after=20, **options):
    """Runs a streamer over ``sessions`` until it ends (or ``stop_after`` s); returns what it raised and its states."""
    (read_fd, write_fd), (in_r, in_w) = os.pipe(), os.pipe()
    source = PcmInput(in_r, clock=options.get("clock", time.monotonic))
    source.start()
    queue, stopped, raised = iter(sessions), threading.Event(), [None]
    streamer = Streamer(source, lambda: next(queue), Reporter(write_fd), heartbeat_interval=0.2,
                        should_stop=options.pop("stop", stopped.is_set), **options)

    def target():
        try:
            streamer.run()
        except BaseException as exc:
            raised[0] = exc
        finally:
            os.close(write_fd)
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    os.write(in_w, frames((3000, -3000)) * int(44100 * sound_s))
    thread.join(stop_after)
    stopped.set()
    thread.join(10)
    with os.fdopen(read_fd, "rb") as f:
        lines = [json.loads(line)["state"] for line in f]
    os.close(in_w)
    return raised[0], lines


class StreamerTest(unittest.TestCase):
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
                self.assertEqual([line for line in lines if line != "streaming"], reported)
                self.assertTrue(all(x.log[-1:] == ["close"] for x in sessions if x.log), "every session released")

    def test_heartbeats_continue_through_a_slow_connect(self):
        raised, lines = run([ScriptedSession(connect_delay=1.2)], stop_after=1.5)
        self.assertIsNone(raised)
        self.assertGreaterEqual(lines.index("ready"), 4)
        self.assertEqual(set(lines[:lines.index("ready")]), {"streaming"})

    def test_packets_every_352_frames_until_exactly_idle_after_of_silence(self):
        clock, session = SimClock(), ScriptedSession()
        raised, lines = run([session], clock=clock, sleep=clock.sleep, idle_after=10 * (352 / 44100),
                            stop=lambda: "close" in session.log or clock.t > 5)
        self.assertIsNone(raised)
        self.assertEqual(session.whens, [i * (352 / 44100) for i in range(10)])
        self.assertEqual([line for line in lines if line != "streaming"], ["ready", "playing", "idle"])


if __name__ == "__main__":
    unittest.main()
