"""One RAOP session: OPTIONS, ANNOUNCE, SETUP, RECORD, then RTP audio with sync packets,
keep-alives and retransmissions, and TEARDOWN followed by closing the connection.

The speaker's own volume is never touched: no volume SET_PARAMETER is sent.
"""

from __future__ import annotations

import logging
import random
import time
from typing import Callable

from .. import session as s
from ..rtsp import Response, RtspClient, RtspClosed, RtspTimeout, parse_transport
from ..streaming import rtp
from ..streaming.audio_stream import AudioStream, NtpSync
from ..streaming.udp import UdpServices
from .sdp import alac_sdp
from .txt import check_capabilities

log = logging.getLogger(__name__)

USER_AGENT = "AirPlay/540.31"
# The sync packets announce this latency; receivers add 11025 frames for flags 7 and this
# User-Agent, so the speaker plays about 2.0 s after sending.
LATENCY_FRAMES = 77175
RECEIVER_OFFSET_FRAMES = 11025
KEEPALIVE_INTERVAL = 20.0
KEEPALIVE_TIMEOUT = 10.0
FIRST_TIMING_WAIT = 3.0

# What each refusal means, per request; anything else is a ProtocolError.
_REFUSALS: dict[int, type[s.SenderError]] = {
    401: s.PasswordRequired,
    403: s.PairingRequired,
    453: s.SpeakerBusy,
    406: s.FormatRefused,
    415: s.FormatRefused,
    456: s.FormatRefused,
    520: s.TimingPortUnreachable,
}
_ACCEPTED = {"OPTIONS": (200, 501)}


