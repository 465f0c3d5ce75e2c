"""One AirPlay 2 session: transient pairing, encrypted RTSP, a realtime ALAC stream with encrypted packets.

Connecting: POST /pair-pin-start and the transient pair-setup (``pairing``) on plain RTSP; the channel is
encrypted from then on; the steps of ``steps.STEPS``; the event channel (``events``); the clock (``timing``).
Then audio packets on the data port, a time packet every second on the receiver's control port and the
control requests of ``control``. To stop: TEARDOWN the stream, then the session, then close the connection.

The speaker's own volume is never changed (``control`` only sends back the value it read).
"""

import logging
import random
import secrets
import time
from typing import Callable, Optional

from .. import negotiation as n
from .. import session as s
from ..streaming import rtp
from ..streaming.audio_stream import AudioStream
from ..streaming.udp import UdpServices
from ..rtsp import RtspClient
from ..ptp.clock import LocalClock
from ..ptp.clock_hub import ClockHub
from ..ptp.follower import PtpFollower
from ..ptp import messages as ptp_messages
from . import binary_plist, hap_channel, pairing, protocol_choice, steps, timing
from .audio_packets import AudioSealer
from .control import ControlRequests
from .events import EventChannel
from .hap_socket import HapSocket

log = logging.getLogger(__name__)

USER_AGENT = "AirPlay/540.31"
TEARDOWN_WAIT = 2.0
TEARDOWN_WAIT_STOPPING = 0.2

PAIR_PIN_START = n.Step("POST", "/pair-pin-start", accepted=n.ANY_STATUS)


def _mac_string(value: int) -> str:
    return ":".join("%02X" % b for b in value.to_bytes(6, "big"))


class AirPlay2Session(s.Session):
    latency = steps.PTP_LATENCY_FRAMES / s.SAMPLE_RATE

    def __init__(self, host: str, port: int, timing_kind: str, *, clock_hub: Optional[ClockHub] = None,
                 peer_clock_ports=(ptp_messages.EVENT_PORT, ptp_messages.GENERAL_PORT),
                 name: str = "Sonvale", timeout: float = 5.0, clock: Callable[[], float] = time.monotonic):
        if timing_kind in (protocol_choice.PTP_MASTER, protocol_choice.PTP_FOLLOW) and clock_hub is None:
            raise ValueError("PTP timing needs the clock ports")
        self.host, self.port, self.timing = host, port, timing_kind
        self.clock_hub = clock_hub
        self.shared_schedule = False
        self.peer_clock_ports = tuple(peer_clock_ports)
        self.name = name
        self.timeout = timeout
        self.clock = clock
        rng = random.SystemRandom()
        self.session_id = rng.getrandbits(32)
        self.device_id = _mac_string(rng.getrandbits(48) & ~(1 << 40) | (1 << 41))
        self.audio_key = secrets.token_bytes(32)
        self.local_clock = clock_hub.clock if clock_hub is not None else LocalClock()
        self.ntp = rtp.NtpClock(clock)
        self.stream = AudioStream(0 if timing_kind != protocol_choice.NTP else rng.getrandbits(32),
                                  rng.getrandbits(16), rng.getrandbits(32) | 1, AudioSealer(self.audio_key).seal)
        self.rtsp: Optional[RtspClient] = None
        self.events: Optional[EventChannel] = None
        self.udp: Optional[UdpServices] = None
        self.leading: Optional[object] = None
        self.follower: Optional[PtpFollower] = None
        self.control: Optional[ControlRequests] = None
        self.local = self.remote = ""
        # What the replies give (``steps``).
        self.event_port: Optional[int] = None
        self.receiver_clock: Optional[int] = None
        self.data_port = self.control_port = 0
        self.render_latency_ms = 0.0
        self._uri = ""
        self.peers_told = b""
        self._session_set_up = False
        self._stream_set_up = False
        self._closed = False

    # -- negotiation

    def connect(self) -> None:
        self.rtsp = n.open_control(self.host, self.port, self.timeout, USER_AGENT)
        self.local, self.remote = self.rtsp.local_ip, self.rtsp.remote_ip
        self.udp = UdpServices(self.local, self.ntp, self.stream.backlog)
        self.udp.start()
        self._uri = n.session_uri(self.local, self.session_id)
        log.info("AirPlay 2 to %s:%d from %s, timing %s", self.host, self.port, self.local, self.timing)

        n.run(self.rtsp, PAIR_PIN_START, self, self._uri)
        secret = n.guarded("pair-setup", lambda: pairing.pair_transient(self.rtsp))
        self.rtsp.sock = HapSocket(self.rtsp.sock, hap_channel.HapCipher(*hap_channel.control_keys(secret)))
        self.events = EventChannel(hap_channel.HapCipher(*hap_channel.event_keys(secret)))
        if self.timing == protocol_choice.PTP_FOLLOW:
            self.follower = self.clock_hub.follow(self.remote)

        session_setup, *rest = steps.STEPS
        n.run(self.rtsp, session_setup, self, self._uri)
        self._session_set_up = True
        if self.receiver_clock is not None:
            log.info("receiver's clock %016x", self.receiver_clock)
        self.events.connect(self.remote, self.event_port)
        for step in rest:
            n.run(self.rtsp, step, self, self._uri)
        self._stream_set_up = True
        self.stream.open(self.remote, self.data_port, self.udp, self.control_port, timing.timeline(self))
        log.info("stream set up: data port %d, control port %d, receiver's render latency %.0f ms; "
                 "%.0f ms from sending to playing", self.data_port, self.control_port, self.render_latency_ms,
                 self.latency * 1000)
        timing.start_clock(self)
        self.control = ControlRequests(self.rtsp, self._uri, self.clock)

    # -- streaming

    def send(self, pcm: bytes, when: float) -> None:
        self.stream.send(pcm, when)

    def clock_rate(self) -> float:
        return self.stream.clock_rate()

    def share_schedule(self) -> None:
        self.shared_schedule = True

    def poll(self, now: float) -> None:
        if self.control is None:
            return
        if self.follower is not None and self.follower.failure is not None:
            raise s.ClockLost(self.follower.failure)
        self.control.poll(now, self.stream.first_sent)
        self.events.answer()
        told = self.peers_told
        if self.leading is not None and steps.peer_list(self) != told:  # a receiver joined our clock or left it
            self.control.tell_peers(self.peers_told, now)

    # -- ending

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self.leading is not None or self.follower is not None:
            self.clock_hub.release(self.remote, self.follower or self.leading)
        if self.rtsp is not None and self.rtsp.sock is not None and self._session_set_up:
            # Asked to stop, the speaker gets its TEARDOWNs but no time to answer: the closed connection
            # releases it as well.
            self.rtsp.stop = None
            wait = TEARDOWN_WAIT_STOPPING if s.STOP.is_set() else TEARDOWN_WAIT
            teardowns = [binary_plist.encode({"streams": [{"type": 96}]})] if self._stream_set_up else []
            for body in teardowns + [b""]:
                try:
                    self.rtsp.request("TEARDOWN", self._uri, None, body,
                                      binary_plist.CONTENT_TYPE if body else None, timeout=wait)
                except Exception as exc:  # releasing must go on whatever the speaker does
                    log.debug("TEARDOWN: %s", exc)
                    break
        if self.rtsp is not None:
            self.rtsp.close()
        if self.events is not None:
            self.events.close()
        if self.udp is not None:
            self.udp.stop()
        self.stream.close()
