"""Shared helpers for the sender worker tests: paths, test tones, escape-frame decoding, a running worker."""

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
VENDOR = os.path.join(SOURCE_DIR, "resources", "vendor")
SENDER = os.path.join(SOURCE_DIR, "resources", "sender.py")
HARNESS = os.path.join(SOURCE_DIR, "tests", "harness")

if VENDOR not in sys.path:
    sys.path.insert(0, VENDOR)

SAMPLE_RATE = 44100


def tone(seconds: float, left_hz: float = 440.0, right_hz: float = 880.0) -> bytes:
    """Interleaved s16le stereo sine tones, left and right at different pitches."""
    a, wl, wr = 0.5 * 32767, 2 * math.pi * left_hz / SAMPLE_RATE, 2 * math.pi * right_hz / SAMPLE_RATE
    return b"".join(struct.pack("<hh", round(a * math.sin(wl * i)), round(a * math.sin(wr * i)))
                    for i in range(int(seconds * SAMPLE_RATE)))


def decode_escape(frame: bytes, frame_length: int = 352) -> dict:
    """Reads an ALAC escape frame MSB first, independently of the encoder; returns every header field,
    the PCM (s16le), the end tag and the padding bits."""
    value, left = int.from_bytes(frame, "big"), len(frame) * 8

    def read(bits: int) -> int:
        nonlocal left
        left -= bits
        return (value >> left) & ((1 << bits) - 1)

    out = {k: read(n) for k, n in (("tag", 3), ("instance", 4), ("unused", 12), ("has_size", 1),
                                   ("shift", 2), ("escape", 1))}
    out["frames"] = read(32) if out["has_size"] else frame_length
    big = read(out["frames"] * 32).to_bytes(out["frames"] * 4, "big")
    out["pcm"] = b"".join(big[i + 1:i + 2] + big[i:i + 1] for i in range(0, len(big), 2))
    out["end"] = read(3)
    out["padding_bits"], out["padding"] = left, read(left)
    return out


def longest_bit_exact_run(sent: bytes, received: bytes, probe_frames: int = 256) -> int:
    """Frames in the longest stretch of ``received`` that equals a frame-aligned stretch of ``sent``,
    probing every 0.25 s of the received audio."""
    best, probe_bytes = 0, probe_frames * 4
    for start in range(0, len(received) - probe_bytes, SAMPLE_RATE):
        probe = received[start:start + probe_bytes]
        if probe.count(0) > len(probe) // 2:
            continue
        pos = sent.find(probe)
        while pos >= 0 and pos % 4:
            pos = sent.find(probe, pos + 1)
        if pos < 0:
            continue
        n, step = 0, 4096
        while step >= 4:
            while (start + n + step <= len(received) and pos + n + step <= len(sent)
                   and received[start + n:start + n + step] == sent[pos + n:pos + n + step]):
                n += step
            step //= 2
        best = max(best, n // 4)
    return best


class Worker:
    """sender.py as the application runs it, with its JSON lines collected on a thread."""

    def __init__(self, name: str, *extra: str, prefix: list[str] | None = None) -> None:
        self.stderr_file = tempfile.NamedTemporaryFile(prefix="sender-", suffix=".log", delete=False)
        self.proc = subprocess.Popen(
            list(prefix or []) + ["/usr/bin/python3", "-s", "-B", "-u", SENDER, "--name", name, *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr_file,
            env={**os.environ, "SONVALE_VENDOR": VENDOR})
        self.started = time.monotonic()
        self.lines: list[dict] = []
        self.times: list[float] = []
        self._queue: queue.Queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
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
            try:
                line = self._queue.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                line = {"state": None, "timeout": True}
            if line is None or line.get("timeout"):
                raise AssertionError("no %r (%s); lines: %s\nlog:\n%s" % (
                    state, "worker ended" if line is None else "timeout", self.lines, self.log()))
            if line.get("state") == state:
                return line

    def states(self) -> list[str]:
        return [line.get("state") for line in self.lines if line.get("state") != "streaming"]

    def beats(self, after: float = 0.0) -> list[float]:
        return [t for line, t in zip(self.lines, self.times) if line.get("state") == "streaming" and t > after]

    def feed(self, pcm: bytes, then_silence: bool = False) -> None:
        """Writes ``pcm`` in real time, 10 ms at a time, like the application's writer; with
        ``then_silence``, goes on with zeros until ``stop_feeding``."""
        def run() -> None:
            chunk, t0, i = 441 * 4, time.monotonic(), 0
            while not self._feed_stop.is_set():
                data = pcm[i * chunk:(i + 1) * chunk]
                if not data and not then_silence:
                    return
                time.sleep(max(0.0, t0 + i * 0.01 - time.monotonic()))
                try:
                    self.proc.stdin.write(data or bytes(chunk))
                    self.proc.stdin.flush()
                except (ValueError, OSError):
                    return
                i += 1
        self._feed_stop.clear()
        self._feeder = threading.Thread(target=run, daemon=True)
        self._feeder.start()

    def stop_feeding(self) -> None:
        self._feed_stop.set()
        self.wait_feeding(None)

    def wait_feeding(self, timeout) -> None:
        if self._feeder is not None:
            self._feeder.join(timeout)

    def close_input(self) -> None:
        self.stop_feeding()
        try:
            self.proc.stdin.close()
        except OSError:  # the worker has gone: nothing left to close
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
        self.proc.stdout.close()
        self.stderr_file.close()
        os.unlink(self.stderr_file.name)


def take_request(buffer: bytearray):
    """One RTSP request (method, uri, lower-cased headers, body) cut from the front of ``buffer``,
    or None while it is incomplete."""
    end = buffer.find(b"\r\n\r\n")
    if end < 0:
        return None
    lines = buffer[:end].decode().split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    if len(buffer) < end + 4 + length:
        return None
    body = bytes(buffer[end + 4:end + 4 + length])
    del buffer[:end + 4 + length]
    method, uri, _ = lines[0].split(" ", 2)
    return method, uri, headers, body
