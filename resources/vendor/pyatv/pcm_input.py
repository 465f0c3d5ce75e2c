"""Standard input: the PCM the application writes, read at all times on its own thread.

The application's writer must never block on us, whatever the streamer is doing
(connecting, idle, reconnecting), so a reader thread drains the pipe into a bounded
buffer. The capture clock and our packet clock drift apart slowly; the buffer absorbs
jitter and, when it grows past ``high_s`` or runs dry, frames are dropped or silence is
padded in. Both are counted, never silent.
"""

from __future__ import annotations

import array
import logging
import os
import sys
import threading
import time
from typing import Callable

from .session import BYTES_PER_FRAME, PACKET_BYTES, SAMPLE_RATE

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
    """Bounded PCM buffer fed by a reader thread (``start``) or directly (``feed``).

    Buffer levels, in seconds of audio:
      prime_s   after running dry, wait for this much before taking audio again
      target_s  what is kept when the buffer overflows
      high_s    the most ever buffered; above it the oldest frames are dropped
    """

    def __init__(self, fd: int | None = 0, *, clock: Callable[[], float] = time.monotonic,
                 prime_s: float = 0.05, target_s: float = 0.1, high_s: float = 0.3,
                 silence_level: int = 1, read_size: int = 65536) -> None:
        self._fd = fd
        self._clock = clock
        self._prime = _frames_to_bytes(prime_s)
        self._target = _frames_to_bytes(target_s)
        self._high = _frames_to_bytes(high_s)
        self._silence_level = silence_level
        self._read_size = read_size
        self._buf = bytearray()
        self._lock = threading.Lock()
        self._priming = True
        self._flowing = False
        self._thread: threading.Thread | None = None
        self.bytes_in = 0
        self.eof = False
        self.last_sound = clock()
        self.streaming = False
        self.dropped_frames = 0
        self.padded_frames = 0
        self.discarded_frames = 0

    def start(self) -> None:
        self._thread = threading.Thread(target=self._read_loop, name="pcm-input", daemon=True)
        self._thread.start()

    def _read_loop(self) -> None:
        while True:
            try:
                chunk = os.read(self._fd, self._read_size)
            except InterruptedError:
                continue
            except OSError as exc:
                log.warning("standard input failed: %s", exc)
                chunk = b""
            if not chunk:
                self.eof = True
                return
            self.feed(chunk)

    def feed(self, chunk: bytes) -> None:
        """Append PCM as read from the pipe (any length; frames may be split across calls)."""
        # A read may end inside a sample; judge only whole samples.
        silent = is_silent(chunk[self.bytes_in & 1:], self._silence_level)
        with self._lock:
            self.bytes_in += len(chunk)
            self._buf += chunk
            if len(self._buf) > self._high:
                excess = len(self._buf) - self._target
                excess -= excess % BYTES_PER_FRAME
                del self._buf[:excess]
                if self.streaming:
                    self.dropped_frames += excess // BYTES_PER_FRAME
                else:
                    self.discarded_frames += excess // BYTES_PER_FRAME
        if not silent:
            self.last_sound = self._clock()

    def take(self) -> bytes:
        """One packet of PCM. Pads with silence when the buffer runs dry (counted once audio
        has flowed), then holds off until ``prime_s`` has been buffered again, so that a
        writer working in 10 ms bursts does not cause a gap in every packet."""
        with self._lock:
            have = len(self._buf)
            if self._priming:
                if have < self._prime:
                    if self._flowing:
                        self.padded_frames += PACKET_BYTES // BYTES_PER_FRAME
                    return bytes(PACKET_BYTES)
                self._priming = False
            if have >= PACKET_BYTES:
                self._flowing = True
                out = bytes(self._buf[:PACKET_BYTES])
                del self._buf[:PACKET_BYTES]
                return out
            usable = have - have % BYTES_PER_FRAME
            out = bytes(self._buf[:usable])
            del self._buf[:usable]
            self._priming = True
            if self._flowing:
                self.padded_frames += (PACKET_BYTES - usable) // BYTES_PER_FRAME
            return out + bytes(PACKET_BYTES - usable)

    def discard(self, keep_s: float = 0.1) -> None:
        """Drop all but the newest ``keep_s`` of buffered audio (while nothing is streamed);
        counted apart from drift. The next ``take`` starts by priming."""
        keep = _frames_to_bytes(keep_s)
        with self._lock:
            excess = len(self._buf) - keep
            if excess > 0:
                excess -= excess % BYTES_PER_FRAME
                del self._buf[:excess]
                self.discarded_frames += excess // BYTES_PER_FRAME
            self._priming = True
            self._flowing = False


def _frames_to_bytes(seconds: float) -> int:
    return int(seconds * SAMPLE_RATE) * BYTES_PER_FRAME
