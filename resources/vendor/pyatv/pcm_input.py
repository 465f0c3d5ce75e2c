"""Standard input: the PCM the application writes, never left unread.

The application's writer must never block on us, whatever the streamer is doing. While no session streams
(connecting, standby, reconnecting) a reader thread drains the pipe and holds what it reads: nothing while the
input is silent, then everything from the first sound on, bounded at ``hold_s`` (the oldest goes first, counted).
The streamer plays that hold once the speaker is ready, shortened first to what the speaker's latency leaves room
for (``fit_held``). While a session streams, the streamer waits on the pipe (``wait``) and reads it itself
(``pull``), so the process wakes once per write of the application (a recorded fragment, a few packets' worth);
the reader thread only looks every ``STALL`` seconds whether the streamer still reads, and reads for it while it
is held up (a slow speaker, a wait of any kind).

Drift between the capture clock and the packet schedule is corrected one frame at a time (``take`` with
``adjust``), never by cutting or padding whole stretches; the few cuts and pads left for faults are counted.
"""

from __future__ import annotations

import array
import logging
import os
import select
import sys
import threading
import time
from typing import Callable

from .session import BYTES_PER_FRAME, FRAMES_PER_PACKET, PACKET_BYTES, SAMPLE_RATE

log = logging.getLogger(__name__)


def is_silent(chunk: bytes, level: int = 1) -> bool:
    """True when every 16-bit sample in ``chunk`` (starting on a sample boundary) has a
    magnitude of at most ``level``. ``level`` tolerates a dithered silence."""
    if chunk.count(0) == len(chunk):
        return True
    # Quiet samples have a high byte of 0x00 or 0xFF; anything else is sound. This C-speed
    # test settles nearly every chunk of real audio without looking at each sample.
    if level < 0x100 and chunk[1::2].translate(None, b"\x00\xff"):
        return False
    samples = array.array("h")
    samples.frombytes(chunk[: len(chunk) & ~1])
    if not samples:
        return True
    if sys.byteorder != "little":
        samples.byteswap()
    return max(samples) <= level and min(samples) >= -level


