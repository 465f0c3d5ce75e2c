"""One RAOP session: OPTIONS, ANNOUNCE, SETUP, RECORD, then RTP audio with sync packets,
keep-alives and retransmissions, and TEARDOWN followed by closing the connection.

The speaker's own volume is never touched: no volume SET_PARAMETER is sent.
"""

from __future__ import annotations

import logging
import random
import time
from typing import Callable

from .. import negotiation as n
from .. import session as s
from ..quoting import quoted
from ..rtsp import Response, RtspClient, RtspClosed, RtspMalformed, RtspTimeout, parse_transport
from ..streaming import rtp
from ..streaming.audio_stream import AudioStream, NtpSync
from ..streaming.udp import UdpServices
from .sdp import alac_sdp
from .txt import check_capabilities

log = logging.getLogger(__name__)

USER_AGENT = "AirPlay/540.31"
# The sync packets announce this latency; receivers add the latency their RECORD reply names (11025 frames
# for shairport-sync with flags 7 and this User-Agent), so the speaker plays about 2.0 s after sending.
LATENCY_FRAMES = 77175
RECEIVER_OFFSET_FRAMES = 11025
KEEPALIVE_INTERVAL = 20.0
KEEPALIVE_TIMEOUT = 10.0
FIRST_TIMING_WAIT = 3.0
TEARDOWN_WAIT = 2.0
TEARDOWN_WAIT_STOPPING = 0.2


def _transport(session: "RaopSession", reply: Response) -> None:
    fields = parse_transport(reply.headers.get("Transport", ""))
    if "server_port" not in fields or "control_port" not in fields:
        raise n.Malformed("Transport %s lacks a port" % quoted(reply.headers.get("Transport")))
    server_port, control_port = n.port(n.digits(fields["server_port"])), n.port(n.digits(fields["control_port"]))
    if "Session" in reply.headers:
        session.session_header = {"Session": reply.headers["Session"].split(";")[0].strip()}
    session.stream.open(session.remote, server_port, session.udp, control_port,
                        NtpSync(session.ntp, LATENCY_FRAMES))
    log.info("audio port %d, control port %d", server_port, control_port)


def _receiver_latency(session: "RaopSession", reply: Response) -> None:
    value = reply.headers.get("Audio-Latency")
    frames = n.whole(n.digits(value), 0, 10 * s.SAMPLE_RATE) if value is not None else RECEIVER_OFFSET_FRAMES
    session.latency = (LATENCY_FRAMES + frames) / s.SAMPLE_RATE


# The RAOP negotiation, in order. A 400 on ANNOUNCE is a HomePod or Apple TV allowing only its household.
STEPS = (
    n.Step("OPTIONS", "*", accepted=(200, 501)),
    n.Step("ANNOUNCE", request=lambda x: ({}, alac_sdp(x.session_id, x.local, x.remote), "application/sdp"),
           refusals={**n.REFUSALS, 400: s.AccessRestricted}),
    n.Step("SETUP", request=lambda x: ({"Transport": "RTP/AVP/UDP;unicast;interleaved=0-1;mode=record;"
                                                     "control_port=%d;timing_port=%d"
                                                     % (x.udp.control_port, x.udp.timing_port)}, b"", None),
           check=_transport),
    n.Step("RECORD", request=lambda x: ({"Range": "npt=0-", "RTP-Info": "seq=%d;rtptime=%d"
                                         % (x.stream.seq, x.stream.timestamp)}, b"", None),
           check=_receiver_latency),
)


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
        self.local = self.remote = ""
        self.session_header: dict[str, str] = {}
        self._uri = ""
        self._next_keepalive = 0.0
        self._keepalive_sent = 0.0
        self._closed = False

    # -- negotiation

    def connect(self) -> None:
        check_capabilities(self.txt)
        self.rtsp = n.open_control(self.host, self.port, self.timeout, USER_AGENT)
        self.local, self.remote = self.rtsp.local_ip, self.rtsp.remote_ip
        self.udp = UdpServices(self.local, self.ntp, self.stream.backlog)
        self.udp.start()
        self._uri = n.session_uri(self.local, self.session_id)
        log.info("connected to %s:%d from %s; timing port %d, control port %d",
                 self.host, self.port, self.local, self.udp.timing_port, self.udp.control_port)
        for step in STEPS:
            n.run(self.rtsp, step, self, self._uri, self.session_header)
        log.info("recording; %.0f ms from sending to playing", self.latency * 1000)
        # Audio sent before the first timing exchange arrives "late" and is flushed.
        if not s.wait_for(self.udp.first_timing, FIRST_TIMING_WAIT):
            log.warning("speaker has not asked for timing within %.0f s; streaming anyway",
                        FIRST_TIMING_WAIT)
        self._next_keepalive = self.clock() + KEEPALIVE_INTERVAL

    # -- streaming

    def send(self, pcm: bytes, when: float) -> None:
        self.stream.send(pcm, when)

    def poll(self, now: float) -> None:
        if self.rtsp is None:
            return
        try:
            for reply in self.rtsp.poll():
                if reply.status not in (200, 501):
                    log.warning("keep-alive answered %d %s", reply.status, quoted(reply.reason))
            if self.rtsp.outstanding():
                if now - self._keepalive_sent > KEEPALIVE_TIMEOUT:
                    raise s.NoResponse("no answer to the keep-alive")
            elif now >= self._next_keepalive:
                self.rtsp.send("OPTIONS", "*", self.session_header)
                self._keepalive_sent = now
                self._next_keepalive = now + KEEPALIVE_INTERVAL
        except RtspClosed as exc:
            raise s.ClosedBySpeaker(str(exc)) from exc
        except RtspTimeout as exc:
            raise s.NoResponse(str(exc)) from exc
        except RtspMalformed as exc:
            raise s.ProtocolError(str(exc), status="OPTIONS") from exc

    # -- ending

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self.rtsp is not None and self.rtsp.sock is not None and self.session_header:
            # Asked to stop, the speaker gets its TEARDOWN but no time to answer: the closed connection
            # releases it as well.
            self.rtsp.stop = None
            try:
                self.rtsp.request("TEARDOWN", self._uri, self.session_header,
                                  timeout=TEARDOWN_WAIT_STOPPING if s.STOP.is_set() else TEARDOWN_WAIT)
            except Exception as exc:  # releasing must go on whatever the speaker does
                log.debug("TEARDOWN: %s", exc)
        if self.rtsp is not None:
            self.rtsp.close()
        if self.udp is not None:
            self.udp.stop()
        self.stream.close()
