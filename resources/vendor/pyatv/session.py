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

SAMPLE_RATE = 44100
CHANNELS = 2
BYTES_PER_FRAME = 4
FRAMES_PER_PACKET = 352
PACKET_BYTES = FRAMES_PER_PACKET * BYTES_PER_FRAME
PACKET_SECONDS = FRAMES_PER_PACKET / SAMPLE_RATE


class Session(abc.ABC):
    """One playback session with one speaker.

    ``connect()`` raises one of the ``SenderError`` subclasses below when the speaker
    refuses or cannot be reached; after it returns, the speaker plays what ``send`` gives
    it about ``latency`` seconds later.
    """

    #: seconds between handing a packet to ``send`` and the speaker playing it
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

    @abc.abstractmethod
    def poll(self, now: float) -> None:
        """Housekeeping between packets: keep-alives, answering the speaker, noticing that
        it went away. Must return quickly (never waits for a network reply).
        Raises ``Disconnected`` or ``NoResponse``."""

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


class SpeakerBusy(SenderError):
    """Another sender is playing on the speaker (RTSP 453)."""


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


class ClockHelperMissing(SenderError):
    """The speaker plays only on its own PTP clock and the PTP ports 319/320 are not ours."""


class NoResponse(SenderError):
    """The speaker stopped answering requests."""


class Disconnected(SenderError):
    """The speaker ended the connection while streaming."""


class ProtocolError(SenderError):
    """An answer this sender does not know how to handle. ``context['status']``."""
