"""The worker against a loopback RAOP receiver that records what it gets and misbehaves on request.

Behaviours: ok (answers like shairport-sync, "Unauthorized" as the reason on refusals); busy, restricted, format
(ANNOUNCE -> 453, 400, 415); password, pairing (OPTIONS -> 401 with Digest, 403); timing520 (SETUP -> 520);
mute (OPTIONS never answered); hush (asks for timing three times, then never again); drop_once, drop_always (close the connection after ``drop_after`` audio packets,
once or every time); flood (after RECORD, replies as fast as the connection takes them)."""

import re
import signal
import socket
import struct
import threading
import time
import unittest

from worker_support import LoopbackServer, Worker, decode_escape, tone

NAME = "卧室"
REFUSALS = {("OPTIONS", "password"): 401, ("OPTIONS", "pairing"): 403, ("ANNOUNCE", "busy"): 453,
            ("ANNOUNCE", "restricted"): 400, ("ANNOUNCE", "format"): 415, ("SETUP", "timing520"): 520}


class FakeReceiver(LoopbackServer):
    def __init__(self, behaviour: str = "ok", drop_after: int = 250) -> None:
        self.behaviour, self.drop_after, self.drops, self.connections = behaviour, drop_after, 0, 0
        self.requests, self.packets, self.packet_order = [], {}, []   # (method, headers, body); seq -> packet
        self.syncs, self.resent, self.timing_replies = [], [], []
        self.closed_by_client = threading.Event()
        self.client_timing = self.client_control = self._conn = None
        self._timing_asked = 0.0
        super().__init__(listeners=1, udp=3)
        self.audio, self.control, self.timing = self.udp
        self.address = "127.0.0.1:%d" % self.port

    def methods(self) -> list: return [m for m, _, _ in self.requests]

    def serve(self, _listener, conn: socket.socket) -> None:
        self.connections += 1
        self._conn = conn
        with conn:
            for method, _, headers, body in self.requests_on(conn):
                self.requests.append((method, headers, body))
                if (reply := self._answer(method, headers)) is not None:
                    conn.sendall(reply)
        self.closed_by_client.set()

    def _answer(self, method: str, headers: dict):
        cseq = headers.get("cseq", "0")
        if method == "OPTIONS" and self.behaviour == "mute":
            return None
        code = REFUSALS.get((method, self.behaviour))
        if code is not None:
            return self.reply(code, "Unauthorized", cseq, ['WWW-Authenticate: Digest realm="raop", nonce="abc"']
                              if code == 401 else [])
        if method == "SETUP":
            ports = dict(re.findall(r"(\w+)=(\d+)", headers.get("transport", "")))
            self.client_timing, self.client_control = (("127.0.0.1", int(ports[k])) for k in ("timing_port",
                                                                                             "control_port"))
            ours = tuple(sock.getsockname()[1] for sock in self.udp)
            return self.reply(200, "OK", cseq, ["Transport: RTP/AVP/UDP;unicast;mode=record;server_port=%d;"
                                                "control_port=%d;timing_port=%d" % ours, "Session: 1"])
        if method == "RECORD" and self.behaviour == "flood":
            self.spawn(self._flood, self._conn)
        extra = {"RECORD": ["Audio-Latency: 11025"], "TEARDOWN": ["Connection: close"]}.get(method, [])
        return self.reply(200, "OK", cseq, extra)

    def _flood(self, conn: socket.socket) -> None:
        while not self._stop.is_set():
            try:
                conn.sendall(b"RTSP/1.0 200 OK\r\nCSeq: 0\r\n\r\n" * 40000)
            except OSError:
                return

    def on_datagram(self, sock: socket.socket, data: bytes) -> None:
        if sock is self.audio and len(data) >= 12:
            self.packets[struct.unpack_from(">H", data, 2)[0]] = data
            self.packet_order.append(struct.unpack_from(">H", data, 2)[0])
            if len(self.packet_order) % self.drop_after == 0 and (self.behaviour == "drop_always" or (
                    self.behaviour == "drop_once" and not self.drops)):
                self.drops += 1
                try:
                    self._conn.shutdown(socket.SHUT_RDWR)
                except OSError:  # already closed by the sender
                    pass
        elif sock is self.control and data[1:2] in (b"\xd4", b"\xd6"):
            (self.syncs if data[1] == 0xD4 else self.resent).append(data)
        elif sock is self.timing:
            self.timing_replies.append(data)

    def tick(self) -> None:
        """Asks for the sender's time every 0.3 s while recording, as shairport-sync does."""
        if self.client_timing and "RECORD" in self.methods() and time.monotonic() - self._timing_asked >= 0.3 and (
                self.behaviour != "hush" or len(self.timing_replies) < 3):
            self._timing_asked = time.monotonic()
            self.timing.sendto(struct.pack(">BBHI", 0x80, 0xD2, 7, 0) + bytes(16) +
                               struct.pack(">Q", int(time.time() * (1 << 32))), self.client_timing)


