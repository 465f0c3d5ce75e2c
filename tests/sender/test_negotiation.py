"""Negotiation failures and choices: hostile replies, SIGTERM while a speaker is slow, a non-UTF-8 locale, the
protocol choice, and speakers told apart by device id."""

import contextlib
import json
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import types
import unittest

from worker_support import SOURCE_DIR, VENDOR, LoopbackServer, Worker
from test_fake_receiver import FakeReceiver
from fake_ap2_receiver import FakeAirPlay2Receiver, N
from pyatv import discovery, occupancy, session as s
from pyatv.contract import Reporter
from pyatv.group import Group
from pyatv.pcm_input import PcmInput
from pyatv.streamer import Streamer
from pyatv.airplay2 import protocol_choice as pc

NAME = "卧室"
TRANSPORT = "Transport: RTP/AVP/UDP;unicast;mode=record;server_port=%s;control_port=6001;timing_port=6002"


class ScriptedRaop(LoopbackServer):
    """Answers each request like shairport-sync after ``delay`` seconds, with the header line given for its method
    (``SETUP`` a Transport, ``RECORD`` ...); ``raw`` replaces every answer's bytes, ``refuse`` answers ANNOUNCE with
    it."""

    def __init__(self, raw: bytes = None, delay=0.0, refuse=None, **headers):
        self.raw, self.delay, self.refuse, self.methods = raw, delay, refuse, []
        self.headers = {"SETUP": TRANSPORT % "6003", **headers}
        super().__init__(listeners=1, udp=0)

    def serve(self, _listener, conn):
        with conn, contextlib.suppress(OSError):  # the worker may close on a reply it will not read to its end
            for method, _, headers, _ in self.requests_on(conn):
                self.methods.append(method)
                time.sleep(self.delay)
                status = self.refuse if self.refuse and method == "ANNOUNCE" else 200
                extra = [self.headers[method]] if method in self.headers else []
                conn.sendall(self.raw or self.reply(status, "OK", headers.get("cseq", "0"), extra + ["Session: 1"]))


