"""The playback session a streamer drives, and the failures a session can raise.

A protocol (AirPlay 1 in ``pyatv.raop``, AirPlay 2 in ``pyatv.airplay2``) implements
``Session``. The streamer (``pyatv.streamer``) owns the real-time schedule, the input and
the reported states; a session only turns packets of PCM into whatever the speaker wants.

Life cycle of one session object (all calls from the streamer's thread):

    session = factory()                # cheap, no network traffic
    session.connect()                  # negotiate until the speaker takes audio
    session.send(pcm, when)            # once per packet, on the schedule
    session.poll(now)                  # between packets, at least every 100 ms
    session.close()                    # release the speaker; never raises

A session is used for one connection only; the streamer asks the factory for a new one to
reconnect (after idle standby or after the speaker dropped the connection).
"""

from __future__ import annotations

import abc
import threading
import time
from typing import Callable, Optional

SAMPLE_RATE = 44100
CHANNELS = 2
BYTES_PER_FRAME = 4
FRAMES_PER_PACKET = 352
PACKET_BYTES = FRAMES_PER_PACKET * BYTES_PER_FRAME
PACKET_SECONDS = FRAMES_PER_PACKET / SAMPLE_RATE

#: Set once the worker is asked to stop (SIGTERM): every wait on a speaker gives way to it within
#: ``STOP_SLICE`` seconds, so a slow speaker never holds the worker up.
STOP = threading.Event()
STOP_SLICE = 0.05


def wait_for(event: threading.Event, timeout: float) -> bool:
    """``event.wait(timeout)`` that raises ``Stopped`` as soon as the worker is asked to stop."""
    deadline = time.monotonic() + timeout
    while not event.wait(max(0.0, min(STOP_SLICE, deadline - time.monotonic()))):
        if STOP.is_set():
            raise Stopped("asked to stop")
        if time.monotonic() >= deadline:
            return False
    return True


def pause(seconds: float) -> None:
    """Sleeps, unless the worker is asked to stop (then raises ``Stopped``)."""
    if wait_for(STOP, seconds):
        raise Stopped("asked to stop")


class Session(abc.ABC):
    """One playback session with one speaker.

    ``connect()`` raises one of the ``SenderError`` subclasses below when the speaker
    refuses or cannot be reached; after it returns, the speaker plays what ``send`` gives
    it about ``latency`` seconds later.
    """

    #: seconds between handing a packet to ``send`` and the speaker playing it, as negotiated by ``connect``
    latency: float = 2.0

    @abc.abstractmethod
    def connect(self) -> None:
        """Reach the speaker and negotiate the stream.

        Returns once the first packet may be sent. Blocks for a bounded time (a few
        seconds at most per network round trip).
        """

    @abc.abstractmethod
    def send(self, pcm: bytes, when: float) -> None:
        """Send one packet.

        ``pcm``: exactly ``PACKET_BYTES`` bytes, ``FRAMES_PER_PACKET`` frames of signed
        16-bit little-endian stereo, left first. ``when``: the ``time.monotonic()`` instant
        this packet is scheduled for; consecutive calls advance it by ``PACKET_SECONDS``
        unless the schedule was reset, in which case ``when`` jumps and the session should
        re-anchor its clock mapping. Raises ``Disconnected`` when the speaker is gone.
        """

    def clock_rate(self) -> float:
        """Seconds of the clock the speaker plays by per ``time.monotonic()`` second: the streamer paces by it.
        Exactly 1.0 unless the session follows the speaker's own clock."""
        return 1.0

    def share_schedule(self) -> None:
        """The session is one of several on one schedule paced by the local clock (``clock_rate`` unused): its
        speaker is to play each packet at ``when`` plus the latency of that clock, whatever its own clock's rate."""

    @abc.abstractmethod
    def poll(self, now: float) -> None:
        """Housekeeping between packets: keep-alives, answering the speaker, noticing that
        it went away. Must return quickly (never waits for a network reply).
        Raises ``Disconnected`` or ``NoResponse``."""

    def lost(self, exc: "SenderError") -> "SenderError":
        """What ``exc``, raised by ``send`` or ``poll``, means; asked once the stream has stopped and the session is
        closed, so that finding out may take a while (the input is held meanwhile). By default: just that."""
        return exc

    @abc.abstractmethod
    def close(self) -> None:
        """Stop the stream and release the speaker (so another sender may play at once).
        Bounded in time, idempotent, never raises."""


