"""Which receivers get AirPlay 2, and with which clock."""

import unittest
from unittest import mock

import worker_support  # noqa: F401  (puts the package on the path)

from pyatv import discovery, errors
from pyatv import session as s
from pyatv.airplay2 import protocol_choice as pc, selection

HOMEPOD_27 = {"model": "AudioAccessory5,1", "igl": "1", "gcgl": "1", "flags": "0x98404", "osvers": "27.0",
              "features": "0x4A7FCA00,0x3C356BD0"}


def without(txt, *keys):
    return {k: v for k, v in txt.items() if k not in keys}


class ProtocolChoiceTest(unittest.TestCase):
    def test_features(self):
        cases = [("0x4A7FCA00,0x3C356BD0", 0x3C356BD04A7FCA00), ("0x5A7FFFF7,0x1E", 0x1E5A7FFFF7),
                 ("0x445F8A00,0x1C340", 0x1C340445F8A00), ("0x4A7FCA00", 0x4A7FCA00), ("", 0), (None, 0),
                 ("garbage", 0), (" 0x1 , 0x2 ", 0x200000001)]
        for text, value in cases:
            with self.subTest(text=text):
                self.assertEqual(pc.parse_features(text), value)

    def test_choice_table(self):
        bit38 = "0x0,0x40"
        bit48 = "0x0,0x10000"
        ptp48 = "0x0,0x10200"
        cases = [
            ("RAOP only receiver", None, {"ft": "0x5A7FFFF7,0x1E"}, True, pc.Choice(pc.RAOP)),
            ("no features at all", None, {}, True, pc.Choice(pc.RAOP)),
            ("bit 38 only", {"features": bit38}, None, False, pc.Choice(pc.AIRPLAY2, pc.NTP)),
            ("bit 48 via raop ft", None, {"ft": bit48}, False, pc.Choice(pc.AIRPLAY2, pc.NTP)),
            ("PTP receiver with clock ports", {"features": ptp48}, None, True, pc.Choice(pc.AIRPLAY2, pc.PTP_MASTER)),
            ("PTP receiver without clock ports", {"features": ptp48}, None, False, pc.Choice(pc.AIRPLAY2, pc.NTP)),
            ("standalone HomePod 27", HOMEPOD_27, None, True, pc.Choice(pc.AIRPLAY2, pc.PTP_FOLLOW)),
            ("standalone HomePod 27.1", dict(HOMEPOD_27, osvers="27.1.2"), None, True,
             pc.Choice(pc.AIRPLAY2, pc.PTP_FOLLOW)),
            ("standalone HomePod 27, no helper", HOMEPOD_27, None, False,
             pc.Choice(pc.AIRPLAY2, pc.NTP, pc.CLOCK_HELPER_MISSING)),
            ("HomePod 26", dict(HOMEPOD_27, osvers="26.6"), None, True, pc.Choice(pc.AIRPLAY2, pc.PTP_MASTER)),
            ("HomePod in an Apple TV group", dict(HOMEPOD_27, pgid="ABC"), None, True,
             pc.Choice(pc.AIRPLAY2, pc.PTP_MASTER)),
            ("stereo pair", dict(HOMEPOD_27, tsid="ABC"), None, False, pc.Choice(pc.AIRPLAY2, pc.NTP)),
            ("not group leader", dict(HOMEPOD_27, igl="0"), None, True, pc.Choice(pc.AIRPLAY2, pc.PTP_MASTER)),
            ("Apple TV on 27", dict(HOMEPOD_27, model="AppleTV14,1"), None, True,
             pc.Choice(pc.AIRPLAY2, pc.PTP_MASTER)),
            ("unreadable osvers", without(HOMEPOD_27, "osvers"), None, True, pc.Choice(pc.AIRPLAY2, pc.PTP_MASTER)),
        ]
        for name, airplay_txt, raop_txt, ports, expected in cases:
            with self.subTest(name):
                self.assertEqual(pc.choose(airplay_txt, raop_txt, ports), expected)


class SelectionTest(unittest.TestCase):
    def test_standalone_homepod_27_without_clock_ports_is_an_error_not_a_silent_session(self):
        standalone = discovery.Speaker(name="客厅", address="192.0.2.7", port=7000, airplay_txt=dict(HOMEPOD_27),
                                       raop_txt={"ft": HOMEPOD_27["features"]})
        grouped = discovery.Speaker(name="厨房", address="192.0.2.8", port=7000, airplay_txt=dict(HOMEPOD_27, pgid="X"))
        with mock.patch.object(selection.clock_ports, "open_clock_sockets", return_value=None), \
                mock.patch.dict(selection._clock_sockets, {"opened": False, "sockets": None}):
            self.assertEqual(selection.airplay2_session(grouped).timing, pc.NTP)
            with self.assertRaises(s.ClockHelperMissing) as raised:
                selection.airplay2_session(standalone)
        message = errors.message_for(raised.exception, standalone.name)
        self.assertIn("客厅", message)
        self.assertIn("时钟辅助程序", message)


if __name__ == "__main__":
    unittest.main()
