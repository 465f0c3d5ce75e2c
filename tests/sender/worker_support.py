"""Shared helpers for the sender worker tests: paths, test tones, escape-frame decoding, a running worker, and
the loopback RTSP/UDP server both fake receivers are built on."""

import array
import json
import math
import os
import queue
import select
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VENDOR = os.path.join(SOURCE_DIR, "resources", "vendor")
HARNESS = os.path.join(SOURCE_DIR, "tests", "harness")
sys.path.insert(0, VENDOR)


def tone(seconds: float) -> bytes:
    """Interleaved s16le stereo sines, 440 Hz left and 880 Hz right, so a swapped pair shows."""
    w = 2 * math.pi * 440 / 44100
    return b"".join(struct.pack("<hh", round(16383 * math.sin(w * i)), round(16383 * math.sin(2 * w * i)))
                    for i in range(int(seconds * 44100)))


def ramp(seconds: float, first: int = 0) -> bytes:
    """Frame i is (i mod 30000 + 1, i div 30000 + 1): never silent, and ``ramp_index`` reads its index back."""
    return array.array("h", [v for i in range(first, first + round(seconds * 44100))
                             for v in (i % 30000 + 1, i // 30000 + 1)]).tobytes()


def ramp_index(pcm: bytes, frame: int) -> int:
    left, right = struct.unpack_from("<hh", pcm, frame * 4)
    return (right - 1) * 30000 + left - 1 if left > 0 and right > 0 else -1


def decode_escape(frame: bytes) -> dict:
    """Reads an ALAC escape frame MSB first, independently of the encoder: every header field, the PCM (s16le),
    the end tag and the padding."""
    value, left = int.from_bytes(frame, "big"), len(frame) * 8

    def read(bits: int) -> int:
        nonlocal left
        left -= bits
        return (value >> left) & ((1 << bits) - 1)

    out = {k: read(n) for k, n in (("tag", 3), ("instance", 4), ("unused", 12), ("has_size", 1), ("shift", 2),
                                   ("escape", 1))}
    out["frames"] = read(32) if out["has_size"] else 352
    big = read(out["frames"] * 32).to_bytes(out["frames"] * 4, "big")
    out["pcm"] = b"".join(big[i + 1:i + 2] + big[i:i + 1] for i in range(0, len(big), 2))
    out["end"], out["padding"] = read(3), read(left)
    return out


def longest_bit_exact_run(sent: bytes, received: bytes, probe_bytes: int = 1024) -> int:
    """Frames in the longest stretch of ``received`` equal to a frame-aligned stretch of ``sent``, probed every
    0.25 s of the received audio."""
    best = 0
    for start in range(0, len(received) - probe_bytes, 44100):
        probe = received[start:start + probe_bytes]
        pos = sent.find(probe)
        while pos > 0 and pos % 4:
            pos = sent.find(probe, pos + 1)
        if pos >= 0 and probe.count(0) <= probe_bytes // 2:
            best = max(best, len(os.path.commonprefix([received[start:], sent[pos:]])) // 4)
    return best


class Worker:
    """sender.py as the application runs it, with its JSON lines collected on a thread."""

    def __init__(self, name: str, *extra: str, prefix: tuple = (), env: dict = None) -> None:
        self.stderr_file = tempfile.NamedTemporaryFile(prefix="sender-", suffix=".log")
        self.proc = subprocess.Popen([*prefix, "/usr/bin/python3", "-s", "-B", "-u",
                                      os.path.join(SOURCE_DIR, "resources", "sender.py"), "--name", name, *extra],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr_file,
                                     env={**os.environ, "SONVALE_VENDOR": VENDOR, **(env or {})})
        self.lines, self.times, self._queue, self.longest_write = [], [], queue.Queue(), 0.0
        self._feeder, self._feed_stop = threading.Thread(), threading.Event()
        self._feeder.start()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for raw in self.proc.stdout:
            self.lines.append(json.loads(raw) if raw.startswith(b"{") else {"unparsed": raw.decode(errors="replace")})
            self.times.append(time.monotonic())
            self._queue.put(self.lines[-1])
        self._queue.put(None)

    def wait_state(self, state: str, timeout: float) -> dict:
        """The next line (after those already consumed) whose state is ``state``."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self._queue.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            if line is None:
                raise AssertionError("no %r; lines: %s\nlog:\n%s" % (state, self.lines, self.log()))
            if line.get("state") == state:
                return line

    def states(self) -> list: return [line.get("state") for line in self.lines if line.get("state") != "streaming"]

    def beats(self, after: float = 0.0) -> list:
        return [t for line, t in zip(self.lines, self.times) if line.get("state") == "streaming" and t > after]

    def feed(self, pcm: bytes, then_silence: bool = False) -> None:
        """Writes ``pcm`` in real time, 10 ms at a time like the application's writer; with ``then_silence``, goes
        on with zeros until ``stop_feeding``."""
        def run() -> None:
            chunk, t0, i = 441 * 4, time.monotonic(), 0
            while not self._feed_stop.is_set() and (then_silence or i * chunk < len(pcm)):
                time.sleep(max(0.0, t0 + i * 0.01 - time.monotonic()))
                try:
                    began = time.monotonic()
                    self.proc.stdin.write(pcm[i * chunk:(i + 1) * chunk] or bytes(chunk))
                    self.proc.stdin.flush()
                    self.longest_write = max(self.longest_write, time.monotonic() - began)
                except (ValueError, OSError):
                    return
                i += 1
        self._feed_stop.clear()
        self._feeder = threading.Thread(target=run, daemon=True)
        self._feeder.start()

    def wait_feeding(self, timeout=None) -> None: self._feeder.join(timeout)

    def stop_feeding(self) -> None:
        self._feed_stop.set()
        self.wait_feeding()

    def close_input(self) -> None:
        self.stop_feeding()
        try:
            self.proc.stdin.close()
        except OSError:  # the worker has gone: nothing left to close
            pass

    def wait(self, timeout: float) -> int:
        """The exit status once the worker has ended (within ``timeout`` s); ``peak_kb``: its peak resident size."""
        deadline = time.monotonic() + timeout
        while self.proc.returncode is None:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                self.proc.returncode, self.peak_kb = os.waitstatus_to_exitcode(status), usage.ru_maxrss
            elif time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(self.proc.args, timeout)
            time.sleep(0.01)
        return self.proc.returncode

    def log(self) -> str:
        with open(self.stderr_file.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def kill(self) -> None:
        self.close_input()
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.stderr_file.close()


def udp_socket(host: str = "127.0.0.1") -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((host, 0))
    return sock


class LoopbackServer:
    """TCP listeners and UDP sockets on 127.0.0.1, served by daemon threads until close(). Subclasses answer
    connections in ``serve`` (one thread each), datagrams in ``on_datagram`` and may act in ``tick`` (every
    datagram or 0.2 s)."""
    host, server = "127.0.0.1", "AirTunes/105.1"

    def __init__(self, listeners: int, udp: int) -> None:
        self.listeners = [socket.create_server((self.host, 0)) for _ in range(listeners)]
        self.port = self.listeners[0].getsockname()[1]
        self.udp = [udp_socket(self.host) for _ in range(udp)]
        self._stop, self._threads = threading.Event(), []
        self.spawn(self._loop)

    def spawn(self, target, *args) -> None:
        self._threads.append(threading.Thread(target=target, args=args, daemon=True))
        self._threads[-1].start()

    def close(self) -> None:
        self._stop.set()
        for sock in self.listeners + self.udp:
            sock.close()
        for thread in self._threads:
            thread.join(timeout=2)

    def __enter__(self): return self
    def __exit__(self, *exc) -> None: self.close()

    def _loop(self) -> None:
        while not self._stop.is_set():
            try:
                for sock in select.select([s for s in self.listeners + self.udp if s.fileno() >= 0], [], [], 0.2)[0]:
                    if sock in self.listeners:
                        self.spawn(self.serve, sock, sock.accept()[0])
                    else:
                        self.on_datagram(sock, sock.recv(4096))
                self.tick()
            except (OSError, ValueError):  # a socket closed under us: closing down, or a listener gone on purpose
                pass

    def tick(self) -> None: pass

    def recv(self, conn: socket.socket) -> bytes:
        """The next bytes from ``conn``; b"" once it has closed or the server stops."""
        conn.settimeout(0.2)
        while not self._stop.is_set():
            try:
                return conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
        return b""

    def requests_on(self, conn: socket.socket, opener=bytes):
        """RTSP requests (method, uri, lower-cased headers, body) read from ``conn`` through ``opener``."""
        buffer = bytearray()
        while data := self.recv(conn):
            buffer += opener(data)
            while (end := buffer.find(b"\r\n\r\n")) >= 0:
                lines = buffer[:end].decode().split("\r\n")
                headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
                length = int(headers.get("content-length", "0"))
                if len(buffer) < end + 4 + length:
                    break
                body = bytes(buffer[end + 4:end + 4 + length])
                del buffer[:end + 4 + length]
                yield (*lines[0].split(" ")[:2], headers, body)

    def reply(self, status: int, reason: str, cseq: str, headers=(), body: bytes = b"") -> bytes:
        head = ["RTSP/1.0 %d %s" % (status, reason), "CSeq: " + cseq, "Server: " + self.server, *headers,
                "Content-Length: %d" % len(body)]
        return ("\r\n".join(head) + "\r\n\r\n").encode() + body