class PcmInput:
    """Bounded PCM buffer fed by a reader thread (``start``), by ``pull`` or directly (``feed``)."""

    STALL = 0.1
    FADE_FRAMES = 441         # a cut in held audio is faded across this long
    ONSET_FRAMES = 8820       # and never touches the first sound's beginning, when it can be elsewhere

    def __init__(self, fd: int | None = 0, *, clock: Callable[[], float] = time.monotonic,
                 hold_s: float = 2.0, silence_level: int = 1, read_size: int = 65536) -> None:
        self._fd = fd
        self._clock = clock
        self._hold = int(hold_s * SAMPLE_RATE) * BYTES_PER_FRAME
        self._silence_level = silence_level
        self._read_size = read_size
        self._buf = bytearray()
        self._odd_byte = b""          # the first half of a sample whose second half is still in the pipe
        self._lock = threading.Lock()     # the buffer, the counters, and each read together with its append
        self._reader_may_run = threading.Event()
        self._reader_may_run.set()
        self._streaming = False
        self._pulled_at = 0.0
        self.bytes_in = 0
        self.eof = False
        self.last_sound = float("-inf")
        self.last_data = float("-inf")
        self.dropped_frames = 0       # cut while streaming (input far ahead of the schedule)
        self.discarded_frames = 0     # sound beyond the hold while no session streamed
        self.steered_frames = 0       # single frames dropped or repeated to follow the schedule's clock

    # -- reading

    def start(self) -> None:
        os.set_blocking(self._fd, False)
        threading.Thread(target=self._read_loop, name="pcm-input", daemon=True).start()

    def _read_loop(self) -> None:
        while not self.eof:
            if not self._reader_may_run.wait(self.STALL):
                if time.monotonic() - self._pulled_at >= self.STALL:
                    self._read_available()  # the streamer is held up: read for it
                continue
            try:
                readable = select.select([self._fd], [], [], 0.2)[0]
            except (OSError, ValueError):
                readable = [self._fd]
            if readable:
                self._read_available()

    def pull(self) -> None:
        """Reads whatever the pipe holds, without waiting (the streamer's read)."""
        self._pulled_at = time.monotonic()
        self._read_available()

    def _read_available(self) -> None:
        if self._fd is None or self.eof:
            return
        with self._lock:
            while True:
                try:
                    chunk = os.read(self._fd, self._read_size)
                except (BlockingIOError, InterruptedError):
                    return
                except OSError as exc:
                    log.warning("standard input failed: %s", exc)
                    chunk = b""
                if not chunk:
                    self.eof = True
                    return
                self._append(chunk)
                if len(chunk) < self._read_size:
                    return

    def wait(self, timeout: float) -> None:
        """Returns when the pipe has something to read (or has closed), or after ``timeout`` seconds."""
        try:
            select.select([self._fd], [], [], timeout)
        except (OSError, ValueError, TypeError):  # closed, or no pipe at all
            time.sleep(timeout)

    def feed(self, chunk: bytes) -> None:
        """Appends PCM as read from the pipe (any length; frames may be split across calls)."""
        with self._lock:
            self._append(chunk)

    def _append(self, chunk: bytes) -> None:
        # A read may end inside a sample or a frame; judge whole samples (a split one with the next read), keep
        # whole frames.
        start = self.bytes_in
        self.bytes_in += len(chunk)
        if self._streaming:
            self.last_data = self._clock()
        samples = self._odd_byte + chunk if self._odd_byte else chunk
        self._odd_byte = samples[-1:] if len(samples) & 1 else b""
        if not is_silent(samples[:len(samples) & ~1], self._silence_level):
            self.last_sound = self._clock()
        elif not self._buf and not self._streaming:
            return
        self._buf += chunk[-start % BYTES_PER_FRAME:] if not self._buf else chunk
        if not self._streaming and len(self._buf) > self._hold:
            excess = len(self._buf) - self._hold
            excess += -excess % BYTES_PER_FRAME
            del self._buf[:excess]
            self.discarded_frames += excess // BYTES_PER_FRAME

    # -- streaming

    def begin_streaming(self) -> int:
        """The streamer reads from now on; returns the frames held for it."""
        self._reader_may_run.clear()
        with self._lock:
            self._streaming = True
            self.last_data = self._clock()
            return len(self._buf) // BYTES_PER_FRAME

    def end_streaming(self, keep: bool) -> None:
        """The reader thread holds the input again; ``keep``: what is buffered stays (a lost connection),
        else it goes (standby after silence)."""
        with self._lock:
            self._streaming = False
            if not keep:
                self._buf.clear()
        self._reader_may_run.set()

    @property
    def buffered_frames(self) -> int:
        return len(self._buf) // BYTES_PER_FRAME

    def take(self, count: int, adjust: int = 0) -> list[bytes]:
        """Up to ``count`` whole packets of PCM, as many as are buffered. ``adjust`` 1 drops a frame from the
        first, -1 repeats one."""
        first = PACKET_BYTES + adjust * BYTES_PER_FRAME
        with self._lock:
            buf = self._buf
            n = min(count, (len(buf) - first) // PACKET_BYTES + 1)
            if n <= 0:
                return []
            out = [bytes(buf[:first])]
            out += [bytes(buf[i:i + PACKET_BYTES]) for i in range(first, first + (n - 1) * PACKET_BYTES, PACKET_BYTES)]
            del buf[:first + (n - 1) * PACKET_BYTES]
        if adjust:
            self.steered_frames += 1
            out[0] = out[0][:-BYTES_PER_FRAME] if adjust > 0 else out[0] + out[0][-BYTES_PER_FRAME:]
        return out

    def pad_last_packet(self) -> int:
        """What is left of a packet is completed with silence, so it plays before any silence that follows (the
        input paused or ended). Returns the frames added."""
        with self._lock:
            padding = -len(self._buf) % PACKET_BYTES
            self._buf += bytes(padding)
        return padding // BYTES_PER_FRAME

    def fit_held(self, room: int) -> int:
        """Shortens the held audio to ``room`` frames: silent packets go first, then one cut of what is still too
        much, where the held audio is quietest, faded across. Counted as not held; returns the frames now held."""
        with self._lock:
            held = len(self._buf) // BYTES_PER_FRAME
            excess = held - room
            if excess <= 0:
                return held
            kept, skipped = bytearray(), 0
            for start in range(0, len(self._buf), PACKET_BYTES):
                chunk = self._buf[start:start + PACKET_BYTES]
                if excess - skipped * FRAMES_PER_PACKET >= FRAMES_PER_PACKET and len(chunk) == PACKET_BYTES \
                        and is_silent(chunk, self._silence_level):
                    skipped += 1
                    continue
                kept += chunk
            cut = excess - skipped * FRAMES_PER_PACKET
            at = _quietest(kept, cut + self.FADE_FRAMES, self.ONSET_FRAMES) if cut else 0
            if cut:
                _cut_faded(kept, at, cut, self.FADE_FRAMES)
            self._buf[:] = kept
            self.discarded_frames += excess
        log.info("held audio %.2f s longer than the speaker's latency leaves room for: %d silent packets left out, "
                 "%.0f ms cut at %.2f s where it is quietest", excess / SAMPLE_RATE, skipped, cut / 44.1,
                 at / SAMPLE_RATE)
        return room

    def drop_oldest(self, frames: int, counted_as_dropped: bool = True) -> None:
        with self._lock:
            frames = min(frames, len(self._buf) // BYTES_PER_FRAME)
            del self._buf[:frames * BYTES_PER_FRAME]
            if counted_as_dropped:
                self.dropped_frames += frames
            else:
                self.discarded_frames += frames


def _samples(pcm) -> array.array:
    samples = array.array("h")
    samples.frombytes(bytes(pcm[: len(pcm) & ~1]))
    if sys.byteorder != "little":
        samples.byteswap()
    return samples


def _quietest(pcm: bytearray, frames: int, after: int) -> int:
    """The first frame of the ``frames``-long stretch of ``pcm`` whose packets are quietest (the least sum of their
    peaks), on a packet boundary, from ``after`` on if ``pcm`` is long enough; else 0."""
    total = len(pcm) // BYTES_PER_FRAME
    if total <= frames:
        return 0
    earliest = -(-after // FRAMES_PER_PACKET) if total - frames >= after + FRAMES_PER_PACKET else 0
    peaks = [max(max(p), -min(p)) if p else 0
             for p in (_samples(pcm[i:i + PACKET_BYTES]) for i in range(0, len(pcm), PACKET_BYTES))]
    width = -(-frames // FRAMES_PER_PACKET)
    sums = [0]
    for peak in peaks:
        sums.append(sums[-1] + peak)
    first = min(range(earliest, (total - frames) // FRAMES_PER_PACKET + 1),
                key=lambda f: sums[min(f + width, len(peaks))] - sums[f])
    return first * FRAMES_PER_PACKET


def _cut_faded(pcm: bytearray, at: int, cut: int, fade: int) -> None:
    """Removes ``cut`` frames from ``at``, fading the audio before the cut into the audio after it over ``fade``
    frames (fewer when ``pcm`` ends sooner)."""
    fade = max(0, min(fade, len(pcm) // BYTES_PER_FRAME - at - cut))
    before = _samples(pcm[at * BYTES_PER_FRAME:(at + fade) * BYTES_PER_FRAME])
    after = _samples(pcm[(at + cut) * BYTES_PER_FRAME:(at + cut + fade) * BYTES_PER_FRAME])
    for i in range(len(before)):
        weight = (i // 2 + 1) / (fade + 1)
        before[i] = round(before[i] * (1.0 - weight) + after[i] * weight)
    if sys.byteorder != "little":
        before.byteswap()
    pcm[at * BYTES_PER_FRAME:(at + cut + fade) * BYTES_PER_FRAME] = before.tobytes()
