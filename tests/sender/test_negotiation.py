"""Negotiation failures and choices: malformed replies, SIGTERM while a speaker is slow, a non-UTF-8 locale, the
protocol choice, and speakers told apart by device id."""

import signal
import threading
import time
import unittest

from worker_support import LoopbackServer, Worker
from fake_ap2_receiver import FakeAirPlay2Receiver, N
from pyatv import discovery, errors, occupancy, session as s
from pyatv.airplay2 import protocol_choice as pc
from pyatv.airplay2.session import AirPlay2Session
from pyatv.raop.session import RaopSession

NAME = "卧室"
TRANSPORT = "Transport: RTP/AVP/UDP;unicast;mode=record;server_port=%s;control_port=6001;timing_port=6002"


class ScriptedRaop(LoopbackServer):
    """Answers OPTIONS, ANNOUNCE and SETUP like shairport-sync, each after ``delay`` seconds; ``raw`` replaces
    every answer's bytes, ``server_port`` goes into the SETUP Transport, ``refuse`` answers ANNOUNCE with it."""

    def __init__(self, raw: bytes = None, server_port="6003", delay=0.0, refuse=None):
        self.raw, self.server_port, self.delay, self.refuse, self.methods = raw, server_port, delay, refuse, []
        super().__init__(listeners=1, udp=0)

    def serve(self, _listener, conn):
        with conn:
            for method, _, headers, _ in self.requests_on(conn):
                self.methods.append(method)
                time.sleep(self.delay)
                status = self.refuse if self.refuse and method == "ANNOUNCE" else 200
                extra = [TRANSPORT % self.server_port, "Session: 1"] if method == "SETUP" else []
                conn.sendall(self.raw or self.reply(status, "OK", headers.get("cseq", "0"), extra))


class MalformedReplyTest(unittest.TestCase):
    def test_each_malformed_reply_is_the_speakers_protocol_error(self):
        big_b = (1 << 3072).to_bytes(385, "big")
        cases = [("status line not RTSP", lambda: ScriptedRaop(raw=b"SSH-2.0-OpenSSH_9.2\r\n\r\n"), "OPTIONS"),
                 ("port not a number", lambda: ScriptedRaop(server_port="x1"), "SETUP"),
                 ("port out of range", lambda: ScriptedRaop(server_port="99999"), "SETUP"),
                 ("stream port infinite", lambda: FakeAirPlay2Receiver(stream_reply={"dataPort": float("inf")}),
                  "SETUP"),
                 ("stream port text", lambda: FakeAirPlay2Receiver(stream_reply={"controlPort": "7000"}), "SETUP"),
                 ("stream latency infinite",
                  lambda: FakeAirPlay2Receiver(stream_reply={"arrivalToRenderLatencyMs": float("inf")}), "SETUP"),
                 ("ClockID not an integer",
                  lambda: FakeAirPlay2Receiver(session_reply={"timingPeerInfo": {"ClockID": 1.5}}), "SETUP"),
                 ("B = 2^3072", lambda: FakeAirPlay2Receiver(server_public=big_b), "pair-setup"),
                 ("B = N", lambda: FakeAirPlay2Receiver(server_public=N.to_bytes(384, "big")), "pair-setup")]
        for name, receiver, step in cases:
            with self.subTest(name), receiver() as rx:
                session = (RaopSession(rx.host, rx.port, timeout=2.0) if isinstance(rx, ScriptedRaop) else
                           AirPlay2Session(rx.host, rx.port, pc.NTP, timeout=2.0))
                with self.assertRaises(s.ProtocolError) as caught:
                    session.connect()
                session.close()
                message = errors.message_for(caught.exception, NAME)
                self.assertTrue(message.startswith("“卧室”返回了无法处理的应答") and step in message, message)


class WorkerStopAndLocaleTest(unittest.TestCase):
    def test_sigterm_while_the_speaker_is_slow_ends_the_worker_without_ready(self):
        cases = [("RAOP, each reply 2 s late", lambda: ScriptedRaop(delay=2.0), "raop",
                  lambda rx: "ANNOUNCE" in rx.methods),
                 ("AirPlay 2 event port refused, tried again", lambda: FakeAirPlay2Receiver(events_closed=True),
                  "airplay2", lambda rx: ("SETUP", "rtsp") in [(m, u[:4]) for m, u in rx.methods()])]
        for name, receiver, protocol, waiting in cases:
            with self.subTest(name), receiver() as rx:
                worker = Worker(NAME, "--address", "127.0.0.1:%d" % rx.port, "--protocol", protocol)
                self.addCleanup(worker.kill)
                deadline = time.monotonic() + 10
                while not waiting(rx) and time.monotonic() < deadline:
                    time.sleep(0.02)
                worker.proc.send_signal(signal.SIGTERM)
                # Well before the slow speaker's next answer or the next event-port attempt would come.
                self.assertEqual(worker.wait(1.5), 0, worker.log())
                self.assertNotIn("ready", worker.states())

    def test_a_non_utf8_locale_still_names_the_speaker(self):
        with ScriptedRaop(refuse=415) as rx:
            worker = Worker(NAME + "\udcff", "--address", "127.0.0.1:%d" % rx.port,
                            env={"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"})
            self.addCleanup(worker.kill)
            message = worker.wait_state("error", 10)["message"]
            self.assertEqual((worker.wait(5), message.split("”")[0]), (1, "“卧室\ufffd"), worker.log())


HOMEPOD_27 = {"model": "AudioAccessory5,1", "igl": "1", "gcgl": "1", "flags": "0x98404", "osvers": "27.0",
              "features": "0x4A7FCA00,0x3C356BD0"}


