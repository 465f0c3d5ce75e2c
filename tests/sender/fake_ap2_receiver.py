"""A fake AirPlay 2 receiver on loopback, built from the protocol notes, that records what it gets.

It pairs (transient HAP), speaks encrypted RTSP, opens an event port, takes a realtime stream, decrypts and
decodes the ALAC escape frames, and renders a packet only while it has a clock (Sync/Follow_Up from the
sender, or its own grandmaster clock named in the 0xD7 announces, or an NTP exchange plus 0xD4 packets).
Switches make it misbehave: a different PIN, 455 for a volume before audio, 400 for an NTP session, the
ports of the stream reply in either order.
"""

import plistlib
import select
import socket
import struct
import threading
import time

from worker_support import decode_escape, take_request
from fake_ap2_pairing import PairSetupResponder
from pyatv.airplay2 import audio_packets, hap_channel
from pyatv.ptp import messages, time_announce

FEATURES_PTP = "0x4A7FCA00,0x3C356BD0"      # a HomePod's: bits 38, 41, 48 among others
FEATURES_NO_PTP = "0x4A7FCA00,0x3C3569D0"   # the same without bit 41 (PTP)


def decode_stereo_escape(frame: bytes) -> bytes:
    fields = decode_escape(frame)
    if (fields["tag"], fields["escape"], fields["end"]) != (1, 1, 0b111):
        raise ValueError("not a stereo escape frame")
    return fields["pcm"]


def udp_socket(host: str) -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((host, 0))
    return sock


