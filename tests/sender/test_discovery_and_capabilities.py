"""Speaker names, addresses, TXT capabilities, SDP and error messages."""

from __future__ import annotations

import unittest

import worker_support  # noqa: F401
from pyatv import discovery, errors
from pyatv import session as s
from pyatv.raop.sdp import alac_sdp
from pyatv.raop.txt import check_capabilities

SHAIRPORT_TXT = {"sf": "0x4", "am": "ShairportSync", "tp": "TCP,UDP", "ss": "16",
                 "sr": "44100", "et": "0,1", "cn": "0,1", "ch": "2", "pw": "false"}
HOMEPOD_TXT = {"cn": "0,1,2,3", "et": "0,3,5", "sf": "0x404", "tp": "UDP",
               "am": "AudioAccessory5,1"}


class NameTest(unittest.TestCase):
    def test_name_is_what_follows_the_first_at(self):
        cases = [
            ("749E19CA5C6A@卧室", "卧室"),
            ("D4909CDF6D6F@LRPod", "LRPod"),
            ("AABBCCDDEEFF@Tom@Home", "Tom@Home"),
            ("AABBCCDDEEFF@", ""),
            ("NoPrefix", "NoPrefix"),
            ("AABBCCDDEEFF@客厅 Speaker ", "客厅 Speaker "),
        ]
        for label, name in cases:
            with self.subTest(label):
                self.assertEqual(discovery.speaker_name(label), name)

    def test_ipv4_is_preferred(self):
        cases = [
            (["fe80::1%2", "10.77.0.2"], "10.77.0.2"),
            (["2001:db8::5", "fe80::1"], "2001:db8::5"),
            (["169.254.3.3", "fe80::1", "192.168.1.9"], "192.168.1.9"),
            ([], None),
        ]
        for addresses, want in cases:
            with self.subTest(addresses):
                self.assertEqual(discovery.pick_address(addresses), want)

    def test_os_warning_only_from_27_on(self):
        cases = [({"osvers": "27.0", "model": "AudioAccessory5,1"}, True),
                 ({"osvers": "26.6"}, False), ({"osvers": "junk"}, False), (None, False)]
        for txt, warns in cases:
            with self.subTest(txt):
                speaker = discovery.Speaker("卧室", "10.0.0.2", 7000, airplay_txt=txt)
                self.assertEqual(discovery.os_warning(speaker) is not None, warns)


class CapabilityTest(unittest.TestCase):
    def test_records(self):
        cases = [
            ("shairport-sync", SHAIRPORT_TXT, None),
            ("HomePod", HOMEPOD_TXT, None),
            ("nothing advertised", {}, None),
            ("TCP only", {"tp": "TCP"}, s.UnsupportedSpeaker),
            ("encryption only", {"et": "3,5"}, s.UnsupportedSpeaker),
            ("48 kHz", {"sr": "48000"}, s.FormatRefused),
            ("no ALAC", {"cn": "0,2"}, s.FormatRefused),
            ("password flag", {"pw": "true"}, s.PasswordRequired),
            ("password status bit", {"sf": "0x84"}, s.PasswordRequired),
            ("PIN", {"sf": "0x8"}, s.PairingRequired),
            ("legacy pairing", {"sf": "0x204"}, s.PairingRequired),
            ("unreadable flags", {"sf": "zz"}, None),
        ]
        for label, txt, error in cases:
            with self.subTest(label):
                if error is None:
                    check_capabilities(txt)
                else:
                    self.assertRaises(error, check_capabilities, txt)


class SdpTest(unittest.TestCase):
    def test_alac_announce(self):
        sdp = alac_sdp(12345, "10.77.0.1", "10.77.0.2").decode()
        self.assertEqual(sdp.split("\r\n"), [
            "v=0", "o=iTunes 12345 0 IN IP4 10.77.0.1", "s=iTunes", "c=IN IP4 10.77.0.2",
            "t=0 0", "m=audio 0 RTP/AVP 96", "a=rtpmap:96 AppleLossless",
            "a=fmtp:96 352 0 16 40 10 14 2 255 0 0 44100", ""])
        self.assertNotIn("rsaaeskey", sdp)
        self.assertNotIn("aesiv", sdp)
        self.assertIn("c=IN IP6 fe80::2", alac_sdp(1, "fe80::1", "fe80::2").decode())


class MessageTest(unittest.TestCase):
    def test_every_cause_has_its_own_message_naming_the_speaker(self):
        causes = [c for c in vars(s).values()
                  if isinstance(c, type) and issubclass(c, s.SenderError) and c is not s.SenderError]
        texts = {}
        for cause in causes:
            with self.subTest(cause.__name__):
                text = errors.message_for(cause("x", address="1.2.3.4:5", status=451), "卧室")
                self.assertIn("卧室", text)
                self.assertFalse(text.endswith("。"), "the application appends the retry notice")
                self.assertNotIn("{", text)
                texts[text] = cause
        self.assertEqual(len(texts), len(causes))
        self.assertIn("1.2.3.4:5", errors.message_for(s.Unreachable(address="1.2.3.4:5"), "a"))
        self.assertIn("发送器内部错误", errors.message_for(KeyError("k"), "卧室"))


if __name__ == "__main__":
    unittest.main()
