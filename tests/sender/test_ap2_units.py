"""AirPlay 2 pieces where one wrong byte breaks every session, against fixed known answers: TLV8, SRP-6a, HKDF
labels, HAP frames, audio packets, gPTP and 0xD7 layouts, plists, the protocol choice, the follower's clock
estimate and the privileged clock helper."""

import os
import plistlib
import random
import shutil
import socket
import struct
import subprocess
import tempfile
import unittest

from worker_support import SOURCE_DIR
from fake_ap2_receiver import SrpServer, minimal
from pyatv.airplay2 import audio_packets, binary_plist, hap_channel, protocol_choice as pc, srp, tlv8
from pyatv.ptp import clock_ports, messages, time_announce
from pyatv.ptp.follower_clock import FollowerClock


def hexint(text: str) -> int:
    return int("".join(text.split()), 16)


class PairingTest(unittest.TestCase):
    def test_tlv8_wire_form(self):
        cases = [([(6, b"\x01"), (0x13, b"\x10")], b"\x06\x01\x01\x13\x01\x10"), ([(6, b"")], b"\x06\x00"),
                 ([(3, b"x" * 256), (6, b"\x03")], b"\x03\xff" + b"x" * 255 + b"\x03\x01x\x06\x01\x03")]
        for items, wire in cases:
            self.assertEqual((tlv8.encode(items), tlv8.decode(wire)), (wire, dict(items)))
        for data in (b"\x06", b"\x06\x02\x01"):
            self.assertRaises(tlv8.TlvError, tlv8.decode, data)

    def test_srp_rfc5054_vector(self):
        # RFC 5054 appendix B: 1024-bit group, SHA-1, fixed a, b and salt.
        n = hexint("""EEAF0AB9 ADB38DD6 9C33F80A FA8FC5E8 60726187 75FF3C0B 9EA2314C 9C256576 D674DF74 96EA81D3
            383B4813 D692C6E0 E0D5D8E2 50B98BE4 8E495C1D 6089DAD1 5DC7D7B4 6154D6B6 CE8EF4AD 69B15D49 82559B29
            7BCF1885 C529F566 660E57EC 68EDBC3C 05726CC0 2FD4CBF4 976EAA9A FD5138FE 8376435B 9FC61D2F C0EB06E3""")
        a = hexint("60975527 035CF2AD 1989806F 0407210B C81EDC04 E2762A56 AFD529DD DA2D4393")
        b_pub = hexint("""BD0C6151 2C692C0C B6D041FA 01BB152D 4916A1E7 7AF46AE1 05393011 BAF38964 DC46A067 0DD125B9
            5A981652 236F99D9 B681CBF8 7837EC99 6C6DA044 53728610 D0C6DDB5 8B318885 D7D82C7F 8DEB75CE 7BD4FBAA
            37089E6F 9C6059F3 88838E7A 00030B33 1EB76840 910440B1 B27AAEAE EB4012B7 D7665238 A8E3FB00 4B117B58""")
        client = srp.SrpClient(b"alice", b"password123", n=n, g=2, hash_name="sha1", private=a)
        self.assertEqual(client.k, hexint("7556AA04 5AEF2CDD 07ABAF0F 665C3E81 8913186F"))
        self.assertEqual(client.public, hexint("""61D5E490 F6F1B795 47B0704C 436F523D D0E560F0 C64115BB 72557EC4
            4352E890 3211C046 92272D8B 2D1A5358 A2CF1B6E 0BFCF99F 921530EC 8E393561 79EAE45E 42BA92AE ACED8251
            71E1E8B9 AF6D9C03 E1327F44 BE087EF0 6530E69F 66615261 EEF54073 CA11CF58 58F0EDFD FE15EFEA B349EF5D
            76988A36 72FAC47B 0769447B"""))
        client.process_challenge(bytes.fromhex("BEB25379D1A8581EB5A727673A2441EE"), b_pub.to_bytes(128, "big"))
        self.assertEqual(client.premaster, hexint("""B0DC82BA BCF30674 AE450C02 87745E79 90A3381F 63B387AA F271A10D
            233861E3 59B48220 F7C4693C 9AE12B0A 6F67809F 0876E2D0 13800D6C 41BB59B6 D5979B5C 00A172B4 A2A5903A
            0BDCAF8A 709585EB 2AFAFA8F 3499B200 210DCC1F 10EB3394 3CD67FC8 8A2F39A4 BE5BEC4E C0A3212D C346D7E4
            74B29EDE 8A469FFE CA686E5A"""))

    def test_srp_exchange_with_leading_zero_bytes(self):
        # Private keys found by search so that A, B or S has a zero top byte (padded and minimal forms differ).
        for a, b, short in [(0x1234567, 0x7654321, []), ((1 << 255) + 68, 0x7654321, ["A"]),
                            (0x1234567, 1436, ["B"]), (0x1234567, 140, ["S"])]:
            with self.subTest(short=short):
                client = srp.SrpClient(b"Pair-Setup", b"3939", private=a)
                server = SrpServer(salt=bytes(range(16)), private=b)
                proof = client.process_challenge(server.salt, server.public.to_bytes(384, "big"))
                sizes = {"A": client.public, "B": server.public, "S": client.premaster}
                self.assertEqual([k for k, v in sizes.items() if len(minimal(v)) < 384], short)
                client.verify_server(server.verify(client.public_bytes, proof))
                self.assertEqual((client.session_key, len(client.session_key)), (server.session_key, 64))

    def test_srp_refusals(self):
        client = srp.SrpClient(b"Pair-Setup", b"3939")
        server = SrpServer(password=b"1111")
        self.assertIsNone(server.verify(client.public_bytes, client.process_challenge(server.salt, server.public.to_bytes(384, "big"))))
        self.assertRaises(srp.SrpError, client.verify_server, bytes(64))
        for b_pub in (0, srp.N_3072):
            self.assertRaises(srp.SrpError, srp.SrpClient(b"Pair-Setup", b"3939").process_challenge, bytes(16),
                              b_pub.to_bytes(385, "big"))


