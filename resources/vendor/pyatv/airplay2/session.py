"""One AirPlay 2 session: transient pairing, encrypted RTSP, a realtime ALAC stream with encrypted packets.

Negotiation, in this order (the order a reference receiver accepted):
  POST /pair-pin-start, POST /pair-setup M1..M4      plain RTSP; the channel is encrypted from here on
  SETUP (session plist: PTP or NTP timing)           reply gives the event port; connect to it
  RECORD
  SETPEERS [receiver, sender]                        PTP only
  SETUP (stream plist: type 96, ALAC, audio key)     reply gives data and control ports, read by key
Then audio packets on the data port, a time packet every second on the receiver's control port (0xD7 on one
frozen line for PTP, 0xD4 for NTP) and POST /feedback every 2 s. To stop: TEARDOWN the stream, then the
session, then close the connection.

The speaker's own volume is never changed. Some receivers want a volume once audio flows, so after the first
second of audio the session reads the speaker's volume and sends that same value back.
"""

import logging
import random
import secrets
import socket
import time
import uuid
from typing import Callable, Optional

from .. import session as s
from ..streaming import rtp
from ..streaming.audio_stream import AudioStream, NtpSync, PtpLine
from ..streaming.udp import UdpServices
from ..rtsp import Response, RtspClient, RtspClosed, RtspTimeout
from ..ptp.clock import LocalClock
from ..ptp.clock_ports import ClockSockets
from ..ptp.follower import PtpFollower
from ..ptp.master import PtpMaster
from ..ptp import messages as ptp_messages
from . import binary_plist, hap_channel, pairing, protocol_choice
from .audio_packets import AudioSealer
from .hap_socket import HapSocket

log = logging.getLogger(__name__)

USER_AGENT = "AirPlay/540.31"
NTP_LATENCY_FRAMES = 77175
FEEDBACK_INTERVAL = 2.0
FEEDBACK_TIMEOUT = 10.0
VOLUME_AFTER = 1.0
FOLLOW_WAIT = 3.0
FIRST_TIMING_WAIT = 3.0
EVENT_CONNECT_TRIES = 5
EVENT_CONNECT_PAUSE = 0.5

_REFUSALS = {
    401: s.PasswordRequired,
    403: s.PairingRequired,
    453: s.SpeakerBusy,
    406: s.FormatRefused,
    415: s.FormatRefused,
    456: s.FormatRefused,
    520: s.TimingPortUnreachable,
}


def _mac_string(value: int) -> str:
    return ":".join("%02X" % b for b in value.to_bytes(6, "big"))


