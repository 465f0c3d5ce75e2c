"""The AirPlay 2 session, and the whole worker, against the fake receiver and its scripted grandmaster."""

import plistlib
import threading
import time
import types
import unittest

from worker_support import Worker, longest_bit_exact_run, ramp, ramp_index, tone, udp_socket
from fake_ap2_receiver import FakeAirPlay2Receiver, FakeGrandmaster
from test_negotiation import Advertised, record
from pyatv import session as s
from pyatv.discovery import AIRPLAY_TYPE
from pyatv.group import Group
from pyatv.airplay2 import protocol_choice as pc, selection
from pyatv.airplay2.session import AirPlay2Session
from pyatv.ptp.clock import LocalClock
from pyatv.ptp.clock_hub import ClockHub
from pyatv.ptp.clock_ports import ClockSockets


def stream(session, seconds: float):
    """Sends a tone on a real-time schedule; returns its packets by sequence number, and when it began."""
    sent, audio = {}, tone(seconds)
    start = time.monotonic() + 0.01
    for index in range(len(audio) // s.PACKET_BYTES):
        when = start + index * s.PACKET_SECONDS
        time.sleep(max(0.0, when - time.monotonic()))
        sent[session.stream.seq] = audio[index * s.PACKET_BYTES:(index + 1) * s.PACKET_BYTES]
        session.send(sent[session.stream.seq], when)
        session.poll(time.monotonic())
    return sent, start


class TwoSpeakers:
    """A group of two advertised fake receivers on one clock hub (one local address faces both): with ``ppms``, each
    has its own grandmaster running that fast, which the sender follows; without, both follow our clock."""
    HOSTS = {"卧室": "127.0.0.2", "客厅": "127.0.0.3"}

    def __init__(self, ppms=None):
        self.sockets = ClockSockets(udp_socket(), udp_socket())
        self.hub, self.ppms, self.fakes = ClockHub(self.sockets, LocalClock()), ppms, {n: [] for n in self.HOSTS}
        self.browser = Advertised(*[record(AIRPLAY_TYPE, n, None, 7000, h) for n, h in self.HOSTS.items()])
        self.browser.appearances = {None: 0}
        list(map(self.start, self.HOSTS))
        self.group = Group(list(self.HOSTS), types.SimpleNamespace(speakers_changed=lambda: None), self.browser,
                           "airplay2", lambda sp: AirPlay2Session(
                               sp.address, self.fakes[sp.name][-1].port, pc.PTP_FOLLOW if ppms else pc.PTP_MASTER,
                               clock_hub=self.hub, peer_clock_ports=self.fakes[sp.name][-1].ptp_ports, timeout=2.0))

    def start(self, name):  # (re)started: advertised anew
        self.fakes[name].append(FakeAirPlay2Receiver(host=self.HOSTS[name]))
        self.browser.appearances[None] += 1
        if self.ppms:
            FakeGrandmaster(self.fakes[name][-1], 0xF0E1D2C3B4A59680 + self.browser.appearances[None], [
                sock.getsockname()[1] for sock in self.sockets], ppm=self.ppms[list(self.HOSTS).index(name)]).start()

    def play(self, seconds, events=()):
        """A ramp on a real-time schedule; ``events``: (seconds in, action) on a timer thread."""
        self.group.connect()
        start = time.monotonic() + 0.01
        [threading.Timer(at, action).start() for at, action in events]
        for i in range(int(seconds / s.PACKET_SECONDS)):
            time.sleep(max(0.0, start + i * s.PACKET_SECONDS - time.monotonic()))
            self.group.send(ramp(s.PACKET_SECONDS, i * s.FRAMES_PER_PACKET), start + i * s.PACKET_SECONDS)
            self.group.poll(time.monotonic())
        time.sleep(0.3)
        self.group.close()
        [fakes[-1].close() for fakes in self.fakes.values()]

    def played(self, name):
        """Frame index -> (when it played in ms, its PCM), over every receiver of that name."""
        return {ramp_index(pcm, 0): (fake.local(fake.plays[seq]) / 1e6, pcm) for fake in self.fakes[name]
                for seq, (_, pcm, _) in fake.packets.items() if seq in fake.plays}

    def offsets_ms(self):
        """卧室's time minus 客厅's for each frame both played, in the ramp's order; checked bit-exact first."""
        both = [self.played(name) for name in self.HOSTS]
        assert all(p == ramp(s.PACKET_SECONDS, i) for played in both for i, (_, p) in played.items()), "bit-exact"
        return [both[0][i][0] - both[1][i][0] for i in sorted(both[0].keys() & both[1].keys())]


class SessionTest(unittest.TestCase):
    def setUp(self):
        self.clock_sockets = ClockSockets(udp_socket(), udp_socket())
        self.hub = ClockHub(self.clock_sockets, LocalClock())
        self.addCleanup(self.clock_sockets.close)

    def session(self, receiver, timing=pc.PTP_MASTER):
        session = AirPlay2Session(receiver.host, receiver.port, timing, clock_hub=self.hub,
                                  peer_clock_ports=receiver.ptp_ports, timeout=2.0)
        self.addCleanup(session.close)
        return session

    def assert_played(self, receiver, sent):
        self.assertEqual(receiver.faults, [])
        rendered = {seq: pcm for seq, (_, pcm, ok) in receiver.packets.items() if ok}
        self.assertGreater(len(rendered), len(sent) // 2)
        for seq, pcm in rendered.items():
            self.assertEqual(pcm, sent[seq], "packet %d" % seq)

    def test_ptp_master_session_end_to_end(self):
        with FakeAirPlay2Receiver(statuses={"/pair-pin-start": 999}) as receiver:  # any answer to it will do
            session = self.session(receiver)
            session.connect()
            sent, _ = stream(session, 2.6)
            session.close()
            syncs = len(receiver.sender_syncs)
            time.sleep(0.3)
            methods = receiver.methods()
            self.assertEqual(methods[:3], [("POST", "/pair-pin-start")] + [("POST", "/pair-setup")] * 2)
            self.assertEqual([m for m, _ in methods[3:7] + methods[-2:]],
                             ["SETUP", "RECORD", "SETPEERS", "SETUP", "TEARDOWN", "TEARDOWN"])
            self.assertEqual(len({u for m, u in methods[3:] if m != "POST"}), 1, "one session URI")
            self.assertIn(("POST", "/feedback"), methods)
            self.assertEqual([b"streams" in r[4] for r in receiver.requests if r[0] == "TEARDOWN"], [True, False])
            self.assertTrue(all(encrypted for _, _, encrypted, _, _ in receiver.requests[3:]))
            self.assertEqual((receiver.volume_answers, receiver.event_replies), ([(200, -15.0)], 1))
            self.assertTrue(syncs >= 15 and receiver.sender_announces >= 2)
            self.assertIn(receiver.sender_syncs, (list(range(syncs)), list(range(syncs + 1))), "one by one, then none")
            self.assertTrue(receiver.control_closed, "RTSP closed after TEARDOWN")
            self.assertEqual([p[0] for p in receiver.time_packets], [0x90] + [0x80] * (len(receiver.time_packets) - 1))
            self.assert_played(receiver, sent)

    def test_follows_the_speakers_grandmaster_through_a_restart_and_gives_up_a_clock_that_stops(self):
        with FakeAirPlay2Receiver() as receiver:
            master = FakeGrandmaster(receiver, 0xF0E1D2C3B4A59687, [c.getsockname()[1] for c in self.clock_sockets])
            master.start()
            self.addCleanup(master.stop)
            session = self.session(receiver, pc.PTP_FOLLOW)
            session.connect()
            # The speaker restarts 1 s in: a new identity, its uptime clock 777 s on; 4.5 s in, under the same id.
            threading.Timer(1.0, master.restart, [0xF1E1D2C3B4A59687, 777 * 10**9]).start()  # ranked after the old
            threading.Timer(4.5, master.restart, [0xF1E1D2C3B4A59687, 100 * 10**9]).start()
            sent, started = stream(session, 8.0)
            time.sleep(0.2)
            self.assertEqual((receiver.sender_syncs, receiver.sender_announces), ([], 0))
            self.assert_played(receiver, sent)
            seqs = list(sent)
            for begin, end in zip(master.restarts, master.restarts[1:] + [started + 8.0]):  # plays again within 3 s
                window = seqs[int((begin + 3.0 - started) / s.PACKET_SECONDS):int((end - started) / s.PACKET_SECONDS)]
                self.assertTrue(window and all(receiver.packets[seq][2] for seq in window), "plays again within 3 s")
            master.stop()
            with self.assertRaises(s.ClockLost):   # the speaker's clock cannot be followed: it plays nothing
                stream(session, 4.0)

    def test_two_speakers_play_in_step_on_their_own_clocks_or_ours_and_one_restarted_comes_back(self):
        for ppms in ((-50, 50), None):
            with self.subTest(ppms=ppms):
                pair = TwoSpeakers(ppms)
                pair.play(16.0, [(4.0, lambda: pair.fakes["客厅"][-1].close()), (5.5, lambda: pair.start("客厅"))])
                offsets, bedroom = pair.offsets_ms(), sorted(pair.played("卧室"))
                drift = sum(offsets[-300:]) / 300 - sum(offsets[:300]) / 300  # about 12 s apart
                self.assertTrue(len(offsets) > 1000 and max(map(abs, offsets)) < 5 and abs(drift) < 0.5, offsets[::100])
                self.assertEqual({b - a for a, b in zip(bedroom, bedroom[1:])}, {s.FRAMES_PER_PACKET}, "never stops")
                self.assertGreater(len(pair.fakes["客厅"][-1].plays), 5 / s.PACKET_SECONDS, "back by itself")
                told = [plistlib.loads(r[4]) for r in pair.fakes["卧室"][0].requests if r[0] == "SETPEERS"]
                both, alone = ["127.0.0.2", "127.0.0.3", "127.0.0.1"], ["127.0.0.2", "127.0.0.1"]
                self.assertEqual(told[-3:], [alone] if ppms else [both, alone, both], "who else is on our clock")

    def test_refusals(self):
        cases = [("wrong PIN", {"pin": b"1234"}, pc.PTP_MASTER, s.PairingRequired),
                 ("other channel keys", {"wrong_keys": True}, pc.PTP_MASTER, s.NoResponse),
                 ("pair-setup answered 470", {"statuses": {"/pair-setup": 470}}, pc.PTP_MASTER, s.PairingRequired)]
        for name, behaviour, timing, error in cases:
            with self.subTest(name), FakeAirPlay2Receiver(**behaviour) as receiver:
                session = self.session(receiver, timing)
                with self.assertRaises(error):
                    session.connect()
                session.close()
                self.assertEqual({"SETUP", "TEARDOWN"} & {m for m, _ in receiver.methods()}, set())

    def test_info_of_a_speaker_given_by_address_read_as_its_advertisement(self):
        for features, flags in (("0x0,0x0", "0x0"), ("0xFFFFFFFF,0xFFFFFFFF", "0xFFFFFFFFFFFFFFFF")):
            with FakeAirPlay2Receiver(features=features, status_flags=int(flags, 16)) as rx:
                self.assertEqual(selection.info_as_txt(rx.host, rx.port), {"features": features, "flags": flags})

    def test_worker_tone_arrives_bit_exact_over_ntp(self):
        with FakeAirPlay2Receiver(control_port_first=False) as receiver:
            worker = Worker("卧室", "--address", "127.0.0.1:%d" % receiver.port, "--protocol", "airplay2")
            self.addCleanup(worker.kill)
            self.assertEqual(worker.wait_state("ready", 15)["latency_ms"], 2000)  # 77175 + 11025 frames
            sent = tone(4.0)  # room for a clean 2 s stretch even if the feeder stalls once under load
            worker.feed(sent + bytes(88200))  # and 0.5 s of silence
            worker.wait_state("playing", 5)
            worker.wait_feeding(10)
            time.sleep(0.5)
            worker.close_input()
            self.assertEqual((worker.wait(10), worker.states()[-1]), (0, "playing"), worker.log())
            methods = [m for m, _ in receiver.methods()]
            self.assertEqual((methods[-2:], "SETPEERS" in methods, receiver.faults), (["TEARDOWN"] * 2, False, []))
            self.assertEqual(receiver.time_packets[0][:2], b"\x90\xd4")
            self.assertGreaterEqual(longest_bit_exact_run(sent, receiver.output()), 2 * 44100, worker.log())


if __name__ == "__main__":
    unittest.main()