class KnownAnswerTest(unittest.TestCase):
    """Bytes computed once with the cryptography library alone, from the labels and layouts in the notes."""

    def test_channel_keys(self):
        self.assertEqual([k.hex() for k in hap_channel.control_keys(bytes(range(64)))],
                         ["5a6cb19bcbe7d4df2dd8279f39562f7fae2dbf73eb5a4f98849c245c82b2fe96",    # Control-Write
                          "c2f56f1912e2fc1f6604fd5bccab619272f687345aa4bce1c3c857421bd3b821"])   # Control-Read
        self.assertEqual([k.hex() for k in hap_channel.event_keys(bytes(range(64)))],
                         ["11954fc3044c580a9a64ed0b699039dfd0e7dd476eb78366ae160f2962708e18",    # Events-Read
                          "4ab337f2edc98d6a5dcdebc107b1aa174f3b24908a3780294fc94dc6983ee353"])   # Events-Write

    def test_second_hap_frame(self):
        cipher = hap_channel.HapCipher(bytes(range(32)), bytes(32))
        cipher.seal(b"first")
        self.assertEqual(cipher.seal(b"GET /info").hex(), "0900d812a77f9a43c17e4686e743314e3ef3c829362bb5d1239a5d")

    def test_audio_packet(self):
        sealer = audio_packets.AudioSealer(bytes(range(32)), first_counter=0x0102030405060708)
        header = audio_packets.rtp_header(0x1FFFF, 0x101020304, 0x0A0B0C0D, True)
        self.assertEqual(sealer.seal(header, b"\x01\x02\x03\x04").hex(), "80e0ffff010203040a0b0c0d"
                         "f14baee0a19dcea74c7a7620dc5578d9843b03310807060504030201")
        self.assertEqual(audio_packets.rtp_header(0x10000, 352, 1, False)[:4], b"\x80\x60\x00\x00")


class HapFramingTest(unittest.TestCase):
    def test_frames_split_reads_and_failures(self):
        out_key, in_key = os.urandom(32), os.urandom(32)
        sender, receiver = hap_channel.HapCipher(out_key, in_key), hap_channel.HapCipher(in_key, out_key)
        for size, frames in ((0, 1), (1024, 1), (1025, 2), (2049, 3)):
            wire = sender.seal(os.urandom(size))
            self.assertEqual((len(wire), struct.unpack_from("<H", wire)[0]), (size + frames * 18, min(size, 1024)))
            self.assertEqual(len(receiver.open(wire)), size)
        message = os.urandom(3000)
        wire = sender.seal(message)
        self.assertEqual(b"".join(receiver.open(wire[i:i + 7]) for i in range(0, len(wire), 7)), message)
        for name, bad in (("replayed", wire[:1044]), ("body changed", sender.seal(b"abc")[:-1] + b"\x00")):
            with self.subTest(name), self.assertRaises(hap_channel.HapFrameError):
                hap_channel.HapCipher(in_key, out_key).open(bad) if name == "body changed" else receiver.open(bad)


