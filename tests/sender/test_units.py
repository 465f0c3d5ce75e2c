"""Worker pieces in-process, against fixed known answers where one wrong byte breaks every session: RAOP and
AirPlay 2 packets, SRP-6a, HKDF labels, HAP frames; the messages, the JSON lines, the protocol choice and the
election of the grandmaster the sender follows."""

import socket
import struct
import time
import unittest

from worker_support import decode_escape
from fake_ap2_receiver import SrpServer, minimal
from pyatv import discovery, errors, session as s
from pyatv.airplay2 import audio_packets, binary_plist, hap_channel, srp
from pyatv.pcm_input import PcmInput
from pyatv.ptp import messages as ptp
from pyatv.ptp.follower import PtpFollower
from pyatv.ptp.follower_clock import FollowerClock
from pyatv.quoting import quoted, quoted_fields
from pyatv.rtsp import ResponseParser, RtspMalformed
from pyatv.streaming import rtp as packets
from pyatv.streaming.alac import encode_escape
from pyatv.streaming.udp import UdpServices


def frames(*pairs) -> bytes:
    return b"".join(struct.pack("<hh", left, right) for left, right in pairs)


def hexint(text: str) -> int:
    return int("".join(text.split()), 16)


class PacketTest(unittest.TestCase):
    def test_alac_escape_frames(self):
        self.assertEqual(encode_escape(frames((1, -2), (0x1234, 0x7FFF))).hex(),
                         "200012000000040003fffc2468ffffc0", "partial frame: has-size, count, end tag, padding")
        pcm = frames(*((i * 93 - 16000, 16000 - i * 91) for i in range(351)), (-32768, 32767))
        got = decode_escape(encode_escape(pcm))
        self.assertEqual([got[k] for k in ("pcm", "frames", "has_size", "tag", "instance", "unused", "shift", "escape",
                                           "end", "padding")], [pcm, 352, 0, 1, 0, 0, 0, 1, 7, 0])
        self.assertRaises(ValueError, encode_escape, bytes(1409))

    def test_rtp_sync_and_timing(self):
        self.assertEqual(packets.rtp_header(65536, 0x100000160, 0x11223344, False).hex(), "806000000000016011223344")
        self.assertEqual(packets.rtp_header(65535, 0xFFFFFFFF, 1, True).hex(), "80e0ffffffffffff00000001")
        self.assertEqual(packets.sync_packet(100_000, 77175, 0x0102030405060708, True).hex(),
                         "90d4000700005929" "0102030405060708" "000186a0")
        self.assertEqual(packets.ntp_from_seconds(1.5), ((0x83AA7E80 + 1) << 32) | 0x80000000)
        self.assertEqual(packets.timing_reply(b"\x80\xD2\x00\x07" + bytes(20) + b"ABCDEFGH", 0x1111, 0x2222).hex(),
                         "80d3000700000000" + b"ABCDEFGH".hex() + "%016x%016x" % (0x1111, 0x2222))

    def test_resends_are_rate_limited_over_requests_and_only_for_the_receiver(self):
        backlog = packets.Backlog()
        for seq in range(65530, 65540):
            backlog.put(seq, packets.rtp_header(seq, seq * 352, 1) + b"pcm")
        udp, asked = UdpServices("127.0.0.1", packets.NtpClock(), backlog), []
        udp.receiver = "127.0.0.1"
        udp.start()
        for source, pause in [("127.0.0.2", 0), ("127.0.0.1", 0), ("127.0.0.1", 0.2)]:  # 400 of the 500, then 150
            time.sleep(pause)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                sock.bind((source, 0))
                sock.settimeout(2)
                sock.sendto(b"\x80\xD5\x00\x01\xFF\xFA\x01\x90", ("127.0.0.1", udp.control_port))
                asked.append([sock.recv(100) for _ in range(10 if source == udp.receiver else 0)])
        udp.stop()  # after the requests waiting
        resent = [b"\x80\xD6" + backlog.get(seq)[2:4] + backlog.get(seq) for seq in range(65530, 65540)]
        self.assertEqual((asked, udp.refused_resends, (udp.missing_packets - 530) // 100), ([[], resent, resent], 2, 0))

    def test_ptp_messages(self):
        # 802.1AS: transportSpecific 1, version 2; control field 0/2/3/5 by type; the 8021 OUI TLV in Follow_Up.
        clock, clock_hex, head = 0x0102030405060708, "0102030405060708", "00" * 12 + "0102030405060708"
        got = [ptp.sync(clock, 0x10005), ptp.follow_up(clock, 7, (10**9 << 32) + 5), ptp.announce(clock, 9),
               ptp.delay_resp(clock, ptp.parse_header(ptp.sync(0xAABB, 3)), 2 * 10**9 + 1)]
        self.assertEqual([m.hex() for m in got], [
            "1002002c00000208" + head + "0001000500fd" + "00" * 10,
            "1802004c00000008" + head + "0001000702fd" + "000100000000000000050003001c0080c2000001" + "00" * 22,
            "1b02004c00000008" + head + "000100090500" + "00" * 10 + "002500800621436a80" + clock_hex + "000020"
            + "00080008" + clock_hex,
            "1902003600000008" + head + "00010003037f" + "00000000000200000001000000000000aabb0001"])
        self.assertEqual(ptp.parse_announce(got[2][:64]).quality, ptp.SENDER_QUALITY)
        self.assertRaises(ptp.PtpParseError, ptp.parse_announce, got[2][:63])

    def test_what_a_speaker_sent_is_quoted_short_and_names_are_read_as_advertised(self):
        self.assertEqual([quoted(1 << 800), quoted((1 << 800) - 1)[:8], len(quoted(["x" * 300] * 8)),
                          quoted(["x" * 300] * 8)[-2:]], ["<a 801-bit integer>", "66680144", 200, "x…"])
        self.assertEqual([quoted_fields({}), quoted_fields({"a": "b", "c": b"\x01"}), quoted_fields(
            {str(i): i for i in range(41)})[-15:]], ["none", "a='b' c=b'\\x01'", "39=39 …(1 more)"])
        self.assertEqual([discovery.speaker_name("AABBCCDDEEFF@厨房@Home"), discovery.speaker_name("厨房"),
                          discovery.normal_id("aa-bb-cc-dd-ee-ff"), discovery.normal_id("AABBCCDDEEG0")],
                         ["厨房@Home", "厨房", "AA:BB:CC:DD:EE:FF", None])
        addresses = ["fe80::1%eth0", "2001:db8::1", "169.254.0.9", "10.0.0.5"]
        self.assertEqual([discovery.pick_address(addresses[:n]) for n in (4, 3, 2, 0)],
                         ["10.0.0.5", "169.254.0.9", "2001:db8::1", None])

    def test_rtsp_replies_in_any_pieces_and_their_length_bounds(self):
        parser, reply = ResponseParser(), b"RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Length: 3\r\n\r\nabcRTSP/1.0 453\n\n"
        got = [r for i in range(len(reply)) for r in parser.feed(reply[i:i + 1])]
        self.assertEqual([(r.status, r.reason, r.cseq, r.body) for r in got], [(200, "OK", 2, b"abc"), (453, "", None, b"")])
        self.assertEqual([ResponseParser().feed(d) for d in (b"x" * 65536, b"RTSP/1.0 200\nContent-Length: 262144\n\n")], [[], []])
        for bad in (b"x" * 65537, b"RTSP/1.0 200 OK\nContent-Length: 262145\n\n", b"RTSP/1.0 200\nContent-Length: -1\n\n"):
            self.assertRaises(RtspMalformed, ResponseParser().feed, bad)

class SpeakerTest(unittest.TestCase):
    def test_held_audio_beyond_the_room_loses_its_silence_first_then_one_faded_cut_where_quietest(self):
        loud, quiet, source = frames(*[(9000, -9000)] * 352 * 30), frames(*[(30, -30)] * 352 * 4), PcmInput(None)
        source.feed(loud + bytes(352 * 4 * 3) + loud + quiet + loud)   # 97 packets, room for 92
        self.assertEqual((source.fit_held(92 * 352), b"".join(source.take(100))), (92 * 352, loud * 2 + quiet[
            :352 * 8] + loud))


    def test_every_cause_has_its_own_message_naming_the_speaker(self):
        causes = [c for c in vars(s).values() if isinstance(c, type) and issubclass(c, s.SenderError)
                  and c is not s.SenderError]
        texts = {errors.message_for(cause("x", address="1.2.3.4:5", status=451), "卧室") for cause in causes}
        self.assertEqual(len(texts), len(causes))
        self.assertTrue(all("卧室" in t and not t.endswith("。") and "{" not in t for t in texts))
        self.assertIn("1.2.3.4:5", errors.message_for(s.Unreachable(address="1.2.3.4:5"), "a"))
        self.assertIn("发送器内部错误", errors.message_for(KeyError("k"), "卧室"))

    def test_held_sound_and_steering_keep_whole_frames_in_order(self):
        quiet, held, split = PcmInput(None), PcmInput(None, hold_s=0.5), PcmInput(None, clock=iter([5.0, 6.0]).__next__)
        quiet.feed(frames((1, -1), (0, 1)))
        held.feed(frames(*[(2, 0)] * 30000))
        for piece in (b"\x2c\x01\x00", b"\x00\x01", b"\x00"):  # a sample split across reads is judged once
            split.feed(piece)
        self.assertEqual((quiet.last_sound, quiet.buffered_frames, held.buffered_frames, held.discarded_frames,
                          split.last_sound), (float("-inf"), 0, 22050, 7950, 5.0))
        numbered = [(i, -i) for i in range(3 * 352 + 10)]
        for adjust, first, left in [(1, numbered[:352], 9), (-1, numbered[:351] + numbered[350:351], 11)]:
            source = PcmInput(None)
            source.begin_streaming()
            source.feed(frames(*numbered))
            self.assertEqual(source.take(5, adjust), [frames(*first), frames(*numbered[352 + adjust:704 + adjust]),
                                   frames(*numbered[704 + adjust:1056 + adjust])])
            self.assertEqual((source.buffered_frames, source.steered_frames, source.take(1)), (left, 1, []))

    def test_waits_end_by_their_deadline_and_a_busy_speaker_is_asked_again_unless_a_stop_comes_first(self):
        busy, alive, asked = s.SpeakerBusy("x"), [], []
        busy.RETRY_SECONDS = 0.2
        self.assertEqual([busy.wait_until_free(lambda: stop, alive.append) for stop in (False, True)] + alive[-1:],
                         [True, False, 5.0])
        self.assertFalse(s.wait_for(type("Event", (), {"wait": lambda _, t: asked.append(t) or time.sleep(t)})(), 0.12))
        self.assertLessEqual(sum(asked), 0.12, "waited beyond the deadline")


class AirPlay2Test(unittest.TestCase):
    def test_srp_rfc5054_vector(self):
        # RFC 5054 appendix B: 1024-bit group, SHA-1, fixed a, b and salt; the premaster secret S depends on k, A, u, x.
        n = hexint("""EEAF0AB9 ADB38DD6 9C33F80A FA8FC5E8 60726187 75FF3C0B 9EA2314C 9C256576 D674DF74 96EA81D3
            383B4813 D692C6E0 E0D5D8E2 50B98BE4 8E495C1D 6089DAD1 5DC7D7B4 6154D6B6 CE8EF4AD 69B15D49 82559B29
            7BCF1885 C529F566 660E57EC 68EDBC3C 05726CC0 2FD4CBF4 976EAA9A FD5138FE 8376435B 9FC61D2F C0EB06E3""")
        a = hexint("60975527 035CF2AD 1989806F 0407210B C81EDC04 E2762A56 AFD529DD DA2D4393")
        b_pub = hexint("""BD0C6151 2C692C0C B6D041FA 01BB152D 4916A1E7 7AF46AE1 05393011 BAF38964 DC46A067 0DD125B9
            5A981652 236F99D9 B681CBF8 7837EC99 6C6DA044 53728610 D0C6DDB5 8B318885 D7D82C7F 8DEB75CE 7BD4FBAA
            37089E6F 9C6059F3 88838E7A 00030B33 1EB76840 910440B1 B27AAEAE EB4012B7 D7665238 A8E3FB00 4B117B58""")
        client = srp.SrpClient(b"alice", b"password123", n=n, g=2, hash_name="sha1", private=a)
        client.process_challenge(bytes.fromhex("BEB25379D1A8581EB5A727673A2441EE"), b_pub.to_bytes(128, "big"))
        self.assertEqual(client.premaster, hexint("""B0DC82BA BCF30674 AE450C02 87745E79 90A3381F 63B387AA F271A10D
            233861E3 59B48220 F7C4693C 9AE12B0A 6F67809F 0876E2D0 13800D6C 41BB59B6 D5979B5C 00A172B4 A2A5903A
            0BDCAF8A 709585EB 2AFAFA8F 3499B200 210DCC1F 10EB3394 3CD67FC8 8A2F39A4 BE5BEC4E C0A3212D C346D7E4
            74B29EDE 8A469FFE CA686E5A"""))

    def test_srp_exchange_with_leading_zero_bytes(self):
        # Private keys found by search so that A, B or S has a zero top byte (padded and minimal forms differ).
        for a, b, short in [(0x1234567, 0x7654321, []), ((1 << 255) + 68, 0x7654321, ["A"]),
                            (0x1234567, 1436, ["B"]), (0x1234567, 140, ["S"])]:
            client = srp.SrpClient(b"Pair-Setup", b"3939", private=a)
            server = SrpServer(salt=bytes(range(16)), private=b)
            proof = client.process_challenge(server.salt, server.public.to_bytes(384, "big"))
            sizes = {"A": client.public, "B": server.public, "S": client.premaster}
            self.assertEqual([k for k, v in sizes.items() if len(minimal(v)) < 384], short)
            self.assertRaises(srp.SrpError, client.verify_server, bytes(64))   # B = N: in test_negotiation
            client.verify_server(server.verify(client.public_bytes, proof))
            self.assertEqual((client.session_key, len(client.session_key)), (server.session_key, 64))

    def test_known_answers(self):
        """Bytes computed once with the cryptography library alone, from the labels and layouts in the notes."""
        self.assertEqual([k.hex() for k in hap_channel.control_keys(bytes(range(64)))],
                         ["5a6cb19bcbe7d4df2dd8279f39562f7fae2dbf73eb5a4f98849c245c82b2fe96",    # Control-Write
                          "c2f56f1912e2fc1f6604fd5bccab619272f687345aa4bce1c3c857421bd3b821"])   # Control-Read
        self.assertEqual([k.hex() for k in hap_channel.event_keys(bytes(range(64)))],
                         ["11954fc3044c580a9a64ed0b699039dfd0e7dd476eb78366ae160f2962708e18",    # Events-Read
                          "4ab337f2edc98d6a5dcdebc107b1aa174f3b24908a3780294fc94dc6983ee353"])   # Events-Write
        cipher = hap_channel.HapCipher(bytes(range(32)), bytes(32))
        cipher.seal(b"first")
        self.assertEqual(cipher.seal(b"GET /info").hex(), "0900d812a77f9a43c17e4686e743314e3ef3c829362bb5d1239a5d")
        sealer = audio_packets.AudioSealer(bytes(range(32)), first_counter=0x0102030405060708)
        header = packets.rtp_header(0x1FFFF, 0x101020304, 0x0A0B0C0D, True)
        self.assertEqual(sealer.seal(header, b"\x01\x02\x03\x04").hex(), "80e0ffff010203040a0b0c0d"
                         "f14baee0a19dcea74c7a7620dc5578d9843b03310807060504030201")
        self.assertEqual([binary_plist.clock_id_to_plist(c) for c in (2**63 - 1, 2**63, -1)], [2**63 - 1, -2**63, -1])


class FollowerTest(unittest.TestCase):
    def test_the_best_announced_clock_is_followed_once_its_estimate_is_ready(self):
        follower, seq = PtpFollower(), iter(range(1000))
        worse, good = ptp.Quality(248, 248, 0xFE, 0xFFFF, 248, 0xA0), ptp.Quality(128, 6, 0x21, 0x436A, 128, 0x20)

        def tick(local, gm, offset, *announce):
            for clock_id, quality in announce:
                follower.handle(ptp.announce(clock_id, next(seq), quality), local)
            n = next(seq)
            follower.handle(ptp.sync(gm, n), local)
            follower.handle(ptp.follow_up(gm, n, local - 200_000 + offset), local)
        for i in range(8):
            tick(10**9 + i * 125_000_000, 0xA, 10**12, *[(0xA, worse)] * (i % 8 == 0))
        self.assertEqual(follower.clock_id, 0xA)
        for i in range(8, 40):  # a better clock takes over; an even worse one is ignored
            tick(10**9 + i * 125_000_000, 0xB, 5 * 10**12, *[(0xB, good), (0xA, worse), (0xC, worse._replace(
                priority1=250))] * (i % 8 == 0))
            if i == 8:
                self.assertEqual((follower.clock_id, follower.at(1.125) // 10**9), (0xA, 1001), "no wait, no jump")
        self.assertEqual(follower.clock_id, 0xB)
        self.assertLess(abs(follower.at(6.0) - 6 * 10**9 - 5 * 10**12), 10**6)
        with self.assertLogs("pyatv.ptp.follower") as logged:  # a flood, each Announce beating the last: few lines
            for k in range(3000):
                clock_id = 0xD0 + k % 2 if k < 1000 else k
                follower.handle(ptp.announce(clock_id, k, good._replace(variance=9000 - k)), 6 * 10**9 + k)
        self.assertEqual(len(logged.output), 4, logged.output)

    def test_clock_estimate_follows_the_least_delayed_samples_and_a_confirmed_step(self):
        clock, offset, rate = FollowerClock(), 10**12, 1.00005
        for i in range(80):  # delays of 0.2 to 3.2 ms, the shortest last in every bucket of four (1 ms more 8 s ago)
            local = 10**9 + i * 125_000_000
            clock.add(int(local * rate) + offset - 200_000 - 1_000_000 * (3 - i % 4 + (i < 16)), local)
        local += 125_000_000
        self.assertLess(abs(clock.to_master(local) - int(local * rate) - offset + 200_000), 20_000)
        self.assertAlmostEqual(clock.rate, rate, delta=1e-6)
        ready = []
        for step in (20_000_000, 10**9, 10**9, 10**9):  # a lone outlier, then a step confirmed three times
            local += 125_000_000
            clock.add(clock.to_master(local) + step, local)
            ready.append((clock.steps, clock.ready))
        self.assertEqual(ready, [(0, True), (0, True), (0, True), (1, False)])


if __name__ == "__main__":
    unittest.main()
