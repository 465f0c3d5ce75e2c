"""TLV8, SRP-6a and HAP framing: the parts of transient pairing where one wrong byte breaks every session."""

import os
import struct
import unittest

import worker_support  # noqa: F401  (puts the package on the path)

from fake_ap2_pairing import SrpServer
from pyatv.airplay2 import hap_channel, srp, tlv8


def hexint(text: str) -> int:
    return int("".join(text.split()), 16)


class Tlv8Test(unittest.TestCase):
    def test_round_trip_and_wire_form(self):
        cases = [
            ("empty value", [(6, b"")], b"\x06\x00"),
            ("short", [(6, b"\x01"), (0x13, b"\x10")], b"\x06\x01\x01\x13\x01\x10"),
            ("exactly 255", [(3, b"x" * 255)], b"\x03\xff" + b"x" * 255),
            ("256 splits", [(3, b"x" * 256)], b"\x03\xff" + b"x" * 255 + b"\x03\x01x"),
            ("384-byte key", [(3, bytes(range(256)) + bytes(128)), (6, b"\x03")],
             b"\x03\xff" + bytes(range(255)) + b"\x03\x81" + b"\xff" + bytes(128) + b"\x06\x01\x03"),
            ("long values of two types", [(2, b"a" * 256), (3, b"b")], b"\x02\xff" + b"a" * 255 + b"\x02\x01a\x03\x01b"),
        ]
        for name, items, wire in cases:
            with self.subTest(name):
                self.assertEqual(tlv8.encode(items), wire)
                self.assertEqual(tlv8.decode(wire), dict(items))

    def test_truncated_input_is_rejected(self):
        for data in (b"\x06", b"\x06\x02\x01"):
            with self.subTest(data=data), self.assertRaises(tlv8.TlvError):
                tlv8.decode(data)


class SrpTest(unittest.TestCase):
    def test_rfc5054_vector(self):
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

    def test_exchange_with_leading_zero_bytes(self):
        # Private keys found by search so that A, B or S has a zero top byte (padded and minimal forms differ).
        salt = bytes(range(16))
        cases = [("plain", 0x1234567, 0x7654321, None),
                 ("A has a zero top byte", (1 << 255) + 68, 0x7654321, "A"),
                 ("B has a zero top byte", 0x1234567, 1436, "B"),
                 ("S has a zero top byte", 0x1234567, 140, "S")]
        for name, a, b, short in cases:
            with self.subTest(name):
                client = srp.SrpClient(b"Pair-Setup", b"3939", private=a)
                server = SrpServer(salt=salt, private=b)
                proof = client.process_challenge(salt, server.public_bytes())
                sizes = {"A": len(client.public_bytes), "B": len(srp.minimal_bytes(server.public)),
                         "S": len(srp.minimal_bytes(client.premaster))}
                self.assertEqual([k for k, v in sizes.items() if v < 384], [short] if short else [])
                server_proof = server.verify(client.public_bytes, proof)
                self.assertIsNotNone(server_proof)
                client.verify_server(server_proof)
                self.assertEqual(client.session_key, server.session_key)
                self.assertEqual(len(client.session_key), 64)

    def test_wrong_pin_and_forged_server_proof_fail(self):
        salt = os.urandom(16)
        client = srp.SrpClient(b"Pair-Setup", b"3939")
        server = SrpServer(password=b"1111", salt=salt)
        self.assertIsNone(server.verify(client.public_bytes, client.process_challenge(salt, server.public_bytes())))
        with self.assertRaises(srp.SrpError):
            client.verify_server(bytes(64))

    def test_degenerate_server_key_is_refused(self):
        client = srp.SrpClient(b"Pair-Setup", b"3939")
        for b_pub in (0, srp.N_3072):
            with self.subTest(b_pub=b_pub), self.assertRaises(srp.SrpError):
                client.process_challenge(bytes(16), b_pub.to_bytes(385, "big"))


class HapFramingTest(unittest.TestCase):
    def pair(self):
        secret = os.urandom(64)
        out_key, in_key = hap_channel.control_keys(secret)
        return hap_channel.HapCipher(out_key, in_key), hap_channel.HapCipher(in_key, out_key)

    def test_frame_boundaries(self):
        for size, frames in ((0, 1), (1, 1), (1023, 1), (1024, 1), (1025, 2), (2048, 2), (2049, 3)):
            with self.subTest(size=size):
                sender, receiver = self.pair()
                message = os.urandom(size)
                wire = sender.seal(message)
                self.assertEqual(len(wire), size + frames * 18)
                self.assertLessEqual(struct.unpack_from("<H", wire)[0], 1024)
                self.assertEqual(receiver.open(wire), message)

    def test_split_reads_and_counters_per_direction(self):
        sender, receiver = self.pair()
        messages = [os.urandom(n) for n in (1500, 10, 3000)]
        wire = b"".join(sender.seal(m) for m in messages)
        got = bytearray()
        for start in range(0, len(wire), 7):
            got += receiver.open(wire[start:start + 7])
        self.assertEqual(bytes(got), b"".join(messages))
        self.assertEqual(sender.open(receiver.seal(b"reply")), b"reply")

    def test_authentication_failures(self):
        out_key, in_key = hap_channel.control_keys(os.urandom(64))
        frame = hap_channel.HapCipher(out_key, in_key).seal(b"GET /info RTSP/1.0\r\n\r\n")
        replaying = hap_channel.HapCipher(in_key, out_key)
        replaying.open(frame)
        cases = [("swapped keys", hap_channel.HapCipher(out_key, in_key), frame),
                 ("length changed", hap_channel.HapCipher(in_key, out_key),
                  bytes([frame[0] ^ 1]) + frame[1:] + bytes(1)),
                 ("body changed", hap_channel.HapCipher(in_key, out_key), frame[:5] + bytes([frame[5] ^ 1]) + frame[6:]),
                 ("replayed", replaying, frame)]
        for name, receiver, wire in cases:
            with self.subTest(name), self.assertRaises(hap_channel.HapFrameError):
                receiver.open(wire)


if __name__ == "__main__":
    unittest.main()