class BoundedReplyTest(unittest.TestCase):
    """Whatever a speaker answers, the worker ends in bounded time and memory with one error line that names the
    speaker's fault, and quotes no more than a short stretch of the answer in its log."""

    def worker(self, rx, *extra):
        worker = Worker(NAME, "--address", "127.0.0.1:%d" % rx.port, "--protocol",
                        "airplay2" if isinstance(rx, FakeAirPlay2Receiver) else "raop", *extra)
        self.addCleanup(worker.kill)
        return worker

    def assert_bounded(self, worker, seconds, started):
        self.assertLess(time.monotonic() - started, seconds, worker.log()[-2000:])
        self.assertLess(worker.peak_kb, 64 * 1024)
        self.assertLess(max(map(len, worker.log().splitlines())), 700, "a log line quotes too much")

    def test_each_hostile_reply_is_the_speakers_error_in_bounded_time_and_memory(self):
        big_b, digits = (1 << 3072).to_bytes(385, "big"), "9" * 5000   # beyond Python's 4,300-digit limit
        bad = "返回了无法处理的应答（"
        rows = [("status line not RTSP", lambda: ScriptedRaop(raw=b"SSH-2.0-OpenSSH_9.2\r\n\r\n"), bad + "OPTIONS", 4),
                ("reason phrase of 60 KB", lambda: ScriptedRaop(raw=b"RTSP/1.0 500 " + b"x" * 60000 + b"\r\n\r\n"),
                 bad + "OPTIONS 500", 4),
                ("a 16 MB reply", lambda: ScriptedRaop(raw=b"RTSP/1.0 200 OK\r\nContent-Length: 16777216\r\n\r\n"
                                                       + bytes(1 << 24)), bad + "OPTIONS", 4),
                ("port not a number", lambda: ScriptedRaop(SETUP=TRANSPORT % "x1"), bad + "SETUP", 4),
                ("port out of range", lambda: ScriptedRaop(SETUP=TRANSPORT % "99999"), bad + "SETUP", 4),
                ("port of 5,000 digits", lambda: ScriptedRaop(SETUP=TRANSPORT % digits), bad + "SETUP", 4),
                ("Audio-Latency of 5,000 digits", lambda: ScriptedRaop(RECORD="Audio-Latency: " + digits),
                 bad + "RECORD", 4),
                ("stream port infinite", lambda: FakeAirPlay2Receiver(stream_reply={"dataPort": float("inf")}),
                 bad + "SETUP", 5),
                ("stream port text", lambda: FakeAirPlay2Receiver(stream_reply={"controlPort": "7000"}),
                 bad + "SETUP", 5),
                ("stream latency infinite",
                 lambda: FakeAirPlay2Receiver(stream_reply={"arrivalToRenderLatencyMs": float("inf")}),
                 bad + "SETUP", 5),
                ("ClockID not an integer",
                 lambda: FakeAirPlay2Receiver(session_reply={"timingPeerInfo": {"ClockID": 1.5}}), bad + "SETUP", 5),
                # 102 KB as a binary plist, 200 MB written out
                ("event port: 2,000 references to a 100 KB string",
                 lambda: FakeAirPlay2Receiver(session_reply={"eventPort": ["x" * 100_000] * 2000}), bad + "SETUP", 5),
                ("B = 2^3072", lambda: FakeAirPlay2Receiver(server_public=big_b), bad + "pair-setup", 5),
                ("B = N", lambda: FakeAirPlay2Receiver(server_public=N.to_bytes(384, "big")), bad + "pair-setup", 5),
                # The session promises an answer within 5 s, however the bytes come.
                ("SETUP answered one byte every 0.5 s", lambda: FakeAirPlay2Receiver(drip_from="SETUP"), "没有响应", 8)]
        for name, receiver, expected, seconds in rows:
            with self.subTest(name), receiver() as rx:
                started, worker = time.monotonic(), self.worker(rx)
                message = worker.wait_state("error", seconds)["message"]
                self.assertTrue(message.startswith("“卧室”" + expected), message)
                self.assertEqual(worker.wait(2), 1)
                self.assert_bounded(worker, seconds, started)

    def test_sigterm_ends_the_worker_at_once_and_a_speaker_streamed_to_stalls_neither_audio_nor_heartbeats(self):
        rows = [("each reply 2 s late", lambda: ScriptedRaop(delay=2.0), lambda rx: "ANNOUNCE" in rx.methods),
                ("AirPlay 2 event port refused, tried again", lambda: FakeAirPlay2Receiver(events_closed=True),
                 lambda rx: ("SETUP", "rtsp") in [(m, u[:4]) for m, u in rx.methods()]),
                ("replies flooded while streaming", lambda: FakeReceiver("flood"), None),
                ("replies dripped one byte every 0.5 s while streaming",
                 lambda: FakeAirPlay2Receiver(drip_from="/feedback"), None)]
        for name, receiver, waiting in rows:
            with self.subTest(name), receiver() as rx:
                worker, deadline = self.worker(rx), time.monotonic() + 10
                worker.feed(b"", then_silence=True)
                while waiting and not waiting(rx) and time.monotonic() < deadline:
                    time.sleep(0.02)
                if waiting is None:
                    worker.wait_state("playing", 10)
                    playing = time.monotonic()
                    time.sleep(4)     # feedback from 2 s on
                    beats = [playing] + worker.beats(after=playing) + [time.monotonic()]
                    self.assertLess(max(b - a for a, b in zip(beats, beats[1:])), 1.6, "heartbeats go on")
                    self.assertNotIn("stalled", worker.log())
                    self.assertGreater(len(rx.packets), 3.5 / s.PACKET_SECONDS)
                started = time.monotonic()
                worker.proc.send_signal(signal.SIGTERM)   # well before a slow speaker's next answer
                self.assertEqual((worker.wait(2), worker.states()), (0, [] if waiting else ["ready", "playing"]))
                self.assert_bounded(worker, 1.5, started)


class WorkerStopAndLocaleTest(unittest.TestCase):
    def test_an_unknown_option_is_named(self):
        worker = Worker(NAME, "--volume", "3")
        self.addCleanup(worker.kill)
        self.assertEqual((worker.wait_state("error", 5)["message"], worker.wait(5)), ("发送器不认识参数“--volume”", 2))

    def test_a_non_utf8_locale_still_names_the_speaker(self):
        with ScriptedRaop(refuse=456) as rx:
            worker = Worker(NAME + "\udcff", "--address", "127.0.0.1:%d" % rx.port,
                            env={"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"})
            self.addCleanup(worker.kill)
            message = worker.wait_state("error", 10)["message"]
            self.assertEqual((worker.wait(5), message.split("”")[0], "音频格式" in message), (1, "“卧室\ufffd", True))


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