class FakeAirPlay2Receiver:
    def __init__(self, host: str = "127.0.0.1", *, pin: bytes = b"3939", volume: float = -15.0,
                 control_port_first: bool = True, refuse_ntp: bool = False, grandmaster_id: int = None,
                 features: str = FEATURES_PTP):
        self.host, self.pin, self.volume, self.features = host, pin, volume, features
        self.control_port_first, self.refuse_ntp, self.grandmaster_id = control_port_first, refuse_ntp, grandmaster_id
        self.lock = threading.Lock()
        self.requests = []              # (method, uri, encrypted, headers, body)
        self.volume_answers = []        # (status, value)
        self.packets = {}               # seq -> (rtp timestamp, pcm, rendered)
        self.time_packets = []          # raw 0xD7 / 0xD4 packets
        self.decrypt_errors = self.sender_syncs = self.sender_follow_ups = self.sender_announces = 0
        self.ntp_replies = self.event_connections = self.closed_on_bad_frame = 0
        self.audio_key = self.sender_control = self.timing_protocol = self.event_cipher = None
        self._stop = threading.Event()
        self._threads = []
        self.listener, self.event_listener = socket.create_server((host, 0)), socket.create_server((host, 0))
        self.port = self.listener.getsockname()[1]
        self.ptp_event, self.ptp_general = udp_socket(host), udp_socket(host)
        self.ptp_ports = (self.ptp_event.getsockname()[1], self.ptp_general.getsockname()[1])
        self.data, self.control, self.timing = udp_socket(host), udp_socket(host), udp_socket(host)

    def _spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        self._threads.append(thread)

    def __enter__(self):
        self._spawn(self._accept)
        self._spawn(self._udp_loop)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        for sock in (self.listener, self.event_listener):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        for thread in self._threads:
            thread.join(timeout=2)
        for sock in (self.ptp_event, self.ptp_general, self.data, self.control, self.timing):
            sock.close()

    # -- what the tests read

    def methods(self):
        with self.lock:
            return [(m, u) for m, u, _, _, _ in self.requests]

    def output(self) -> bytes:
        """The rendered PCM in sequence order (a gap in sequence numbers is left out)."""
        with self.lock:
            items = sorted(self.packets.items(), key=lambda kv: kv[1][0])
        return b"".join(pcm for _, (_, pcm, rendered) in items if rendered)

    def has_clock(self) -> bool:
        if self.timing_protocol == "NTP":
            return self.ntp_replies > 0 and any(p[1] == 0xD4 for p in self.time_packets)
        if self.grandmaster_id is not None:
            return any(p[1] == 0xD7 and time_announce.parse_time_announce(p)[2] == self.grandmaster_id
                       for p in self.time_packets)
        return self.sender_syncs >= 2 and self.sender_follow_ups >= 2 and \
            any(p[1] == 0xD7 for p in self.time_packets)

    # -- RTSP

    def _accept(self):
        socks = [self.listener, self.event_listener]
        while not self._stop.is_set():
            try:
                readable, _, _ = select.select(socks, [], [], 0.2)
                for sock in readable:
                    self._spawn(self._serve if sock is self.listener else self._serve_events, sock.accept()[0])
            except (OSError, ValueError):
                return

    def _serve_events(self, conn):
        with self.lock:
            self.event_connections += 1
        with conn:
            while self._recv(conn):
                pass

    def _recv(self, conn) -> bytes:
        """The next bytes from ``conn``; empty once it or the receiver is closed."""
        conn.settimeout(0.2)
        while not self._stop.is_set():
            try:
                return conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return b""
        return b""

    def _serve(self, conn):
        buffer, cipher, pairing = bytearray(), None, PairSetupResponder(self.pin)
        with conn:
            while data := self._recv(conn):
                if cipher is not None:
                    try:
                        data = cipher.open(data)
                    except hap_channel.HapFrameError:
                        with self.lock:
                            self.closed_on_bad_frame += 1
                        return
                buffer += data
                while (request := take_request(buffer)) is not None:
                    method, uri, headers, body = request
                    with self.lock:
                        self.requests.append((method, uri, cipher is not None, headers, body))
                    status, reply_headers, reply_body = self._handle(method, uri, headers, body, pairing,
                                                                     cipher is not None)
                    head = ["RTSP/1.0 %d %s" % (status, "OK" if status == 200 else "Error"),
                            "CSeq: %s" % headers.get("cseq", "0"), "Server: AirTunes/980.77.2"]
                    head += ["%s: %s" % kv for kv in reply_headers.items()]
                    head.append("Content-Length: %d" % len(reply_body))
                    out = ("\r\n".join(head) + "\r\n\r\n").encode() + reply_body
                    conn.sendall(cipher.seal(out) if cipher is not None else out)
                    if method == "POST" and uri == "/pair-setup" and pairing.session_key and cipher is None:
                        write_key, read_key = hap_channel.control_keys(pairing.session_key)
                        cipher = hap_channel.HapCipher(read_key, write_key)
                        event_out, event_in = hap_channel.event_keys(pairing.session_key)
                        self.event_cipher = hap_channel.HapCipher(event_in, event_out)

    def _handle(self, method, uri, headers, body, pairing, encrypted):
        plist_type = {"Content-Type": "application/x-apple-binary-plist"}
        if method == "GET" and uri == "/info":
            return 200, plist_type, plistlib.dumps({"features": int(self.features.split(",")[1], 16) << 32
                                                    | int(self.features.split(",")[0], 16),
                                                    "statusFlags": 4, "initialVolume": self.volume,
                                                    "model": "AudioAccessory5,1"}, fmt=plistlib.FMT_BINARY)
        if method == "POST" and uri == "/pair-pin-start":
            return 200, {}, b""
        if method == "POST" and uri == "/pair-setup":
            return 200, {"Content-Type": "application/octet-stream"}, pairing.handle(body)
        if not encrypted:
            return 470, {}, b""
        if method == "SETUP":
            request = plistlib.loads(body)
            if "timingProtocol" in request:
                return self._setup_session(request, plist_type)
            return self._setup_stream(request, plist_type)
        if method in ("RECORD", "SETPEERS", "TEARDOWN"):
            return 200, ({"Audio-Latency": "0"} if method == "RECORD" else {}), b""
        if method == "POST" and uri == "/feedback":
            return 200, {}, b""
        if method == "GET_PARAMETER":
            return 200, {"Content-Type": "text/parameters"}, ("volume: %f\r\n" % self.volume).encode()
        if method == "SET_PARAMETER":
            value = float(body.decode().split(":", 1)[1])
            status = 200 if self.packets else 455
            with self.lock:
                self.volume_answers.append((status, value))
            return status, {}, b""
        return 501, {}, b""

    def _setup_session(self, request, plist_type):
        self.timing_protocol = request["timingProtocol"]
        if self.timing_protocol == "NTP":
            if self.refuse_ntp:
                return 400, {}, b""
            self._spawn(self._ntp_requests, request["timingPort"])
        clock_id = self.grandmaster_id or 1
        reply = {"eventPort": self.event_listener.getsockname()[1], "timingPort": 0,
                 "timingPeerInfo": {"Addresses": [self.host], "ID": "FAKE", "ClockPorts": {}, "DeviceType": 2,
                                    "ClockID": clock_id - (1 << 64) if clock_id >= 1 << 63 else clock_id}}
        return 200, plist_type, plistlib.dumps(reply, fmt=plistlib.FMT_BINARY)

    def _setup_stream(self, request, plist_type):
        stream = request["streams"][0]
        self.audio_key = stream["shk"]
        self.sender_control = stream["controlPort"]
        ports = [("controlPort", self.control.getsockname()[1]), ("dataPort", self.data.getsockname()[1])]
        if not self.control_port_first:
            ports.reverse()
        reply = {"streams": [dict([("type", 96)] + ports)]}
        return 200, plist_type, plistlib.dumps(reply, fmt=plistlib.FMT_BINARY, sort_keys=False)

    def _ntp_requests(self, port):
        while not self._stop.wait(0.5):
            request = struct.pack(">BBHI", 0x80, 0xD2, 7, 0) + bytes(16) + struct.pack(">Q", time.time_ns())
            try:
                self.timing.sendto(request, (self.host, port))
            except OSError:
                return

    # -- UDP

    def _udp_loop(self):
        socks = [self.data, self.control, self.timing, self.ptp_event, self.ptp_general]
        while not self._stop.is_set():
            try:
                readable, _, _ = select.select(socks, [], [], 0.2)
            except (OSError, ValueError):
                return
            for sock in readable:
                try:
                    data, source = sock.recvfrom(4096)
                except OSError:
                    continue
                if sock is self.data:
                    self._on_audio(data)
                elif sock is self.control:
                    if len(data) >= 2 and data[1] in (0xD7, 0xD4):
                        with self.lock:
                            self.time_packets.append(data)
                    elif len(data) >= 4 and data[1] == 0xD6:
                        self._on_audio(data[4:], resent=True)
                elif sock is self.timing:
                    if len(data) == 32 and data[1] & 0x7F == 0x53:
                        self.ntp_replies += 1
                else:
                    self._on_ptp(data)

    def _on_ptp(self, data):
        try:
            header = messages.parse_header(data)
        except messages.PtpParseError:
            return
        if header.transport != messages.TRANSPORT_8021AS:
            return
        counter = {messages.SYNC: "sender_syncs", messages.FOLLOW_UP: "sender_follow_ups",
                   messages.ANNOUNCE: "sender_announces"}.get(header.message_type)
        if counter:
            with self.lock:
                setattr(self, counter, getattr(self, counter) + 1)

    def _on_audio(self, packet, resent=False):
        if self.audio_key is None:
            return
        try:
            header, payload, _ = audio_packets.open_packet(self.audio_key, packet)
            pcm = decode_stereo_escape(payload)
        except Exception:
            with self.lock:
                self.decrypt_errors += 1
            return
        seq, timestamp = struct.unpack(">HI", header[2:8])
        with self.lock:
            rendered = self.has_clock()
            if seq not in self.packets or resent:
                self.packets[seq] = (timestamp, pcm, rendered)

    def request_resend(self, first_seq: int, count: int):
        """Asks the sender's control port for packets again, as a receiver does after a loss."""
        self.control.sendto(struct.pack(">BBHHH", 0x80, 0x55, 1, first_seq, count), (self.host, self.sender_control))


