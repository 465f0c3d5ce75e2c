"""Shared helpers for the sender worker tests: paths, test tones, a running worker."""

from __future__ import annotations

import json
import math
import os
import queue
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
RESOURCES = os.path.join(SOURCE_DIR, "resources")
VENDOR = os.path.join(RESOURCES, "vendor")
SENDER = os.path.join(RESOURCES, "sender.py")
HARNESS = os.path.join(SOURCE_DIR, "tests", "harness")
PYTHON = "/usr/bin/python3"

if VENDOR not in sys.path:
    sys.path.insert(0, VENDOR)

SAMPLE_RATE = 44100


def tone(seconds: float, left_hz: float = 440.0, right_hz: float = 880.0,
         amplitude: float = 0.5) -> bytes:
    """Interleaved s16le stereo sine tones, left and right at different pitches."""
    n = int(seconds * SAMPLE_RATE)
    a = amplitude * 32767
    wl = 2 * math.pi * left_hz / SAMPLE_RATE
    wr = 2 * math.pi * right_hz / SAMPLE_RATE
    return b"".join(struct.pack("<hh", round(a * math.sin(wl * i)), round(a * math.sin(wr * i)))
                    for i in range(n))


def silence(seconds: float) -> bytes:
    return bytes(int(seconds * SAMPLE_RATE) * 4)


def longest_bit_exact_run(sent: bytes, received: bytes, probe_frames: int = 256) -> int:
    """Frames in the longest stretch of ``received`` that equals a stretch of ``sent``
    byte for byte (frame aligned). Probes are taken every 0.25 s of the received audio."""
    best = 0
    probe_bytes = probe_frames * 4
    for start in range(0, len(received) - probe_bytes, SAMPLE_RATE):
        probe = received[start:start + probe_bytes]
        if probe.count(0) > len(probe) // 2:
            continue
        pos = sent.find(probe)
        while pos >= 0 and pos % 4:
            pos = sent.find(probe, pos + 1)
        if pos < 0:
            continue
        n = 0
        step = 4096
        while step >= 4:
            while (start + n + step <= len(received) and pos + n + step <= len(sent)
                   and received[start + n:start + n + step] == sent[pos + n:pos + n + step]):
                n += step
            step //= 2
        best = max(best, n // 4)
    return best


class Worker:
    """sender.py as the application runs it, with its JSON lines collected on a thread."""

    def __init__(self, name: str, *extra: str, prefix: list[str] | None = None,
                 env: dict[str, str] | None = None) -> None:
        self.stderr_file = tempfile.NamedTemporaryFile(prefix="sender-", suffix=".log",
                                                       delete=False)
        cmd = list(prefix or []) + [PYTHON, "-s", "-B", "-u", SENDER, "--name", name, *extra]
        self.proc = subprocess.Popen(
            cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr_file,
            env={**os.environ, "SONVALE_VENDOR": VENDOR, **(env or {})})
        self.lines: list[dict] = []
        self.times: list[float] = []
        self._queue: queue.Queue = queue.Queue()
        self._seen = 0
        self.started = time.monotonic()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._feeder: threading.Thread | None = None
        self._feed_stop = threading.Event()

    def _read(self) -> None:
        for raw in self.proc.stdout:
            try:
                line = json.loads(raw)
            except ValueError:
                line = {"unparsed": raw.decode("utf-8", "replace")}
            self.lines.append(line)
            self.times.append(time.monotonic())
            self._queue.put(line)
        self._queue.put(None)

    def wait_state(self, state: str, timeout: float) -> dict:
        """The next line (after those already consumed) whose state is ``state``."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r within %.1f s; lines: %s\nlog:\n%s"
                                     % (state, timeout, self.lines, self.log()))
            try:
                line = self._queue.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("worker ended before %r; lines: %s\nlog:\n%s"
                                     % (state, self.lines, self.log()))
            if line.get("state") == state:
                return line

    def states(self) -> list[str]:
        return [line.get("state") for line in self.lines if line.get("state") != "streaming"]

    def feed(self, pcm: bytes, then_silence: bool = False) -> None:
        """Write ``pcm`` in real time, 10 ms at a time, like the application's writer;
        with ``then_silence``, continue with zeros until ``stop_feeding``."""
        def run() -> None:
            chunk = 441 * 4
            t0 = time.monotonic()
            i = 0
            while not self._feed_stop.is_set():
                off = i * chunk
                if off < len(pcm):
                    data = pcm[off:off + chunk]
                elif then_silence:
                    data = bytes(chunk)
                else:
                    return
                delay = t0 + i * 0.01 - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                try:
                    self.proc.stdin.write(data)
                    self.proc.stdin.flush()
                except (BrokenPipeError, ValueError, OSError):
                    return
                i += 1
        self._feed_stop.clear()
        self._feeder = threading.Thread(target=run, daemon=True)
        self._feeder.start()

    def stop_feeding(self) -> None:
        self._feed_stop.set()
        if self._feeder is not None:
            self._feeder.join()

    def wait_feeding(self, timeout: float) -> None:
        if self._feeder is not None:
            self._feeder.join(timeout)

    def close_input(self) -> None:
        self.stop_feeding()
        try:
            self.proc.stdin.close()
        except OSError:
            pass

    def wait(self, timeout: float) -> int:
        return self.proc.wait(timeout)

    def log(self) -> str:
        with open(self.stderr_file.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def kill(self) -> None:
        self.stop_feeding()
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        self.stderr_file.close()
        os.unlink(self.stderr_file.name)


class BitReader:
    """MSB-first bit reader, independent of the encoder under test."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def read(self, bits: int) -> int:
        value = 0
        for _ in range(bits):
            byte = self.data[self.pos >> 3]
            value = (value << 1) | ((byte >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return value

    def remaining(self) -> int:
        return len(self.data) * 8 - self.pos


def decode_escape(frame: bytes, frame_length: int = 352) -> dict:
    """Parse an ALAC escape frame; returns its header fields, the PCM (s16le), the end tag
    and the padding bits, so tests can check every field."""
    r = BitReader(frame)
    out = {"tag": r.read(3), "instance": r.read(4), "unused": r.read(12),
           "has_size": r.read(1), "shift": r.read(2), "escape": r.read(1)}
    frames = r.read(32) if out["has_size"] else frame_length
    out["frames"] = frames
    pcm = bytearray()
    for _ in range(frames * 2):
        v = r.read(16)
        pcm += struct.pack("<h", v - 0x10000 if v & 0x8000 else v)
    out["pcm"] = bytes(pcm)
    out["end"] = r.read(3)
    out["padding_bits"] = r.remaining()
    out["padding"] = r.read(r.remaining())
    return out