class PtpTest(unittest.TestCase):
    CLOCK = 0x8877665544332211

    def test_layouts(self):
        head = "0200%s0000%s" + "00" * 12 + "8877665544332211" "0001" "1234" "%sfd"
        self.assertEqual(messages.sync(self.CLOCK, 0x1234).hex(), "10" + head % ("2c", "0208", "00") + "00" * 10)
        tlv = "0003001c0080c2000001" + "00" * 22
        self.assertEqual(messages.follow_up(self.CLOCK, 0x1234, 5 * 10 ** 9 + 123).hex(),
                         "18" + head % ("4c", "0008", "02") + "0000000000050000007b" + tlv)
        info = messages.parse_announce(messages.announce(self.CLOCK, 9))
        self.assertEqual((info.grandmaster, info.quality), (self.CLOCK, messages.SENDER_QUALITY))

    def test_parsing(self):
        data = bytearray(messages.follow_up(1, 1, 0))
        data[8:16] = struct.pack(">q", (1500 << 16) + 0x8000)
        self.assertEqual(messages.parse_header(bytes(data)).correction_ns, 1500.5)
        for bad in (data[:20], data[:60], data[:1] + b"\x01" + data[2:]):
            self.assertRaises(messages.PtpParseError, messages.parse_header, bytes(bad))
        self.assertRaises(messages.PtpParseError, messages.parse_origin_timestamp, data[:40] + b"\xff" * 4 + data[44:])

    def test_time_announce(self):
        packet = time_announce.time_announce(100_000, 0x0102030405060708, 0xF0E1D2C3B4A59687, first=True)
        self.assertEqual(packet.hex(), "90d70006" "00005929" "0102030405060708" "000186a0" "f0e1d2c3b4a59687")
        self.assertEqual(time_announce.time_announce(10, 0, 0, first=False)[:8].hex(), "80d70006fffed293")
        line = time_announce.FrozenLine(rtp=1000, clock_ns=7 * 10 ** 9)
        self.assertEqual(line.clock_at(44100 * 3600), 3607 * 10 ** 9)


class PlistTest(unittest.TestCase):
    def test_clock_id_and_stream_ports(self):
        for clock_id in ((1 << 63) - 1, 0xF0E1D2C3B4A59687):
            body = binary_plist.encode({"ClockID": binary_plist.clock_id_to_plist(clock_id)})
            self.assertIn(b"\x13" + clock_id.to_bytes(8, "big"), body)
            self.assertEqual(binary_plist.clock_id_from_plist(binary_plist.decode(body)["ClockID"]), clock_id)
        fields = [("dataPort", 2), ("controlPort", 1), ("arrivalToRenderLatencyMs", 280)]
        body = plistlib.dumps({"streams": [dict(fields)]}, fmt=plistlib.FMT_BINARY, sort_keys=False)
        self.assertEqual(tuple(binary_plist.stream_ports(binary_plist.decode(body))), (2, 1, 280))
        for reply in ({}, {"streams": [{"dataPort": 6000}]}, {"streams": [{"dataPort": "x", "controlPort": 1}]}):
            self.assertRaises(binary_plist.PlistError, binary_plist.stream_ports, reply)


HOMEPOD_27 = {"model": "AudioAccessory5,1", "igl": "1", "gcgl": "1", "flags": "0x98404", "osvers": "27.0",
              "features": "0x4A7FCA00,0x3C356BD0"}


