"""The sending half both protocols share: RTP numbering, ALAC framing, the retransmit backlog and the time
packets that tie RTP time to the receiver's clock.

A session negotiates, then hands the stream its data port, its control socket and a timeline (``NtpSync`` for
AirPlay 1 and AirPlay 2 over NTP, ``PtpLine`` for AirPlay 2 over PTP). ``send`` runs once per packet on the
streamer's thread, so it does as little as it can.
"""

from __future__ import annotations

import logging
import socket
from typing import Callable, Optional

from .. import session as s
from ..ptp.time_announce import FrozenLine, time_announce
from . import rtp
from .alac import encode_escape

log = logging.getLogger(__name__)

TIME_PACKET_INTERVAL = 1.0
REANCHOR_DRIFT_NS = 25_000_000


class NtpSync:
    """0xD4 sync packets on the NTP-style clock the receiver asks us about."""

    def __init__(self, ntp: rtp.NtpClock, latency_frames: int) -> None:
        self._ntp = ntp
        self._latency = latency_frames

    def packet(self, timestamp: int, frames: int, when: float, anchor: bool) -> bytes:
        return rtp.sync_packet(timestamp, self._latency, self._ntp.at(when), first=anchor)


class PtpLine:
    """0xD7 time announces on one frozen RTP-to-clock line. ``clock`` has ``at(monotonic seconds) -> ns`` and
    ``clock_id`` (our own clock as master, or the receiver's grandmaster we follow)."""

    def __init__(self, clock) -> None:
        self._clock = clock
        self._line: Optional[FrozenLine] = None

    def packet(self, timestamp: int, frames: int, when: float, anchor: bool) -> bytes:
        if not anchor:
            clock_ns = self._line.clock_at(frames - self._line_frames)
            if abs(clock_ns - self._clock.at(when)) > REANCHOR_DRIFT_NS:
                log.warning("speaker clock drifted %.1f ms from the stream line; re-anchoring",
                            (self._clock.at(when) - clock_ns) / 1e6)
                anchor = True
        if anchor:
            self._line = FrozenLine(timestamp, self._clock.at(when))
            self._line_frames = frames
        return time_announce(timestamp, self._line.clock_at(frames - self._line_frames), self._clock.clock_id,
                             first=anchor)


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
        self._control: Optional[socket.socket] = None
        self._remote_control = None
        self._timeline = None
        self._frames = 0
        self._last_when: Optional[float] = None
        self._last_time_packet = -1e9

    def open(self, remote: str, data_port: int, control: socket.socket, control_port: int, timeline) -> None:
        family = socket.AF_INET6 if ":" in remote else socket.AF_INET
        self._audio = socket.socket(family, socket.SOCK_DGRAM)
        self._audio.connect((remote, data_port))
        self._control = control
        self._remote_control = (remote, control_port)
        self._timeline = timeline

    def send(self, pcm: bytes, when: float) -> None:
        first = self.first_sent is None
        anchor = first or abs(when - self._last_when - s.PACKET_SECONDS) > 0.05
        if anchor or when - self._last_time_packet >= TIME_PACKET_INTERVAL:
            try:
                self._control.sendto(self._timeline.packet(self.timestamp, self._frames, when, anchor),
                                     self._remote_control)
            except OSError as exc:
                log.debug("time packet not sent: %s", exc)
            self._last_time_packet = when
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

    def close(self) -> None:
        if self._audio is not None:
            self._audio.close()
