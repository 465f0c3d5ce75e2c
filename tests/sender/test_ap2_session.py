"""The AirPlay 2 session against the fake receiver: pairing, encrypted RTSP, timing modes, audio, teardown."""

import time
import types
import unittest
from unittest import mock

from worker_support import tone
from fake_ap2_receiver import FEATURES_NO_PTP, FakeAirPlay2Receiver, FakeGrandmaster, udp_socket
from pyatv import session as s
from pyatv.airplay2 import hap_channel, protocol_choice as pc
from pyatv.airplay2 import session as session_module
from pyatv.airplay2.session import AirPlay2Session
from pyatv.ptp import time_announce
from pyatv.ptp.clock_ports import ClockSockets


def stream(session, seconds: float):
    """Sends a tone on a real-time schedule; returns its packets by sequence number."""
    sent, audio = {}, tone(seconds)
    start = time.monotonic() + 0.01
    for index in range(len(audio) // s.PACKET_BYTES):
        when = start + index * s.PACKET_SECONDS
        time.sleep(max(0.0, when - time.monotonic()))
        sent[session.seq] = audio[index * s.PACKET_BYTES:(index + 1) * s.PACKET_BYTES]
        session.send(sent[session.seq], when)
        session.poll(time.monotonic())
    return sent


class SessionTest(unittest.TestCase):
    def setUp(self):
        self.clock_sockets = ClockSockets(udp_socket("127.0.0.1"), udp_socket("127.0.0.1"))
        self.addCleanup(self.clock_sockets.close)

    def session(self, receiver, timing=pc.PTP_MASTER):
        session = AirPlay2Session(receiver.host, receiver.port, timing, clock_sockets=self.clock_sockets,
                                  peer_clock_ports=receiver.ptp_ports, timeout=2.0)
        self.addCleanup(session.close)
        return session

    def assert_bit_exact(self, receiver, sent):
        rendered = {seq: pcm for seq, (_, pcm, ok) in receiver.packets.items() if ok}
        self.assertGreater(len(rendered), len(sent) // 2)
        for seq, pcm in rendered.items():
            self.assertEqual(pcm, sent[seq], "packet %d" % seq)

    def test_ptp_master_session_end_to_end(self):
        with FakeAirPlay2Receiver() as receiver:
            session = self.session(receiver)
            session.connect()
            sent = stream(session, 2.6)
            first_seq = min(sent)
            receiver.request_resend(first_seq, 3)
            time.sleep(0.2)
            session.close()
            time.sleep(0.1)
            methods = receiver.methods()
            self.assertEqual(methods[:7], [("POST", "/pair-pin-start"), ("POST", "/pair-setup"),
                                           ("POST", "/pair-setup"), ("SETUP", session._uri),
                                           ("RECORD", session._uri), ("SETPEERS", session._uri),
                                           ("SETUP", session._uri)])
            self.assertEqual([m for m, _ in methods[-2:]], ["TEARDOWN", "TEARDOWN"])
            teardowns = [r for r in receiver.requests if r[0] == "TEARDOWN"]
            self.assertIn(b"streams", teardowns[0][4])
            self.assertEqual(teardowns[1][4], b"")
            self.assertTrue(all(encrypted for _, _, encrypted, _, _ in receiver.requests[3:]))
            self.assertIn(("POST", "/feedback"), methods)
            self.assertEqual(receiver.volume_answers, [(200, -15.0)])
            self.assertEqual(receiver.event_connections, 1)
            self.assertGreaterEqual(receiver.sender_syncs, 15)
            self.assertGreaterEqual(receiver.sender_announces, 2)
            self.assertEqual(receiver.decrypt_errors, 0)
            announces = [p for p in receiver.time_packets if p[1] == 0xD7]
            self.assertEqual(announces[0][0], 0x90)
            self.assertTrue(all(p[0] == 0x80 for p in announces[1:]))
            points = [time_announce.parse_time_announce(p) for p in announces]
            for frame, clock_ns, clock_id in points[1:]:
                self.assertEqual(clock_id, session.local_clock.clock_id)
                frames = (frame - points[0][0]) & 0xFFFFFFFF
                self.assertEqual(clock_ns - points[0][1], frames * 10 ** 9 // 44100, "one frozen line")
            self.assert_bit_exact(receiver, sent)
            # The resent packets were decrypted again: same bytes, same nonce, no error.
            self.assertEqual(receiver.decrypt_errors, 0)

    def test_no_output_without_a_clock(self):
        with FakeAirPlay2Receiver() as receiver:
            session = AirPlay2Session(receiver.host, receiver.port, pc.PTP_MASTER, clock_sockets=self.clock_sockets,
                                      peer_clock_ports=(9, 9), timeout=2.0)
            self.addCleanup(session.close)
            session.connect()
            sent = stream(session, 0.6)
            session.close()
            self.assertEqual(len(receiver.packets), len(sent))
            self.assertEqual(receiver.output(), b"")

    def test_follows_the_speakers_grandmaster(self):
        gm_id = 0xF0E1D2C3B4A59687
        with FakeAirPlay2Receiver(grandmaster_id=gm_id) as receiver:
            ports = (self.clock_sockets.event.getsockname()[1], self.clock_sockets.general.getsockname()[1])
            grandmaster = FakeGrandmaster(receiver, gm_id, ports)
            grandmaster.start()
            self.addCleanup(grandmaster.stop)
            session = self.session(receiver, pc.PTP_FOLLOW)
            started = time.monotonic()
            session.connect()
            self.assertLess(time.monotonic() - started, 2.5)
            sent = stream(session, 1.2)
            session.close()
            self.assertEqual((receiver.sender_syncs, receiver.sender_announces), (0, 0))
            announces = [p for p in receiver.time_packets if p[1] == 0xD7]
            frame, clock_ns, clock_id = time_announce.parse_time_announce(announces[0])
            self.assertEqual(clock_id, gm_id)
            # The anchor is in the speaker's uptime clock, not ours.
            self.assertLess(abs(clock_ns - grandmaster.now_ns()), 2 * 10 ** 9)
            self.assert_bit_exact(receiver, sent)

    def test_ntp_session_with_data_port_first(self):
        with FakeAirPlay2Receiver(features=FEATURES_NO_PTP, control_port_first=False) as receiver:
            session = self.session(receiver, pc.NTP)
            session.connect()
            sent = stream(session, 1.2)
            session.close()
            self.assertEqual(len(receiver.packets), len(sent))
            self.assertNotIn("SETPEERS", [m for m, _ in receiver.methods()])
            self.assertTrue(any(p[:2] == b"\x90\xd4" for p in receiver.time_packets))
            self.assert_bit_exact(receiver, sent)

    def test_refusals(self):
        original = hap_channel.control_keys
        swapped = lambda secret: tuple(reversed(original(secret)))
        cases = [("wrong PIN", {"pin": b"1234"}, None, pc.PTP_MASTER, s.PairingRequired),
                 ("NTP session refused", {"refuse_ntp": True}, None, pc.NTP, s.ProtocolError),
                 ("wrong channel keys", {}, swapped, pc.PTP_MASTER, s.NoResponse)]
        for name, behaviour, keys, timing, error in cases:
            with self.subTest(name), FakeAirPlay2Receiver(**behaviour) as receiver:
                session = self.session(receiver, timing)
                channel = types.SimpleNamespace(**vars(hap_channel))
                channel.control_keys = keys or hap_channel.control_keys
                with mock.patch.object(session_module, "hap_channel", channel):
                    with self.assertRaises(error):
                        session.connect()
                session.close()
                if name == "wrong PIN":
                    self.assertNotIn("SETUP", [m for m, _ in receiver.methods()])
                if name == "wrong channel keys":
                    self.assertEqual(receiver.closed_on_bad_frame, 1)


if __name__ == "__main__":
    unittest.main()