class ProtocolChoiceTest(unittest.TestCase):
    def test_choice_table(self):
        ptp48 = {"features": "0x0,0x10200"}
        a2, follow = pc.AIRPLAY2, pc.Choice(pc.AIRPLAY2, pc.PTP_FOLLOW)
        cases = [
            ("RAOP only receiver", None, {"ft": "0x5A7FFFF7,0x1E"}, True, pc.Choice(pc.RAOP)),
            ("no features at all", None, {}, True, pc.Choice(pc.RAOP)),
            ("bit 38 only", {"features": "0x0,0x40"}, None, False, pc.Choice(a2, pc.NTP)),
            ("bit 48 via raop ft", None, {"ft": "0x0,0x10000"}, False, pc.Choice(a2, pc.NTP)),
            ("PTP receiver with clock ports", ptp48, None, True, pc.Choice(a2, pc.PTP_MASTER)),
            ("PTP receiver without clock ports", ptp48, None, False, pc.Choice(a2, pc.NTP)),
            ("standalone HomePod 27", HOMEPOD_27, None, True, follow),
            ("standalone HomePod 27.1", dict(HOMEPOD_27, osvers="27.1.2"), None, True, follow),
            ("standalone HomePod 27, no helper", HOMEPOD_27, None, False,
             pc.Choice(a2, pc.NTP, pc.CLOCK_HELPER_MISSING)),
            ("HomePod 26", dict(HOMEPOD_27, osvers="26.6"), None, True, pc.Choice(a2, pc.PTP_MASTER)),
            ("HomePod in an Apple TV group", dict(HOMEPOD_27, pgid="ABC"), None, True, pc.Choice(a2, pc.PTP_MASTER)),
            ("stereo pair", dict(HOMEPOD_27, tsid="ABC"), None, False, pc.Choice(a2, pc.NTP)),
            ("not group leader", dict(HOMEPOD_27, igl="0"), None, True, pc.Choice(a2, pc.PTP_MASTER)),
            ("Apple TV on 27", dict(HOMEPOD_27, model="AppleTV14,1"), None, True, pc.Choice(a2, pc.PTP_MASTER)),
            ("unreadable osvers", dict(HOMEPOD_27, osvers="x"), None, True, pc.Choice(a2, pc.PTP_MASTER)),
        ]
        for name, airplay_txt, raop_txt, ports, expected in cases:
            self.assertEqual(pc.choose(airplay_txt, raop_txt, ports), expected, name)

class FollowerClockTest(unittest.TestCase):
    def test_estimate(self):
        """Master = local·(1 + ppm) + offset, samples at 8 Hz after 150 µs + exponential jitter; a clock step at
        sample 24, or three late samples that must not count as one."""
        for name, count, jitter, ppm, step, late in [
                ("settles within 2 s", 16, 1_000_000, 80, 0, ()), ("tracks the rate", 80, 300_000, -100, 0, ()),
                ("follows a step", 40, 200_000, 0, -700_000_000, ()), ("ignores outliers", 40, 0, 0, 0, (10, 20, 21))]:
            with self.subTest(name):
                rng, clock, local, offset = random.Random(4), FollowerClock(), 10 ** 9, 5 * 10 ** 9
                for i in range(count):
                    offset += step if i == 24 else 0
                    delay = 40_000_000 if i in late else 150_000 + int(rng.expovariate(1 / jitter) if jitter else 0)
                    clock.add(int(local * (1 + ppm * 1e-6) + offset), local + delay)
                    local += 125_000_000
                self.assertEqual(clock.steps, int(step != 0))
                self.assertLess(abs(clock.to_master(local) - int(local * (1 + ppm * 1e-6) + offset)), 400_000)
                if count == 80:
                    self.assertAlmostEqual((clock.rate - 1) * 1e6, ppm, delta=15)


@unittest.skipIf(shutil.which("cc") is None, "no C compiler")
class ClockHelperTest(unittest.TestCase):
    def test_helper(self):
        helper = os.path.join(tempfile.mkdtemp(prefix="ptphelper-"), clock_ports.HELPER_NAME)
        self.addCleanup(shutil.rmtree, os.path.dirname(helper))
        subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Werror", "-o", helper,
                        os.path.join(SOURCE_DIR, "src", "ptphelper", "sonvale_ptp_helper.c")], check=True)
        for args in ([], ["abc"], ["1"], ["200"], ["3", "4"]):
            self.assertEqual(subprocess.run([helper, *args], capture_output=True).returncode, 2, args)
        self.assertIsNone(clock_ports.from_helper(helper + ".absent"))
        sockets = clock_ports.from_helper(helper)
        if os.geteuid() != 0 or sockets is None:
            return self.assertTrue(os.geteuid() == 0 or sockets is None)  # as root, None only while 319/320 are taken
        self.addCleanup(sockets.close)
        self.assertEqual([sock.getsockname()[1] for sock in (sockets.event, sockets.general)], [319, 320])
        self.assertIsNone(clock_ports.from_helper(helper), "ports taken means no sockets")


if __name__ == "__main__":
    unittest.main()