class RaopSession(s.Session):
    latency = (LATENCY_FRAMES + RECEIVER_OFFSET_FRAMES) / s.SAMPLE_RATE

    def __init__(self, host: str, port: int, txt: dict[str, str] | None = None, *,
                 timeout: float = 5.0, clock: Callable[[], float] = time.monotonic) -> None:
        self.host = host
        self.port = port
        self.txt = dict(txt or {})
        self.timeout = timeout
        self.clock = clock
        self.rtsp: RtspClient | None = None
        self.udp: UdpServices | None = None
        self.ntp = rtp.NtpClock(clock)
        rng = random.SystemRandom()
        self.session_id = rng.getrandbits(32)
        # An odd first RTP time, so no packet ever has RTP time 0.
        self.stream = AudioStream(rng.getrandbits(32), rng.getrandbits(16), rng.getrandbits(32) | 1)
        self._dacp_id = "%016X" % rng.getrandbits(64)
        self._active_remote = str(rng.getrandbits(32))
        self._uri = ""
        self._session_header: dict[str, str] = {}
        self._next_keepalive = 0.0
        self._keepalive_sent = 0.0
        self._closed = False

    # -- negotiation

    def connect(self) -> None:
        check_capabilities(self.txt)
        self.rtsp = RtspClient(self.host, self.port, timeout=self.timeout, headers={
            "User-Agent": USER_AGENT,
            "DACP-ID": self._dacp_id,
            "Active-Remote": self._active_remote,
            "Client-Instance": self._dacp_id,
        })
        address = "%s:%d" % (self.host, self.port)
        try:
            self.rtsp.connect()
        except OSError as exc:
            raise s.Unreachable(str(exc), address=address) from exc
        local, remote = self.rtsp.local_ip, self.rtsp.remote_ip
        self.udp = UdpServices(local, self.ntp, self.stream.backlog)
        self.udp.start()
        host = "[%s]" % local if ":" in local else local
        self._uri = "rtsp://%s/%d" % (host, self.session_id)
        log.info("connected to %s from %s; timing port %d, control port %d",
                 address, local, self.udp.timing_port, self.udp.control_port)

        self._step("OPTIONS", "*")
        self._step("ANNOUNCE", self._uri, body=alac_sdp(self.session_id, local, remote),
                   content_type="application/sdp")
        reply = self._step("SETUP", self._uri, headers={
            "Transport": "RTP/AVP/UDP;unicast;interleaved=0-1;mode=record;"
                         "control_port=%d;timing_port=%d" % (self.udp.control_port,
                                                             self.udp.timing_port)})
        transport = parse_transport(reply.headers.get("Transport", ""))
        try:
            server_port = int(transport["server_port"])
            control_port = int(transport["control_port"])
        except (KeyError, ValueError):
            raise s.ProtocolError("SETUP transport %r" % reply.headers.get("Transport"),
                                  status="SETUP") from None
        if "Session" in reply.headers:
            self._session_header = {"Session": reply.headers["Session"].split(";")[0].strip()}
        self.stream.open(remote, server_port, self.udp, control_port,
                         NtpSync(self.ntp, LATENCY_FRAMES))

        reply = self._step("RECORD", self._uri, headers={
            "Range": "npt=0-",
            "RTP-Info": "seq=%d;rtptime=%d" % (self.stream.seq, self.stream.timestamp)})
        log.info("recording: audio port %d, control port %d, speaker latency %s",
                 server_port, control_port, reply.headers.get("Audio-Latency", "?"))
        # Audio sent before the first timing exchange arrives "late" and is flushed.
        if not self.udp.first_timing.wait(FIRST_TIMING_WAIT):
            log.warning("speaker has not asked for timing within %.0f s; streaming anyway",
                        FIRST_TIMING_WAIT)
        self._next_keepalive = self.clock() + KEEPALIVE_INTERVAL

    def _step(self, method: str, uri: str, headers: dict[str, str] | None = None,
              body: bytes = b"", content_type: str | None = None) -> Response:
        assert self.rtsp is not None
        try:
            reply = self.rtsp.request(method, uri, {**self._session_header, **(headers or {})},
                                      body, content_type)
        except RtspTimeout as exc:
            raise s.NoResponse("%s: %s" % (method, exc)) from exc
        except RtspClosed as exc:
            raise s.NoResponse("%s: %s" % (method, exc)) from exc
        log.debug("%s -> %d %s", method, reply.status, reply.reason)
        if reply.status == 200 or reply.status in _ACCEPTED.get(method, ()):
            return reply
        if reply.status == 400 and method == "ANNOUNCE":
            raise s.AccessRestricted("ANNOUNCE 400")
        error = _REFUSALS.get(reply.status, s.ProtocolError)
        raise error("%s answered %d %s" % (method, reply.status, reply.reason),
                    status=reply.status)

    # -- streaming

    def send(self, pcm: bytes, when: float) -> None:
        self.stream.send(pcm, when)

    def poll(self, now: float) -> None:
        if self.rtsp is None:
            return
        try:
            for reply in self.rtsp.poll():
                if reply.status not in (200, 501):
                    log.warning("keep-alive answered %d %s", reply.status, reply.reason)
            if self.rtsp.outstanding():
                if now - self._keepalive_sent > KEEPALIVE_TIMEOUT:
                    raise s.NoResponse("no answer to the keep-alive")
            elif now >= self._next_keepalive:
                self.rtsp.send("OPTIONS", "*", self._session_header)
                self._keepalive_sent = now
                self._next_keepalive = now + KEEPALIVE_INTERVAL
        except RtspClosed as exc:
            raise s.Disconnected(str(exc)) from exc
        except RtspTimeout as exc:
            raise s.NoResponse(str(exc)) from exc

    # -- ending

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self.rtsp is not None and self.rtsp.sock is not None and self._session_header:
            try:
                self.rtsp.request("TEARDOWN", self._uri, self._session_header, timeout=2.0)
            except Exception as exc:  # releasing must go on whatever the speaker does
                log.debug("TEARDOWN: %s", exc)
        if self.rtsp is not None:
            self.rtsp.close()
        if self.udp is not None:
            if self.udp.resent_packets or self.udp.missing_packets:
                log.info("retransmitted %d packets (%d requested no longer held)",
                         self.udp.resent_packets, self.udp.missing_packets)
            self.udp.stop()
        self.stream.close()
