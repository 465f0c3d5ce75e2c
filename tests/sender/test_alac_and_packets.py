"""ALAC escape frames and the RTP/sync/timing/resend packet builders."""

from __future__ import annotations

import itertools
import struct
import unittest

from worker_support import decode_escape  # also puts the package on sys.path
from pyatv.airplay2 import audio_packets
from pyatv.raop import packets
from pyatv.raop.alac import encode_escape


def frames(*pairs: tuple[int, int]) -> bytes:
    return b"".join(struct.pack("<hh", l, r) for l, r in pairs)


class AlacEscapeTest(unittest.TestCase):
    def test_round_trip_through_an_independent_bit_reader(self):
        ramp = [(i * 93 - 16000, 16000 - i * 91) for i in range(352)]
        cases = {
            "extremes": [(-32768, 32767), (32767, -32768)] * 176,
            "left/right differ": ramp,
            "zeros": [(0, 0)] * 352,
            "sign bit of first sample (third byte)": [(-2, 5)] + [(0, 0)] * 351,
            "partial packet": ramp[:100],
            "single frame": [(1234, -4321)],
        }
        for label, pairs in cases.items():
            with self.subTest(label):
                pcm = frames(*pairs)
                encoded = encode_escape(pcm)
                got = decode_escape(encoded)
                if len(pairs) == 352:
                    self.assertEqual(len(encoded), 1412)
                self.assertEqual(got["pcm"], pcm)
                self.assertEqual((got["tag"], got["instance"], got["unused"], got["shift"],
                                  got["escape"]), (1, 0, 0, 0, 1))
                self.assertEqual(got["has_size"], int(len(pairs) != 352))
                self.assertEqual(got["frames"], len(pairs))
                self.assertEqual(got["end"], 0b111)
                self.assertLess(got["padding_bits"], 8)
                self.assertEqual(got["padding"], 0)

    def test_rejects_what_does_not_fit(self):
        for pcm in (bytes(1409), bytes(1412)):
            with self.assertRaises(ValueError):
                encode_escape(pcm)


class RtpTest(unittest.TestCase):
    def test_header_fields_wrap(self):
        cases = [
            (0, 0, False, b"\x80\x60\x00\x00\x00\x00\x00\x00"),
            (65535, 0xFFFFFFFF, True, b"\x80\xE0\xFF\xFF\xFF\xFF\xFF\xFF"),
            (65536, 0x100000160, False, b"\x80\x60\x00\x00\x00\x00\x01\x60"),
        ]
        for (seq, ts, marker, want), build in itertools.product(cases, (packets.rtp_header, audio_packets.rtp_header)):
            with self.subTest(seq=seq, ts=ts, build=build.__module__):
                header = build(seq, ts, 0x11223344, marker)
                self.assertEqual(header[:8], want)
                self.assertEqual(header[8:], b"\x11\x22\x33\x44")

    def test_sync_latency_across_timestamp_wrap(self):
        ntp = 0x0102030405060708
        cases = [
            (100_000, 77175, True, 0x90, 100_000 - 77175),
            (1000, 77175, False, 0x80, (1000 - 77175) & 0xFFFFFFFF),
            (0xFFFFFFFF, 1, False, 0x80, 0xFFFFFFFE),
        ]
        for next_ts, latency, first, lead, played in cases:
            with self.subTest(next_ts=next_ts):
                p = packets.sync_packet(next_ts, latency, ntp, first)
                self.assertEqual(len(p), 20)
                self.assertEqual(p[:4], bytes([lead, 0xD4, 0x00, 0x07]))
                self.assertEqual(struct.unpack(">I", p[4:8])[0], played)
                self.assertEqual(p[8:16], ntp.to_bytes(8, "big"))
                self.assertEqual(struct.unpack(">I", p[16:20])[0], next_ts & 0xFFFFFFFF)

    def test_ntp_epoch_and_fraction(self):
        self.assertEqual(packets.ntp_from_seconds(0.0), 0x83AA7E80 << 32)
        self.assertEqual(packets.ntp_from_seconds(1.5), ((0x83AA7E80 + 1) << 32) | 0x80000000)

    def test_timing_reply_echoes_the_request_transmit_time(self):
        request = b"\x80\xD2\x00\x07" + bytes(20) + b"ABCDEFGH"
        self.assertTrue(packets.is_timing_request(request))
        reply = packets.timing_reply(request, 0x1111, 0x2222)
        self.assertEqual(len(reply), 32)
        self.assertEqual(reply[:2], b"\x80\xD3")
        self.assertEqual(reply[8:16], b"ABCDEFGH")
        self.assertEqual(reply[16:24], (0x1111).to_bytes(8, "big"))
        self.assertEqual(reply[24:32], (0x2222).to_bytes(8, "big"))
        self.assertFalse(packets.is_timing_request(b"\x80\xD2\x00\x07"))

    def test_resend_request_and_reply(self):
        self.assertEqual(packets.parse_resend_request(b"\x80\xD5\x00\x01\xB1\xAA\x00\x03"),
                         (0xB1AA, 3))
        self.assertIsNone(packets.parse_resend_request(b"\x80\xD4\x00\x01\xB1\xAA\x00\x03"))
        self.assertIsNone(packets.parse_resend_request(b"\x80\xD5\x00"))
        original = packets.rtp_header(7, 9, 1) + b"payload"
        self.assertEqual(packets.resend_reply(original), b"\x80\xD6\x00\x07" + original)

    def test_backlog_keeps_the_last_packets_across_sequence_wrap(self):
        backlog = packets.Backlog(1024)
        for i in range(2000):
            backlog.put((64000 + i) & 0xFFFF, b"%d" % i)
        newest = (64000 + 1999) & 0xFFFF
        self.assertEqual(backlog.get(newest), b"1999")
        self.assertEqual(backlog.get((newest - 1023) & 0xFFFF), b"976")
        self.assertIsNone(backlog.get((newest - 1024) & 0xFFFF), "overwritten, not stale")


if __name__ == "__main__":
    unittest.main()
