"""The sending half both protocols share: RTP numbering, ALAC framing, the retransmit backlog and the time
packets that tie RTP time to the receiver's clock.

A session negotiates, then hands the stream its data port, its UDP services and a timeline (``NtpSync`` for
AirPlay 1 and AirPlay 2 over NTP, ``PtpLine`` for AirPlay 2 over PTP). ``send`` runs once per packet on the
streamer's thread, so it does as little as it can.
"""

from __future__ import annotations

import logging
import socket
import time
from typing import Callable, Optional

from .. import session as s
from ..ptp.time_announce import PLAY_LATENCY, SAMPLE_RATE, FrozenLine, time_announce
from . import rtp
from .alac import encode_escape
from .udp import UdpServices

log = logging.getLogger(__name__)

TIME_PACKET_INTERVAL = 1.0
# A receiver on NTP timing asks every 3 s; no request for this long means it is gone (or the path to it is).
SILENT_AFTER = 5.0
# The send schedule in follow mode leans on the speaker's clock so that a lag behind the line closes over about
# this long, and never by more than MAX_LEAN: the receiver sees a steady stream, never a jump.
LEAN_SECONDS = 60.0
MAX_LEAN = 200e-6
# A lag beyond this is no drift: the clock's time base stepped.
MAX_LAG_NS = 500_000_000


class NtpSync:
    """0xD4 sync packets on the NTP-style clock the receiver asks us about."""

    def __init__(self, ntp: rtp.NtpClock, latency_frames: int) -> None:
        self._ntp = ntp
        self._latency = latency_frames

    def packet(self, timestamp: int, frames: int, when: float, anchor: bool) -> bytes:
        return rtp.sync_packet(timestamp, self._latency, self._ntp.at(when), first=anchor)

    def moved(self) -> bool:
        return False

    def rate(self) -> float:
        return 1.0