class ChoiceTest(unittest.TestCase):
    def test_choice_table(self):
        ptp48, raop = {"features": "0x0,0x10200"}, {"ft": "0x0,0x10200"}
        master, follow = pc.Choice(pc.AIRPLAY2, pc.PTP_MASTER), pc.Choice(pc.AIRPLAY2, pc.PTP_FOLLOW)
        no_ports, raop_instead = (pc.Choice(p, None, pc.NO_CLOCK_PORTS) for p in (pc.AIRPLAY2, pc.RAOP))
        cases = [
            ("RAOP only receiver", None, {"ft": "0x5A7FFFF7,0x1E"}, True, pc.Choice(pc.RAOP)),
            ("AirPlay 2 without PTP: NTP", {"features": "0x0,0x40"}, None, False, pc.Choice(pc.AIRPLAY2, pc.NTP)),
            ("PTP receiver with clock ports", ptp48, raop, True, master),
            ("PTP receiver playing RAOP, no ports: AirPlay 1", ptp48, raop, False, raop_instead),
            ("PTP receiver without RAOP, no ports: never NTP", ptp48, None, False, no_ports),
            ("standalone HomePod 27.1", dict(HOMEPOD_27, osvers="27.1.2"), raop, True, follow),
            ("standalone HomePod 27, no ports", HOMEPOD_27, raop, False, no_ports),
            ("HomePod 27 pair, no ports: RAOP is silent", dict(HOMEPOD_27, tsid="A"), raop, False, no_ports),
            ("HomePod 26, no ports", dict(HOMEPOD_27, osvers="26.6"), raop, False, raop_instead),
            ("HomePod in an Apple TV group", dict(HOMEPOD_27, pgid="ABC"), raop, True, master)]
        for name, airplay_txt, raop_txt, ports, expected in cases:
            self.assertEqual(pc.choose(airplay_txt, raop_txt, ports), expected, name)


class Advertised:
    """What a browse heard, for the discovery logic (the real browse runs against shairport-sync)."""
    appearances = {}
    def __init__(self, *records): self.records = list(records)
    def snapshot(self): return self.records
    def wait(self, seconds): time.sleep(seconds)


def record(kind, name, device, port, address, **txt):
    return discovery.Record(kind, name, discovery.normal_id(device), port, [address], txt)


class DiscoveryTest(unittest.TestCase):
    def test_namesakes_are_told_apart_by_device_id(self):
        heard = Advertised(
            record(discovery.AIRPLAY_TYPE, NAME, "bb:bb:bb:bb:bb:01", 7000, "10.0.0.9", osvers="27.0",
                   model="AudioAccessory5,1", deviceid="BB:BB:BB:BB:BB:01"),
            record(discovery.RAOP_TYPE, NAME, "AAAAAAAAAA01", 5000, "10.0.0.5", sf="0x4"),
            record(discovery.RAOP_TYPE, NAME, "BBBBBBBBBB01", 7000, "10.0.0.9", sf="0x4"),
            record(discovery.AIRPLAY_TYPE, "书房", None, 7000, "10.0.0.7", model="AudioAccessory1,1"))
        with self.assertLogs("pyatv.discovery", "WARNING") as logged:
            speaker = discovery.find_speaker(heard, NAME, timeout=1)
        self.assertIn("2 speakers are called", logged.output[0])
        self.assertEqual((speaker.address, speaker.airplay_txt), ("10.0.0.5", None), "AirPlay TXT of the other")
        self.assertEqual(sorted(map(str, discovery.listing(heard, 0))), sorted(map(str, [
            {"name": NAME, "airplay2": True, "id": "BB:BB:BB:BB:BB:01"},
            {"name": NAME, "airplay2": False, "id": "AA:AA:AA:AA:AA:01"}, {"name": "书房", "airplay2": True}])))


class Dropping(s.Session):
    """Connects at once; ``poll`` raises what ``drop`` holds."""
    drop = None
    def connect(self): pass
    def send(self, pcm, when): pass
    def poll(self, now):
        if self.drop:
            raise self.drop
    def close(self): pass


class YieldingTest(unittest.TestCase):
    def test_a_speaker_showing_its_session_tells_preemption_from_a_drop_and_when_it_is_free(self):
        occupancy.SETTLE, shown = 0.1, []
        airplay = record(discovery.AIRPLAY_TYPE, NAME, "AA:AA:AA:AA:AA:01", 7000, "10.0.0.5", flags="0x4")
        policy = occupancy.Yielding(type("R", (), {"busy": lambda _, text: shown.append(text)})(), NAME,
                                    Advertised(airplay), discovery.Speaker(NAME, "", 0, device_id=airplay.device_id))
        for flags_after, outcome in [("0x4", s.ClosedBySpeaker), ("0x804", s.Preempted)]:
            session = policy.wrap(inner := Dropping())
            session.connect()
            airplay.txt["flags"] = "0x804"   # our own session, shown
            session.poll(time.monotonic() + 10)
            airplay.txt["flags"], inner.drop = flags_after, s.ClosedBySpeaker("closed")
            with self.assertRaises(s.ClosedBySpeaker) as caught:
                session.poll(time.monotonic())
            self.assertIsInstance(verdict := session.lost(caught.exception), outcome)   # once the stream has stopped
        self.assertRaises(s.SpeakerBusy, policy.wrap(Dropping()).connect)   # not taken while another holds it
        threading.Timer(0.3, airplay.txt.update, [{"flags": "0x4"}]).start()
        give_up = time.monotonic() + 5
        self.assertTrue(verdict.wait_until_free(lambda: time.monotonic() > give_up, lambda grace: None))
        self.assertEqual(shown, ["“卧室”已被其他设备接管；它空闲后或重新开始转发时再连接"])

if __name__ == "__main__":
    unittest.main()