class FakeReceiverCase(unittest.TestCase):
    def start(self, behaviour="ok", *extra, name=NAME, **kwargs):
        receiver = FakeReceiver(behaviour, **kwargs)
        self.addCleanup(receiver.close)
        if behaviour == "closed":
            receiver.close()
        worker = Worker(name, "--address", receiver.address, *extra)
        self.addCleanup(worker.kill)
        return receiver, worker

    def test_each_failure_is_one_error_line_naming_the_cause(self):
        for behaviour, phrase, last_method, name in [
                ("restricted", "允许扬声器和电视访问", "ANNOUNCE", NAME),
                ("password", "密码", "OPTIONS", NAME), ("pairing", "配对", "OPTIONS", NAME),
                ("format", "音频格式", "ANNOUNCE", "-Kitchen"),  # a name like an option is still the name
                ("timing520", "UDP 时钟同步端口", "SETUP", NAME), ("mute", "没有响应", "OPTIONS", NAME),
                ("closed", "无法连接", None, NAME)]:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour, name=name)
                message = worker.wait_state("error", 15)["message"]
                self.assertTrue(phrase in message and name in message, message)
                self.assertEqual((worker.wait(5), worker.states()), (1, ["error"]), "nothing reported before")
                self.assertEqual((receiver.methods() or [None])[-1], last_method)
                self.assertNotIn("RECORD" if last_method == "SETUP" else "SETUP", receiver.methods())

    def test_stream_arrives_intact_from_before_ready_is_resent_and_ends_with_teardown(self):
        receiver, worker = self.start()
        pcm = tone(2.5)
        worker.feed(pcm)
        worker.wait_state("playing", 10)
        time.sleep(0.6)
        first = receiver.packet_order[10]
        request = struct.pack(">BBHHH", 0x80, 0xD5, 1, first, 3)
        receiver.control.sendto(request, receiver.client_control)
        worker.wait_feeding(10)
        worker.close_input()  # at once: what is still buffered goes out before the end
        self.assertEqual(worker.wait(10), 0)
        self.assertEqual(re.findall(r"input against the schedule: (.*)", worker.log()), [
            "0 frames dropped and 0 repeated one at a time, 0 silent packets left out or doubled; 278 frames of silence "
            "padded (input late), 0 cut (input ahead), 0 not held while no session streamed"], "one summary, at the end")
        self.assertEqual(receiver.methods(), ["OPTIONS", "ANNOUNCE", "SETUP", "RECORD", "TEARDOWN"])
        self.assertTrue(receiver.closed_by_client.wait(2), "TCP closed after TEARDOWN")
        self.assertEqual([r[:2] + r[4:] for r in receiver.resent],
                         [b"\x80\xD6" + receiver.packets[(first + i) & 0xFFFF] for i in range(3)])
        order = receiver.packet_order
        self.assertEqual([(a + 1) & 0xFFFF for a in order[:-1]], order[1:], "no gaps")
        stamps = [int.from_bytes(receiver.packets[q][4:8], "big") for q in order]
        self.assertTrue(all((b - a) & 0xFFFFFFFF == 352 for a, b in zip(stamps, stamps[1:])))
        self.assertEqual(receiver.requests[3][1]["rtp-info"], "seq=%d;rtptime=%d" % (order[0], stamps[0]))
        self.assertEqual([receiver.packets[q][1] for q in order[:2]], [0xE0, 0x60])
        self.assertEqual([p[0] for p in receiver.syncs], [0x90] + [0x80] * max(1, len(receiver.syncs) - 1))
        self.assertTrue(receiver.timing_replies and all(r[1] == 0xD3 and len(r) == 32 for r in receiver.timing_replies))
        audio = b"".join(decode_escape(receiver.packets[q][12:])["pcm"] for q in order)
        self.assertTrue(pcm + bytes(-len(pcm) % 1408) in audio, "bit-exact, its last partial packet padded")
        beats = worker.beats()
        self.assertTrue(beats and max(b - a for a, b in zip(beats, beats[1:])) <= 2.0)

    def test_a_connection_lost_or_a_receiver_gone_silent_is_reconnected_but_not_again_soon(self):
        for behaviour, recovers in [("drop_once", True), ("drop_always", False), ("hush", True)]:
            with self.subTest(behaviour):
                receiver, worker = self.start(behaviour, drop_after=60)
                worker.wait_state("reconnecting", 10)
                if recovers:
                    worker.wait_state("playing", 10)
                    worker.close_input()
                else:
                    self.assertIn("连接已断开", worker.wait_state("error", 15)["message"])
                self.assertEqual((worker.wait(5), receiver.connections), (int(not recovers), 2))
                self.assertEqual("nothing from the speaker for 5 s" in worker.log(), behaviour == "hush")

    def test_silence_releases_speaker_sound_takes_it_again_and_sigterm_releases_it(self):
        receiver, worker = self.start("ok", "--idle-after", "1.5")
        worker.feed(b"", then_silence=True)
        worker.wait_state("idle", 15)
        self.assertEqual(receiver.methods()[-1], "TEARDOWN")
        self.assertTrue(receiver.closed_by_client.wait(2))
        idle_at = time.monotonic()
        time.sleep(2.5)
        self.assertGreaterEqual(len(worker.beats(after=idle_at)), 1, "heartbeats continue while idle")
        worker.stop_feeding()
        marked = b"\x34\x12\x21\x43" + tone(1.0)[4:]
        worker.feed(marked)
        worker.wait_state("reconnecting", 3)
        worker.wait_state("playing", 10)
        worker.wait_feeding(5)
        time.sleep(0.3)
        audio = b"".join(decode_escape(receiver.packets[q][12:])["pcm"] for q in receiver.packet_order)
        self.assertTrue(marked + bytes(-len(marked) % 1408) in audio, "all the sound after standby plays, whole")
        worker.proc.send_signal(signal.SIGTERM)
        self.assertEqual((worker.wait(5), receiver.connections, receiver.methods()[-1]), (0, 2, "TEARDOWN"))
        self.assertEqual(worker.states(), ["ready", "playing", "idle", "reconnecting", "playing"])


if __name__ == "__main__":
    unittest.main()