class PtpLine:
    """0xD7 time announces on one frozen RTP-to-clock line. ``clock`` has ``read(monotonic seconds) -> (clock id,
    ns)``, ``clock_id`` and ``rate`` (our own clock as master, or the receiver's grandmaster we follow).

    The line is drawn again only when the schedule jumped (``anchor``), the grandmaster changed or its time base
    stepped (a speaker restarted under the same id); in the last two cases at the same instant on the new time
    base, so the audio goes on without a jump. Every announce states the time of the clock it names, read together
    with its id. Drift never moves the line: the streamer paces by ``rate()``, which follows the speaker's clock
    and leans gently against any lag.

    ``tracking``: the schedule is shared by several speakers and paced by the local clock, so it cannot follow
    this one's. Then every announce is read off the clock itself: the line follows the schedule, the speaker plays
    each frame at the same local instant as the others whatever its clock's rate, and drift moves the line by the
    rate difference (0.1 ms a second at 100 ppm), which the receiver absorbs as it does any small correction. The
    receiver counts the latency on its clock, so the time stated is the clock's reading when the packet is to play
    less that latency (at 50 ppm, reading it at ``when`` would be 0.1 ms off). A new clock is a new anchor."""

    def __init__(self, clock, tracking: bool = False) -> None:
        self._clock = clock
        self._tracking = tracking
        self._line: Optional[FrozenLine] = None
        self._line_frames = 0
        self._clock_id: Optional[int] = None
        self._lag_ns = 0

    def packet(self, timestamp: int, frames: int, when: float, anchor: bool) -> bytes:
        if self._tracking:
            clock_id, play_ns = self._clock.read(when + PLAY_LATENCY / SAMPLE_RATE)
            first, self._clock_id = anchor or clock_id != self._clock_id, clock_id
            return time_announce(timestamp, play_ns - PLAY_LATENCY * 1_000_000_000 // SAMPLE_RATE, clock_id, first)
        clock_id, now_ns = self._clock.read(when)
        if anchor or self._line is None:
            self._line = FrozenLine(timestamp, now_ns)
            self._line_frames = frames
            self._lag_ns = 0
            anchor = True
        else:
            lag = now_ns - self._line.clock_at(frames - self._line_frames)
            if clock_id != self._clock_id or abs(lag) > MAX_LAG_NS:  # a new clock, or its time base stepped
                log.info("time line moved to grandmaster %016x at the same instant", clock_id)
                self._line = FrozenLine(timestamp, now_ns - self._lag_ns)
                self._line_frames = frames
                anchor = True
            else:
                self._lag_ns = lag
        self._clock_id = clock_id
        return time_announce(timestamp, self._line.clock_at(frames - self._line_frames), clock_id, first=anchor)

    def moved(self) -> bool:
        """The grandmaster changed since the last announce: the next packet should carry one at once."""
        return self._clock_id is not None and self._clock.clock_id != self._clock_id

    def rate(self) -> float:
        if self._tracking:
            return 1.0
        lean = max(-MAX_LEAN, min(MAX_LEAN, self._lag_ns * 1e-9 / LEAN_SECONDS))
        return round(self._clock.rate * (1.0 + lean), 9)


class AudioStream:
    """RTP audio for one session. ``seal(header, payload) -> packet`` encrypts (AirPlay 2); None sends clear."""

    def __init__(self, ssrc: int, seq: int, timestamp: int,
                 seal: Optional[Callable[[bytes, bytes], bytes]] = None) -> None:
        self.ssrc = ssrc
        self.seq = seq
        self.timestamp = timestamp
        self.backlog = rtp.Backlog()
        self.first_sent: Optional[float] = None
        self._seal = seal
        self._audio: Optional[socket.socket] = None
        self._udp: Optional[UdpServices] = None
        self._remote_control = None
        self._timeline = None
        self._frames = 0
        self._last_when: Optional[float] = None
        self._last_time_packet = -1e9

    def open(self, remote: str, data_port: int, udp: UdpServices, control_port: int, timeline) -> None:
        family = socket.AF_INET6 if ":" in remote else socket.AF_INET
        self._audio = socket.socket(family, socket.SOCK_DGRAM)
        self._audio.connect((remote, data_port))
        self._udp = udp
        udp.receiver = remote
        self._remote_control = (remote, control_port)
        self._timeline = timeline

    def send(self, pcm: bytes, when: float) -> None:
        first = self.first_sent is None
        anchor = first or abs(when - self._last_when - s.PACKET_SECONDS) > 0.05
        if anchor or when - self._last_time_packet >= TIME_PACKET_INTERVAL or self._timeline.moved():
            try:
                self._udp.control.sendto(self._timeline.packet(self.timestamp, self._frames, when, anchor),
                                     self._remote_control)
            except OSError as exc:
                log.debug("time packet not sent: %s", exc)
            self._last_time_packet = when
            self._check_alive()
        header = rtp.rtp_header(self.seq, self.timestamp, self.ssrc, marker=first)
        payload = encode_escape(pcm)
        packet = self._seal(header, payload) if self._seal is not None else header + payload
        if first:
            self.first_sent = when
        self._last_when = when
        self.backlog.put(self.seq, packet)
        self.seq = (self.seq + 1) & 0xFFFF
        self.timestamp = (self.timestamp + s.FRAMES_PER_PACKET) & 0xFFFFFFFF
        self._frames += s.FRAMES_PER_PACKET
        try:
            self._audio.send(packet)
        except ConnectionRefusedError as exc:
            raise s.Disconnected("audio port unreachable") from exc
        except OSError as exc:
            log.debug("audio packet not sent: %s", exc)

    def clock_rate(self) -> float:
        return self._timeline.rate() if self._timeline is not None else 1.0

    def _check_alive(self) -> None:
        udp = self._udp
        if udp.first_timing.is_set() and time.monotonic() - udp.last_heard > SILENT_AFTER:
            raise s.NoResponse("nothing from the speaker for %.0f s (it asks for timing every 3 s)" % SILENT_AFTER)

    def close(self) -> None:
        if self._audio is not None:
            self._audio.close()