class AirPlay2Session(s.Session):
    latency = 2.0

    def __init__(self, host: str, port: int, timing: str, *, clock_sockets: Optional[ClockSockets] = None,
                 peer_clock_ports=(ptp_messages.EVENT_PORT, ptp_messages.GENERAL_PORT),
                 name: str = "Sonvale", timeout: float = 5.0, clock: Callable[[], float] = time.monotonic):
        if timing in (protocol_choice.PTP_MASTER, protocol_choice.PTP_FOLLOW) and clock_sockets is None:
            raise ValueError("PTP timing needs the clock sockets")
        self.host, self.port, self.timing = host, port, timing
        self.clock_sockets = clock_sockets
        self.peer_clock_ports = tuple(peer_clock_ports)
        self.name = name
        self.timeout = timeout
        self.clock = clock
        rng = random.SystemRandom()
        self.session_id = rng.getrandbits(32)
        self._device_id = _mac_string(rng.getrandbits(48) & ~(1 << 40) | (1 << 41))
        self._dacp_id = "%016X" % rng.getrandbits(64)
        self._active_remote = str(rng.getrandbits(32))
        self._audio_key = secrets.token_bytes(32)
        self.local_clock = LocalClock()
        self.ntp = rtp.NtpClock(clock)
        self.stream = AudioStream(0 if timing != protocol_choice.NTP else rng.getrandbits(32), rng.getrandbits(16),
                                  rng.getrandbits(32) | 1, AudioSealer(self._audio_key).seal)
        self.rtsp: Optional[RtspClient] = None
        self.events: Optional[socket.socket] = None
        self._events_cipher: Optional[hap_channel.HapCipher] = None
        self.udp: Optional[UdpServices] = None
        self.master: Optional[PtpMaster] = None
        self.follower: Optional[PtpFollower] = None
        self._uri = ""
        self._next_feedback = 0.0
        self._waiting = []          # (cseq, what, sent at) in the order sent
        self._volume_state = "unknown"
        self._session_set_up = False
        self._stream_set_up = False
        self._closed = False

    # -- negotiation

    def connect(self) -> None:
        address = "%s:%d" % (self.host, self.port)
        self.rtsp = RtspClient(self.host, self.port, timeout=self.timeout, headers={
            "User-Agent": USER_AGENT,
            "DACP-ID": self._dacp_id,
            "Active-Remote": self._active_remote,
            "Client-Instance": self._dacp_id,
        })
        try:
            self.rtsp.connect()
        except OSError as exc:
            raise s.Unreachable(str(exc), address=address) from exc
        local, remote = self.rtsp.local_ip, self.rtsp.remote_ip
        self.udp = UdpServices(local, self.ntp, self.stream.backlog)
        self.udp.start()
        host = "[%s]" % local if ":" in local else local
        self._uri = "rtsp://%s/%d" % (host, self.session_id)
        log.info("AirPlay 2 to %s from %s, timing %s", address, local, self.timing)

        self._guard(lambda: self.rtsp.request("POST", "/pair-pin-start"), "pair-pin-start")
        secret = self._guard(lambda: pairing.pair_transient(self.rtsp), "pair-setup")
        raw = self.rtsp.sock
        self.rtsp.sock = HapSocket(raw, hap_channel.HapCipher(*hap_channel.control_keys(secret)))
        self._events_cipher = hap_channel.HapCipher(*hap_channel.event_keys(secret))

        if self.timing == protocol_choice.PTP_FOLLOW:
            self.follower = PtpFollower(self.clock_sockets.event, self.clock_sockets.general, remote)
            self.follower.start()
        reply = self._step("SETUP", self._uri, body=self._session_plist(local),
                           content_type=binary_plist.CONTENT_TYPE)
        answer = self._plist(reply, "SETUP")
        self._session_set_up = True
        self._connect_events(remote, answer.get("eventPort"))
        peer_info = answer.get("timingPeerInfo") or {}
        if isinstance(peer_info, dict) and "ClockID" in peer_info:
            log.info("receiver's clock %016x, ports %s", binary_plist.clock_id_from_plist(peer_info["ClockID"]),
                     peer_info.get("ClockPorts"))

        reply = self._step("RECORD", self._uri)
        log.info("recording; receiver latency %s", reply.headers.get("Audio-Latency", "?"))
        if self.timing != protocol_choice.NTP:
            self._step("SETPEERS", self._uri, body=binary_plist.encode([remote, local]),
                       content_type="/peer-list-changed")
        reply = self._step("SETUP", self._uri, body=self._stream_plist(),
                           content_type=binary_plist.CONTENT_TYPE)
        try:
            ports = binary_plist.stream_ports(self._plist(reply, "SETUP"))
        except binary_plist.PlistError as exc:
            raise s.ProtocolError(str(exc), status="SETUP") from exc
        self._stream_set_up = True
        self.stream.open(remote, ports.data_port, self.udp, ports.control_port, self._timeline())
        log.info("stream set up: data port %d, control port %d, render latency %d ms",
                 ports.data_port, ports.control_port, ports.latency_ms)
        self._start_clock(remote)
        self._next_feedback = self.clock() + FEEDBACK_INTERVAL

    def _timeline(self):
        if self.timing == protocol_choice.NTP:
            return NtpSync(self.ntp, NTP_LATENCY_FRAMES)
        return PtpLine(self.follower if self.follower is not None else self.local_clock)

    def _start_clock(self, remote: str) -> None:
        if self.timing == protocol_choice.PTP_MASTER:
            self.master = PtpMaster(self.local_clock, self.clock_sockets.event, self.clock_sockets.general, remote,
                                    self.peer_clock_ports)
            self.master.start()
        elif self.timing == protocol_choice.PTP_FOLLOW:
            if not self.follower.ready.wait(FOLLOW_WAIT):
                raise s.NoResponse("no PTP Sync from the speaker's clock within %.0f s" % FOLLOW_WAIT)
            log.info("following the speaker's clock %016x", self.follower.clock_id)
        elif not self.udp.first_timing.wait(FIRST_TIMING_WAIT):
            log.warning("speaker has not asked for timing within %.0f s; streaming anyway", FIRST_TIMING_WAIT)

    def _session_plist(self, local: str) -> bytes:
        common = {
            "deviceID": self._device_id,
            "macAddress": self._device_id,
            "sessionUUID": str(uuid.uuid4()).upper(),
            "groupContainsGroupLeader": False,
            "name": self.name,
            "model": "iPhone14,3",
        }
        if self.timing == protocol_choice.NTP:
            return binary_plist.encode({
                **common,
                "timingProtocol": "NTP",
                "timingPort": self.udp.timing_port,
                "isMultiSelectAirPlay": True,
                "osName": "iPhone OS",
                "osVersion": "17.0",
                "osBuildVersion": "21A329",
                "sourceVersion": "690.7.1",
                "senderSupportsRelay": False,
                "statsCollectionEnabled": False,
            })
        peer = {
            "Addresses": [local],
            "ID": str(uuid.uuid4()).upper(),
            "ClockID": binary_plist.clock_id_to_plist(self.local_clock.clock_id),
            "DeviceType": 0,
            "SupportsClockPortMatchingOverride": False,
        }
        return binary_plist.encode({
            **common,
            "timingProtocol": "PTP",
            "groupUUID": str(uuid.uuid4()).upper(),
            "timingPeerInfo": peer,
            "timingPeerList": [peer],
        })

    def _stream_plist(self) -> bytes:
        return binary_plist.encode({"streams": [{
            "type": 96, "ct": 2, "audioFormat": 0x40000, "spf": s.FRAMES_PER_PACKET, "sr": s.SAMPLE_RATE,
            "shk": self._audio_key, "latencyMin": 11025, "latencyMax": 88200,
            "controlPort": self.udp.control_port, "audioMode": "default", "isMedia": True,
            "supportsDynamicStreamID": False, "streamConnectionID": self.session_id,
        }]})

    def _connect_events(self, remote: str, port) -> None:
        if not isinstance(port, int) or not 0 < port < 65536:
            log.warning("no event port in the session reply")
            return
        for attempt in range(EVENT_CONNECT_TRIES):
            try:
                self.events = socket.create_connection((remote, port), timeout=self.timeout)
                self.events.setblocking(False)
                return
            except OSError as exc:
                log.info("event port %d: %s (attempt %d)", port, exc, attempt + 1)
                time.sleep(EVENT_CONNECT_PAUSE)
        log.warning("event port %d unreachable; going on without it", port)

    def _guard(self, action, what: str):
        try:
            return action()
        except RtspTimeout as exc:
            raise s.NoResponse("%s: %s" % (what, exc)) from exc
        except RtspClosed as exc:
            raise s.NoResponse("%s: connection closed (%s)" % (what, exc)) from exc

    def _step(self, method: str, uri: str, body: bytes = b"", content_type: Optional[str] = None,
              headers=None) -> Response:
        reply = self._guard(lambda: self.rtsp.request(method, uri, headers, body, content_type), method)
        log.debug("%s -> %d %s", method, reply.status, reply.reason)
        if reply.status == 200:
            return reply
        if reply.status == 400 and method == "SETUP" and self.timing == protocol_choice.NTP:
            raise s.ProtocolError("SETUP with NTP timing refused", status="SETUP 400 (NTP)")
        error = _REFUSALS.get(reply.status, s.ProtocolError)
        raise error("%s answered %d %s" % (method, reply.status, reply.reason), status=reply.status)

    def _plist(self, reply: Response, method: str):
        try:
            answer = binary_plist.decode(reply.body)
        except binary_plist.PlistError as exc:
            raise s.ProtocolError("%s reply: %s" % (method, exc), status=method) from exc
        return answer if isinstance(answer, dict) else {}

    # -- streaming

    def send(self, pcm: bytes, when: float) -> None:
        self.stream.send(pcm, when)

    def clock_rate(self) -> float:
        return self.stream.clock_rate()

    def poll(self, now: float) -> None:
        if self.rtsp is None:
            return
        try:
            self._read_replies()
            if self._waiting and now - self._waiting[0][2] > FEEDBACK_TIMEOUT:
                raise s.NoResponse("no answer to %s" % self._waiting[0][1])
            if now >= self._next_feedback:
                self._request("POST", "/feedback", "feedback", now)
                self._next_feedback = now + FEEDBACK_INTERVAL
            if (self._volume_state == "unknown" and self.stream.first_sent is not None
                    and now - self.stream.first_sent >= VOLUME_AFTER):
                self._request("GET_PARAMETER", self._uri, "volume?", now, b"volume\r\n", "text/parameters")
                self._volume_state = "asked"
        except RtspClosed as exc:
            raise s.Disconnected(str(exc)) from exc
        except RtspTimeout as exc:
            raise s.NoResponse(str(exc)) from exc
        self._answer_events()

    def _request(self, method, uri, what, now, body=b"", content_type=None) -> None:
        cseq = self.rtsp.send(method, uri, None, body, content_type)
        self._waiting.append((cseq, what, now))

    def _read_replies(self) -> None:
        for reply in self.rtsp.poll():
            index = next((i for i, w in enumerate(self._waiting) if w[0] == reply.cseq), 0 if self._waiting else -1)
            if index < 0:
                continue
            _, what, _ = self._waiting.pop(index)
            if what == "volume?":
                self._volume_reply(reply)
            elif what == "volume" and reply.status != 200:
                log.info("speaker answered %d to its own volume", reply.status)
            elif what == "feedback" and reply.status != 200:
                log.debug("feedback answered %d", reply.status)

    def _volume_reply(self, reply: Response) -> None:
        self._volume_state = "done"
        text = reply.body.decode("utf-8", "replace") if reply.status == 200 else ""
        name, _, value = text.partition(":")
        try:
            volume = float(value)
        except ValueError:
            log.info("speaker did not tell its volume (%d); leaving it alone", reply.status)
            return
        if name.strip().lower() != "volume" or not -144.0 <= volume <= 0.0:
            log.info("speaker volume %r not usable; leaving it alone", text)
            return
        self._request("SET_PARAMETER", self._uri, "volume", self.clock(), ("volume: %f\r\n" % volume).encode(),
                      "text/parameters")

    def _answer_events(self) -> None:
        """The receiver may send requests on the event channel; each gets an empty 200."""
        if self.events is None:
            return
        try:
            data = self.events.recv(4096)
        except BlockingIOError:
            return
        except OSError as exc:
            log.info("event channel lost: %s", exc)
            self._drop_events()
            return
        if not data:
            self._drop_events()
            return
        try:
            plain = self._events_cipher.open(data)
        except hap_channel.HapFrameError as exc:
            log.warning("event channel: %s", exc)
            self._drop_events()
            return
        for line in plain.decode("utf-8", "replace").split("\n"):
            if line.lower().startswith("cseq:"):
                reply = "RTSP/1.0 200 OK\r\nCSeq: %s\r\nContent-Length: 0\r\n\r\n" % line.split(":", 1)[1].strip()
                try:
                    self.events.sendall(self._events_cipher.seal(reply.encode()))
                except OSError:
                    self._drop_events()
                    return

    def _drop_events(self) -> None:
        if self.events is not None:
            self.events.close()
            self.events = None

    # -- ending

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        for clock in (self.master, self.follower):
            if clock is not None:
                clock.stop()
        if self.rtsp is not None and self.rtsp.sock is not None and self._session_set_up:
            teardowns = []
            if self._stream_set_up:
                teardowns.append(binary_plist.encode({"streams": [{"type": 96}]}))
            teardowns.append(b"")
            for body in teardowns:
                try:
                    self.rtsp.request("TEARDOWN", self._uri, None, body,
                                      binary_plist.CONTENT_TYPE if body else None, timeout=2.0)
                except Exception as exc:  # releasing must go on whatever the speaker does
                    log.debug("TEARDOWN: %s", exc)
                    break
        if self.rtsp is not None:
            self.rtsp.close()
        self._drop_events()
        if self.udp is not None:
            if self.udp.resent_packets or self.udp.missing_packets:
                log.info("retransmitted %d packets (%d requested no longer held)",
                         self.udp.resent_packets, self.udp.missing_packets)
            self.udp.stop()
        self.stream.close()
