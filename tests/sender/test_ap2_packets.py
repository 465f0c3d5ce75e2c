"""Byte layouts the receiver parses: plist bodies, encrypted audio packets, gPTP messages, 0xD7 announces."""

import os
import plistlib
import struct
import unittest

import worker_support  # noqa: F401  (puts the package on the path)

from cryptography.exceptions import InvalidTag
from pyatv.airplay2 import audio_packets, binary_plist
from pyatv.ptp import messages, time_announce


class PlistTest(unittest.TestCase):
    def test_clock_id_above_2_63_is_an_8_byte_signed_integer(self):
        for clock_id in ((1 << 63) - 1, 1 << 63, 0xF0E1D2C3B4A59687, (1 << 64) - 1):
            with self.subTest(clock_id=hex(clock_id)):
                value = binary_plist.clock_id_to_plist(clock_id)
                body = binary_plist.encode({"ClockID": value})
                self.assertIn(b"\x13" + value.to_bytes(8, "big", signed=True), body)
                self.assertEqual(binary_plist.clock_id_from_plist(binary_plist.decode(body)["ClockID"]), clock_id)

    def test_stream_ports_are_read_by_key(self):
        cases = [
            ("controlPort first", [("type", 96), ("controlPort", 6001), ("dataPort", 6000)], (6000, 6001, 0)),
            ("dataPort first", [("dataPort", 6000), ("controlPort", 6001), ("type", 96)], (6000, 6001, 0)),
            ("HomePod latency", [("controlPort", 1), ("dataPort", 2), ("arrivalToRenderLatencyMs", 280)],
             (2, 1, 280)),
        ]
        for name, fields, expected in cases:
            with self.subTest(name):
                body = plistlib.dumps({"streams": [dict(fields)]}, fmt=plistlib.FMT_BINARY, sort_keys=False)
                self.assertEqual(tuple(binary_plist.stream_ports(binary_plist.decode(body))), expected)

    def test_unusable_replies(self):
        self.assertEqual(binary_plist.decode(b""), {})
        self.assertRaises(binary_plist.PlistError, binary_plist.decode, b"bplist00\x00garbage")
        for reply in ({}, {"streams": []}, {"streams": [{"dataPort": 6000}]},
                      {"streams": [{"dataPort": 0, "controlPort": 1}]}, {"streams": [{"dataPort": "x", "controlPort": 1}]}):
            with self.subTest(reply=reply), self.assertRaises(binary_plist.PlistError):
                binary_plist.stream_ports(reply)


class AudioPacketTest(unittest.TestCase):
    def test_sealed_packet_layout_and_aad(self):
        key = os.urandom(32)
        sealer = audio_packets.AudioSealer(key)
        payload = os.urandom(1412)
        header = audio_packets.rtp_header(7, 1000, 0xABCDEF01, False)
        packet = sealer.seal(header, payload)
        self.assertEqual(len(packet), 12 + 1412 + 16 + 8)
        self.assertEqual(packet[:12], header)
        self.assertEqual(audio_packets.open_packet(key, packet)[1], payload)
        # The sequence number is outside the AAD; timestamp and SSRC are inside it.
        resequenced = packet[:2] + b"\x99\x99" + packet[4:]
        self.assertEqual(audio_packets.open_packet(key, resequenced)[1], payload)
        for offset in (4, 8, 11):
            with self.subTest(offset=offset), self.assertRaises(InvalidTag):
                audio_packets.open_packet(key, packet[:offset] + bytes([packet[offset] ^ 1]) + packet[offset + 1:])

    def test_nonce_never_repeats_across_sequence_wrap(self):
        sealer = audio_packets.AudioSealer(bytes(32), first_counter=65530)
        counters = [struct.unpack("<Q", sealer.seal(audio_packets.rtp_header(i, i * 352, 0, False), bytes(8))[-8:])[0]
                    for i in range(65530, 65546)]
        self.assertEqual(counters, list(range(65530, 65546)))