class SenderError(Exception):
    """A failure the user is told about. ``errors.message_for`` gives its Chinese text."""

    def __init__(self, detail: str = "", **context: object) -> None:
        super().__init__(detail or self.__class__.__name__)
        self.detail = detail
        self.context = context


class SpeakerNotFound(SenderError):
    """No speaker with the wanted name answered the browse. ``context['seen']``: names seen."""


class Unreachable(SenderError):
    """The connection to the speaker could not be opened. ``context['address']``."""


class Stopped(SenderError):
    """The worker was asked to stop while it waited on the speaker."""


class SpeakerBusy(SenderError):
    """Another sender holds the speaker: it refused us (RTSP 453, pairing "busy"), or its advertisement says a
    session holds it. Never fought over: the streamer calls ``wait_until_free`` and then tries again.

    ``waiter`` (set by whoever knows how this speaker tells that it is free) does the waiting; without one, the
    speaker is asked again every ``RETRY_SECONDS``, which takes nothing from the other sender since a busy
    speaker refuses."""

    RETRY_SECONDS = 5.0
    waiter: Optional[Callable[["SpeakerBusy", Callable[[], bool], Callable[[float], None]], bool]] = None

    def wait_until_free(self, should_stop: Callable[[], bool], keep_alive: Callable[[float], None]) -> bool:
        """Blocks until the speaker is worth trying again; False when asked to stop first. ``keep_alive(grace)``
        is called at least every second, so heartbeats go on meanwhile."""
        if self.waiter is not None:
            return self.waiter(self, should_stop, keep_alive)
        deadline = time.monotonic() + self.RETRY_SECONDS
        while time.monotonic() < deadline:
            keep_alive(5.0)
            if should_stop() or STOP.wait(0.1):
                return False
        return True


class Preempted(SpeakerBusy):
    """The speaker ended our session for another sender (it allows a newcomer to interrupt)."""


class AccessRestricted(SenderError):
    """The speaker only accepts people of its home (RTSP 400 on ANNOUNCE)."""


class PasswordRequired(SenderError):
    """The speaker asks for a password (RTSP 401, or advertised)."""


class PairingRequired(SenderError):
    """The speaker asks for pairing or device verification (RTSP 403, or advertised)."""


class FormatRefused(SenderError):
    """The speaker refuses 44100 Hz 16-bit stereo (406, 415, 456 or advertised format)."""


class UnsupportedSpeaker(SenderError):
    """The speaker offers no stream this sender can produce (e.g. encryption only)."""


class TimingPortUnreachable(SenderError):
    """The speaker could not reach our UDP timing port (RTSP 520)."""


class NoResponse(SenderError):
    """The speaker stopped answering requests."""


class ClockLost(NoResponse):
    """The speaker plays by its own clock (follow mode) and that clock cannot be followed: no Sync from it."""


class Disconnected(SenderError):
    """The speaker ended the connection while streaming."""


class ClosedBySpeaker(Disconnected):
    """The speaker closed (or reset) the control connection: it ended the session itself."""


class ProtocolError(SenderError):
    """An answer this sender does not know how to handle: a refusal code it does not know, or a reply that breaks
    the protocol (not RTSP, unreadable ports or clock id, an impossible key). ``context['status']`` names the step."""


class ClockPortsUnavailable(SenderError):
    """The speaker needs PTP timing (it plays nothing else) and the PTP ports 319/320 are not ours.
    ``context["reason"]``: why, in the user's words (``ptp.clock_ports.why_unavailable``)."""
