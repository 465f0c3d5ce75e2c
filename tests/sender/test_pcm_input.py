"""The bounded input buffer: drift handling, frame alignment, silence detection."""

from __future__ import annotations

import os
import struct
import time
import unittest

import worker_support  # noqa: F401
from pyatv.pcm_input import PcmInput, is_silent
from pyatv.session import PACKET_BYTES

MS = 44100 * 4 // 1000  # bytes per millisecond (176.4 -> 176, frame aligned)


def pcm(frames: int, value: int = 1000) -> bytes:
    return struct.pack("<hh", value, -value) * frames


class Clock:
    t = 100.0

    def __call__(self) -> float:
        return self.t


class PcmInputTest(unittest.TestCase):
    def make(self) -> tuple[PcmInput, Clock]:
        clock = Clock()
        return PcmInput(None, clock=clock, prime_s=0.05, target_s=0.1, high_s=0.3), clock

    def test_overflow_drops_oldest_down_to_target_and_counts_it_while_streaming(self):
        source, _ = self.make()
        source.streaming = True
        source.feed(pcm(13230))  # exactly 0.3 s: kept
        self.assertEqual(source.dropped_frames, 0)
        source.feed(struct.pack("<hh", 7, 7))
        self.assertEqual(source.dropped_frames, 13231 - 4410)
        self.assertAlmostEqual(source.buffered_seconds(), 0.1, places=3)
        source.streaming = False
        source.feed(pcm(13230))
        self.assertEqual(source.dropped_frames, 13231 - 4410, "not counted as drift")
        self.assertGreater(source.discarded_frames, 0)

    def test_underrun_pads_counts_and_primes_again(self):
        source, _ = self.make()
        self.assertEqual(source.take(), bytes(PACKET_BYTES), "silence before any input")
        self.assertEqual(source.padded_frames, 0, "priming at start is not an underrun")
        source.feed(pcm(2205 + 100))  # 50 ms + 100 frames
        taken = [source.take() for _ in range(6)]
        self.assertEqual(taken[6 - 1][:400], pcm(100)[:400])  # 2305 frames = 6 packets + 193
        self.assertEqual(source.padded_frames, 0)
        short = source.take()
        self.assertEqual(short[:193 * 4], pcm(193))
        self.assertEqual(short[193 * 4:], bytes(PACKET_BYTES - 193 * 4))
        self.assertEqual(source.padded_frames, 352 - 193)
        source.feed(pcm(1000))  # below the priming level: still silence, counted
        self.assertEqual(source.take(), bytes(PACKET_BYTES))
        self.assertEqual(source.padded_frames, 352 - 193 + 352)

    def test_frames_split_across_reads_stay_aligned(self):
        source, _ = self.make()
        data = b"".join(struct.pack("<hh", i, -i) for i in range(3000))
        for i in range(0, len(data), 333):
            source.feed(data[i:i + 333])
        out = b"".join(source.take() for _ in range(8))
        self.assertEqual(out, data[:8 * PACKET_BYTES])

    def test_silence_detection(self):
        cases = [(bytes(4000), True), (pcm(100, 1), True), (pcm(100, -1), True),
                 (pcm(100, 2), False), (pcm(100, -2), False), (pcm(100, 256), False),
                 (bytes(3999) + b"\x40", False), (b"\x01", True)]
        for chunk, silent in cases:
            with self.subTest(chunk[:8]):
                self.assertEqual(is_silent(chunk), silent)

    def test_last_sound_moves_only_with_sound(self):
        source, clock = self.make()
        start = source.last_sound
        clock.t += 5
        source.feed(bytes(4000))
        dithered = pcm(1000, -1)
        for i in range(0, len(dithered), 333):  # split inside samples
            source.feed(dithered[i:i + 333])
        self.assertEqual(source.last_sound, start)
        source.feed(pcm(10))
        self.assertEqual(source.last_sound, clock.t)

    def test_reader_thread_counts_bytes_and_sees_end_of_input(self):
        r, w = os.pipe()
        source = PcmInput(r)
        source.start()
        os.write(w, pcm(500))
        os.close(w)
        deadline = time.monotonic() + 2
        while not source.eof and time.monotonic() < deadline:
            time.sleep(0.01)
        os.close(r)
        self.assertTrue(source.eof)
        self.assertEqual(source.bytes_in, 2000)


if __name__ == "__main__":
    unittest.main()