class PtpMessageTest(unittest.TestCase):
    CLOCK = 0x8877665544332211

    def test_sync_and_follow_up_layout(self):
        sync = messages.sync(self.CLOCK, 0x1234)
        follow = messages.follow_up(self.CLOCK, 0x1234, 5 * 10 ** 9 + 123)
        self.assertEqual((len(sync), len(follow)), (44, 76))
        self.assertEqual((sync[0], sync[1], follow[0]), (0x10, 0x02, 0x18))
        self.assertEqual(struct.unpack_from(">H", sync, 2)[0], 44)
        self.assertTrue(sync[6] & 0x02, "two-step flag")
        self.assertEqual(sync[20:28], self.CLOCK.to_bytes(8, "big"))
        self.assertEqual((sync[30:32], sync[32], sync[33]), (b"\x12\x34", 0, 0xFD))
        self.assertEqual((follow[32], follow[33]), (2, 0xFD))
        self.assertEqual(follow[34:44], b"\x00\x00" + struct.pack(">I", 5) + struct.pack(">I", 123))
        self.assertEqual(follow[44:54], b"\x00\x03\x00\x1c" b"\x00\x80\xc2\x00\x00\x01", "follow-up TLV")
        self.assertEqual(messages.parse_origin_timestamp(follow), 5 * 10 ** 9 + 123)

    def test_announce_layout_and_parse(self):
        data = messages.announce(self.CLOCK, 9)
        header = messages.parse_header(data)
        self.assertEqual((header.message_type, header.transport, header.length), (messages.ANNOUNCE, 1, len(data)))
        self.assertEqual(data[32:34], b"\x05\x00")
        info = messages.parse_announce(data)
        self.assertEqual(info.grandmaster, self.CLOCK)
        self.assertEqual(info.quality, messages.SENDER_QUALITY)
        self.assertEqual(data[-12:], b"\x00\x08\x00\x08" + self.CLOCK.to_bytes(8, "big"))

    def test_sender_beats_a_homepod_and_loses_to_a_better_master(self):
        homepod = messages.AnnounceInfo(1, messages.Quality(248, 248, 0xFE, 0xFFFF, 248, 0xA0), 0)
        ours = messages.AnnounceInfo(2, messages.SENDER_QUALITY, 0)
        self.assertTrue(messages.better_master(ours, homepod))
        self.assertFalse(messages.better_master(homepod, ours))
        self.assertTrue(messages.better_master(homepod, None))

    def test_timestamps_and_correction(self):
        for ns in (0, 999_999_999, (1 << 40) * 10 ** 9 + 1):
            with self.subTest(ns=ns):
                self.assertEqual(messages.decode_timestamp(messages.encode_timestamp(ns)), ns)
        data = bytearray(messages.sync(1, 1))
        data[8:16] = struct.pack(">q", 1500 << 16)
        self.assertEqual(messages.parse_header(bytes(data)).correction_ns, 1500)

    def test_malformed_messages(self):
        good = messages.follow_up(1, 1, 0)
        cases = [("short", good[:20]), ("length beyond data", good[:60]),
                 ("version 1", good[:1] + b"\x01" + good[2:])]
        for name, data in cases:
            with self.subTest(name), self.assertRaises(messages.PtpParseError):
                messages.parse_header(data)
        bad_ns = good[:40] + b"\xff\xff\xff\xff" + good[44:]
        with self.assertRaises(messages.PtpParseError):
            messages.parse_origin_timestamp(bad_ns)


class TimeAnnounceTest(unittest.TestCase):
    def test_layout(self):
        packet = time_announce.time_announce(100_000, 0x0102030405060708, 0xF0E1D2C3B4A59687, first=True)
        self.assertEqual(len(packet), 28)
        self.assertEqual(packet[:4], b"\x90\xd7\x00\x06")
        self.assertEqual(struct.unpack(">I", packet[4:8])[0], 100_000 - 77175)
        self.assertEqual(packet[8:16], bytes(range(1, 9)))
        self.assertEqual(struct.unpack(">I", packet[16:20])[0], 100_000)
        self.assertEqual(packet[20:28], (0xF0E1D2C3B4A59687).to_bytes(8, "big"))
        self.assertEqual(time_announce.time_announce(1, 2, 3, first=False)[0], 0x80)

    def test_receiver_reads_two_seconds_of_latency_across_the_wrap(self):
        for rtp in (100_000, 10, (1 << 32) - 5):
            with self.subTest(rtp=rtp):
                frame, clock_ns, _ = time_announce.parse_time_announce(time_announce.time_announce(rtp, 5, 1, True))
                self.assertEqual((rtp - frame) & 0xFFFFFFFF, 88210)

    def test_frozen_line_points_are_consistent(self):
        line = time_announce.FrozenLine(rtp=1000, clock_ns=7 * 10 ** 9)
        for frames in (0, 44100, 44100 * 3600):
            with self.subTest(frames=frames):
                self.assertEqual(line.rtp_at(line.clock_at(frames)), (1000 + frames) & 0xFFFFFFFF)


if __name__ == "__main__":
    unittest.main()