class FakeGrandmaster(threading.Thread):
    """A HomePod's clock: priority1 248, time since an arbitrary boot, Announce every 250 ms, Sync at 8 Hz."""

    def __init__(self, receiver: FakeAirPlay2Receiver, clock_id: int, sender_ports, uptime_ns: int = 3_600 * 10 ** 9):
        super().__init__(daemon=True)
        self.receiver, self.clock_id = receiver, clock_id
        self.event, self.general = ((receiver.host, port) for port in sender_ports)
        self._boot = time.monotonic_ns() - uptime_ns
        self._stop_event = threading.Event()

    def now_ns(self) -> int:
        return time.monotonic_ns() - self._boot

    def stop(self):
        self._stop_event.set()
        self.join(timeout=2)

    def run(self):
        quality = messages.Quality(248, 248, 0xFE, 0xFFFF, 248, 0xA0)
        sequence = 0
        while not self._stop_event.wait(0 if sequence == 0 else 0.125):
            try:
                if sequence % 2 == 0:
                    self.receiver.ptp_general.sendto(messages.announce(self.clock_id, sequence, quality, -2),
                                                     self.general)
                self.receiver.ptp_event.sendto(messages.sync(self.clock_id, sequence), self.event)
                self.receiver.ptp_general.sendto(messages.follow_up(self.clock_id, sequence, self.now_ns()),
                                                 self.general)
            except OSError:
                pass
            sequence += 1
