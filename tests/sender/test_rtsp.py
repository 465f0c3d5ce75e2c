"""RTSP response parsing and the client against a scripted loopback peer."""

from __future__ import annotations

import socket
import threading
import unittest

import worker_support  # noqa: F401
from pyatv.rtsp import (ResponseParser, RtspClient, RtspClosed, RtspMalformed, RtspTimeout,
                        parse_transport)


class ParserTest(unittest.TestCase):
    def test_status_lines_and_headers(self):
        cases = [
            (b"RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n", 200, 3),
            (b"RTSP/1.0 453 Unauthorized\r\nCSeq: 4\r\n\r\n", 453, 4),
            (b"RTSP/1.0 400 Bad Request\r\n\r\n", 400, None),
            (b"RTSP/1.0 501\r\ncseq:9\r\n\r\n", 501, 9),
            (b"RTSP/1.0 520 Origin Error\nCSEQ:   12  \n\n", 520, 12),
        ]
        for raw, status, cseq in cases:
            with self.subTest(raw):
                (response,) = ResponseParser().feed(raw)
                self.assertEqual((response.status, response.cseq), (status, cseq))

    def test_body_split_across_reads_byte_by_byte(self):
        raw = (b"RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 10\r\n\r\n0123456789"
               b"RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n")
        parser = ResponseParser()
        got = []
        for i in range(len(raw)):
            got += parser.feed(raw[i:i + 1])
        self.assertEqual([(r.cseq, r.body) for r in got], [(1, b"0123456789"), (2, b"")])

    def test_header_lookup_ignores_case(self):
        (r,) = ResponseParser().feed(b"RTSP/1.0 200 OK\r\nAudio-Latency: 11025\r\n\r\n")
        self.assertEqual((r.headers["AUDIO-LATENCY"], r.headers.get("Session")), ("11025", None))

    def test_garbage_is_rejected(self):
        for raw in (b"hello there\r\n\r\n", b"RTSP/1.0 abc\r\n\r\n",
                    b"RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n"):
            with self.subTest(raw), self.assertRaises(RtspMalformed):
                ResponseParser().feed(raw)

    def test_transport_variants(self):
        cases = [
            ("RTP/AVP/UDP;unicast;interleaved=0-1;mode=record;control_port=6001;"
             "timing_port=6002;server_port=6003", "6003", "6001", "6002"),
            ("RTP/AVP/UDP;unicast;mode=record;server_port=53561;control_port=63379;"
             "timing_port=0", "53561", "63379", "0"),
            ("RTP/AVP/UDP; server_port=7000 ;control_port=7001", "7000", "7001", None),
        ]
        for value, server, control, timing in cases:
            with self.subTest(value):
                t = parse_transport(value)
                self.assertEqual((t["server_port"], t["control_port"], t.get("timing_port")),
                                 (server, control, timing))
                self.assertIn("unicast" if "unicast" in value else "RTP/AVP/UDP", t)


class Peer:
    """Accepts one connection and answers each request with the next scripted bytes."""

    def __init__(self, answers: list[bytes | None]) -> None:
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.answers, self.received = answers, b""
        threading.Thread(target=self.run, daemon=True).start()

    def run(self) -> None:
        conn, _ = self.server.accept()
        with conn:
            for answer in self.answers:
                while b"\r\n\r\n" not in self.received:
                    data = conn.recv(4096)
                    if not data:
                        return
                    self.received += data
                _, self.received = self.received.split(b"\r\n\r\n", 1)
                if answer is None:
                    return
                for i in range(0, len(answer), 7):
                    conn.sendall(answer[i:i + 7])
            while conn.recv(4096):
                pass


class ClientTest(unittest.TestCase):
    def client(self, answers: list[bytes | None]) -> RtspClient:
        peer = Peer(answers)
        self.addCleanup(peer.server.close)
        client = RtspClient("127.0.0.1", peer.port, timeout=1.0, headers={"User-Agent": "t"})
        client.connect()
        self.addCleanup(client.close)
        return client

    def test_response_without_cseq_answers_the_oldest_request(self):
        client = self.client([b"RTSP/1.0 400 Bad Request\r\n\r\n",
                              b"RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Length: 3\r\n\r\nabc"])
        self.assertEqual(client.request("POST", "/auth-setup").status, 400)
        reply = client.request("OPTIONS", "*")
        self.assertEqual((reply.status, reply.body), (200, b"abc"))

    def test_keepalive_answer_collected_without_waiting(self):
        client = self.client([b"RTSP/1.0 501 Not Implemented\r\nCSeq: 1\r\n\r\n",
                              b"RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n"])
        client.send("OPTIONS", "*")
        self.assertEqual(client.request("TEARDOWN", "rtsp://x/1").status, 200)
        self.assertEqual([r.status for r in client.poll()], [501])
        self.assertEqual(client.outstanding(), 0)

    def test_silence_and_close_are_told_apart(self):
        for answers, error in (([None], RtspClosed), ([], RtspTimeout)):
            with self.subTest(error.__name__), self.assertRaises(error):
                self.client(answers).request("OPTIONS", "*", timeout=0.3)


if __name__ == "__main__":
    unittest.main()