class CrowdedNetworkTest(unittest.TestCase):
    """The real browse, in the network namespace of tests/sender/crowded_network.py."""

    def setUp(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("needs root and unshare (a network namespace)")
        fake = subprocess.Popen(["unshare", "-n", "/usr/bin/python3", os.path.join(SOURCE_DIR, "tests", "sender",
                                 "crowded_network.py"), NAME, "38", "12"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(fake.communicate)
        self.addCleanup(fake.kill)
        self.assertEqual(fake.stdout.readline(), "ready\n")
        self.inside = ("nsenter", "-t", str(fake.pid), "-n")

    def test_names_that_never_resolve_hide_no_speaker_and_hold_up_neither_sigterm_nor_the_listing(self):
        found, nobody = Worker(NAME, prefix=self.inside), Worker("Nobody", prefix=self.inside)
        self.addCleanup(found.kill)
        self.addCleanup(nobody.kill)
        self.assertIn("无法连接", found.wait_state("error", 10)["message"], "found, then its port is closed")
        self.assertLessEqual(float(re.search(r"found '卧室' .* after ([0-9.]+) s", found.log())[1]), 2.0)
        nobody.proc.send_signal(signal.SIGTERM)
        self.assertEqual((nobody.wait(1.0), nobody.states()), (0, []))
        started = time.monotonic()
        listing = subprocess.run([*self.inside, "/usr/bin/python3", "-s", "-B", os.path.join(SOURCE_DIR, "resources",
                                  "sender.py"), "--list-speakers", "--seconds", "2"], capture_output=True, timeout=10,
                                 env={**os.environ, "SONVALE_VENDOR": VENDOR})
        self.assertLess(time.monotonic() - started, 3.0)
        entries = [json.loads(line) for line in listing.stdout.splitlines()]
        self.assertEqual((len(entries), [e for e in entries if e["name"] == NAME]),
                         (20, [{"name": NAME, "airplay2": False, "id": "AA:BB:CC:00:00:00"}]))


class Dropping(s.Session):
    """Connects at once, keeps what it is sent, counts its closes; ``poll`` raises what ``drop`` holds."""
    drop, closed = None, 0
    def __init__(self): self.sent = []
    def connect(self): pass
    def send(self, pcm, when): self.sent.append(pcm), self.__dict__.setdefault("sent_at", []).append(when)
    def poll(self, now):
        if self.drop:
            raise self.drop
    def close(self): self.closed += 1


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


class GroupTest(unittest.TestCase):
    def test_a_speaker_counting_less_delay_than_another_is_told_each_packet_later_so_both_play_it_together(self):
        latencies, sessions = {"卧室": 2.0, "客厅": 1.75}, {}
        browser = Advertised(*[record(discovery.RAOP_TYPE, n, None, 5000, "10.0.0.9", sf="0x4") for n in latencies])
        group = Group(list(latencies), types.SimpleNamespace(speakers_changed=lambda: None), browser, "raop",
                      lambda sp: sessions.setdefault(sp.name, type("Timed", (Dropping,), {"latency": latencies[sp.name]})()))
        group.connect()
        group.send(bytes(s.PACKET_BYTES), 10.0)
        group.close()
        self.assertEqual((group.latency, [sessions[n].sent_at for n in latencies]), (2.0, [[10.0], [10.25]]))


class StreamerTest(unittest.TestCase):
    def test_drift_summed_up_once_a_minute_every_frame_counted_and_an_unexpected_error_releases_the_speaker(self):
        now, session, source = [0.0], Dropping(), PcmInput(None)

        def wait(seconds):  # simulated time, with silence always 0.3 s ahead of it, for 150 s
            now[0] += seconds
            source.feed(bytes(4 * (int((now[0] + 0.3) * 44100) - source.bytes_in // 4)))
            session.drop = RuntimeError("a fault of the worker's own") if now[0] > 150 else None
        streamer = Streamer(source, lambda: session, Reporter(-1), clock=lambda: now[0], sleep=wait,  # lines unread
                            should_stop=lambda: False, idle_after=1000)
        with self.assertLogs("pyatv.streamer") as logged, self.assertRaises(RuntimeError):
            streamer.run()
        summaries = [list(map(int, re.findall(r"-?\d+", line))) for line in logged.output if "the schedule:" in line]
        dropped, repeated, silent_left_out, padded, cut, not_held = summaries[-1]
        self.assertEqual((len(summaries), session.closed), (4, 1), "at a first change, once a minute, at the end")
        self.assertEqual(source.bytes_in // 4 - dropped + repeated - silent_left_out * 352 + padded - cut - not_held,
                         (len(session.sent) - Streamer.LEAD_IN) * 352 + source.buffered_frames, "every frame counted")


if __name__ == "__main__":
    unittest.main()
