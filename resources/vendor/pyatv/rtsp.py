"""A small RTSP/1.0 client: one TCP connection, requests with CSeq, responses parsed
incrementally so a body split across reads, a missing CSeq or any reason phrase are fine.

Receivers differ in what they write after the status code (shairport-sync answers
"453 Unauthorized"), so only the numeric code is used.

Every wait (connecting, each response) is bounded by the client's timeout and watched in short slices
for ``stop``, so a worker asked to stop never waits on a slow speaker.
"""

from __future__ import annotations

import errno
import os
import select
import socket
import threading
import time
from dataclasses import dataclass, field
from typing import Optional

from .quoting import quoted

SLICE = 0.05


class RtspClosed(Exception):
    """The peer closed the connection (or reset it)."""


class RtspTimeout(Exception):
    """No complete response within the deadline."""


class RtspMalformed(Exception):
    """The peer sent something that is not an RTSP response."""


class RtspStopped(Exception):
    """The wait was given up because ``stop`` was set."""


def connect_tcp(host: str, port: int, timeout: float, stop: Optional[threading.Event] = None) -> socket.socket:
    """A connected TCP socket, or OSError (socket.timeout after ``timeout``); RtspStopped once ``stop`` is set."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setblocking(False)
        error = sock.connect_ex((host, port))
        deadline = time.monotonic() + timeout
        while error in (errno.EINPROGRESS, errno.EAGAIN):
            if stop is not None and stop.is_set():
                raise RtspStopped("connecting")
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout("connecting to %s:%d timed out" % (host, port))
            if select.select([], [sock], [], min(SLICE, left))[1]:
                error = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if error:
            raise OSError(error, os.strerror(error))
        sock.setblocking(True)
        return sock
    except BaseException:
        sock.close()
        raise


class Headers(dict):
    """Header map with case-insensitive lookup; keeps the first spelling seen."""

    def __init__(self, items: dict[str, str] | None = None) -> None:
        super().__init__()
        self._keys: dict[str, str] = {}
        for k, v in (items or {}).items():
            self[k] = v

    def __setitem__(self, key: str, value: str) -> None:
        real = self._keys.setdefault(key.lower(), key)
        super().__setitem__(real, value)

    def __getitem__(self, key: str) -> str:
        return super().__getitem__(self._keys[key.lower()])

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and key.lower() in self._keys

    def get(self, key: str, default=None):  # type: ignore[override]
        return self[key] if key in self else default


@dataclass
class Response:
    status: int
    reason: str
    headers: Headers = field(default_factory=Headers)
    body: bytes = b""

    @property
    def cseq(self) -> int | None:
        value = self.headers.get("CSeq")
        try:
            return int(value) if value is not None else None
        except ValueError:
            return None


class ResponseParser:
    """Feed bytes, get complete responses. Lines may end in CRLF or LF."""

    # A speaker's longest reply (GET /info) is a few kilobytes; anything far beyond is refused before it is kept.
    MAX_HEAD = 64 * 1024
    MAX_BODY = 256 * 1024

    def __init__(self) -> None:
        self._buf = bytearray()
        self._head: tuple[int, str, Headers] | None = None
        self._need = 0

    def feed(self, data: bytes) -> list[Response]:
        self._buf += data
        out: list[Response] = []
        while True:
            if self._head is None:
                end, skip = _find_head_end(self._buf)
                if end < 0:
                    if len(self._buf) > self.MAX_HEAD:
                        raise RtspMalformed("response head too long")
                    return out
                head = bytes(self._buf[:end])
                del self._buf[:end + skip]
                if not head.strip():
                    continue
                self._head = _parse_head(head)
                length = self._head[2].get("Content-Length", "0")
                try:
                    self._need = int(length)
                except ValueError:
                    raise RtspMalformed("bad Content-Length %s" % quoted(length)) from None
                if not 0 <= self._need <= self.MAX_BODY:
                    raise RtspMalformed("bad Content-Length %s" % quoted(length))
            if len(self._buf) < self._need:
                return out
            status, reason, headers = self._head
            body = bytes(self._buf[:self._need])
            del self._buf[:self._need]
            self._head = None
            out.append(Response(status, reason, headers, body))


def _find_head_end(buf: bytearray) -> tuple[int, int]:
    candidates = [(buf.find(sep), len(sep)) for sep in (b"\r\n\r\n", b"\n\n")]
    found = [c for c in candidates if c[0] >= 0]
    return min(found) if found else (-1, 0)


def _parse_head(head: bytes) -> tuple[int, str, Headers]:
    lines = head.decode("utf-8", "replace").replace("\r\n", "\n").split("\n")
    parts = lines[0].split(None, 2)
    if len(parts) < 2 or not parts[0].upper().startswith(("RTSP/", "HTTP/")):
        raise RtspMalformed("bad status line %s" % quoted(lines[0]))
    try:
        status = int(parts[1])
    except ValueError:
        raise RtspMalformed("bad status line %s" % quoted(lines[0])) from None
    headers = Headers()
    for line in lines[1:]:
        name, sep, value = line.partition(":")
        if sep and name.strip():
            headers[name.strip()] = value.strip()
    return status, parts[2] if len(parts) > 2 else "", headers


def parse_transport(value: str) -> dict[str, str]:
    """``RTP/AVP/UDP;unicast;server_port=6003`` -> {"RTP/AVP/UDP": "", "unicast": "", ...}."""
    out: dict[str, str] = {}
    for part in value.split(";"):
        key, _, val = part.strip().partition("=")
        if key:
            out[key.strip()] = val.strip()
    return out


class RtspClient:
    """One RTSP connection. ``request`` waits for its response; ``send`` + ``poll`` let a
    real-time loop issue a request without waiting (keep-alive)."""

    POLL_BYTES = 16 * 1024

    def __init__(self, host: str, port: int, *, timeout: float = 5.0,
                 headers: dict[str, str] | None = None, stop: Optional[threading.Event] = None) -> None:
        self.host = host
        self.port = port
        self.timeout = timeout
        self.stop = stop
        self.headers = dict(headers or {})
        self.sock: socket.socket | None = None
        self._parser = ResponseParser()
        self._cseq = 0
        self._pending: list[int] = []
        self._ready: dict[int, Response] = {}

    def connect(self) -> None:
        self.sock = connect_tcp(self.host, self.port, self.timeout, self.stop)
        self.sock.settimeout(self.timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    @property
    def local_ip(self) -> str:
        assert self.sock is not None
        return self.sock.getsockname()[0]

    @property
    def remote_ip(self) -> str:
        assert self.sock is not None
        return self.sock.getpeername()[0]

    def send(self, method: str, uri: str, headers: dict[str, str] | None = None,
             body: bytes = b"", content_type: str | None = None) -> int:
        if self.sock is None:
            raise RtspClosed("not connected")
        self._cseq += 1
        lines = ["%s %s RTSP/1.0" % (method, uri), "CSeq: %d" % self._cseq]
        for k, v in {**self.headers, **(headers or {})}.items():
            lines.append("%s: %s" % (k, v))
        if body:
            if content_type:
                lines.append("Content-Type: %s" % content_type)
            lines.append("Content-Length: %d" % len(body))
        data = ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8") + body
        try:
            self.sock.settimeout(self.timeout)
            self.sock.sendall(data)
        except (BrokenPipeError, ConnectionError) as exc:
            raise RtspClosed(str(exc)) from exc
        except socket.timeout as exc:
            raise RtspTimeout("sending %s" % method) from exc
        self._pending.append(self._cseq)
        return self._cseq

    def request(self, method: str, uri: str, headers: dict[str, str] | None = None,
                body: bytes = b"", content_type: str | None = None,
                timeout: float | None = None) -> Response:
        cseq = self.send(method, uri, headers, body, content_type)
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while cseq not in self._ready:
            if self.stop is not None and self.stop.is_set():
                raise RtspStopped("waiting for the answer to %s" % method)
            left = deadline - time.monotonic()
            if left <= 0:
                raise RtspTimeout("no answer to %s" % method)
            self._read(min(SLICE, left))
        return self._ready.pop(cseq)

    def poll(self) -> list[Response]:
        """Responses that arrived since the last call, without waiting. One read of at most ``POLL_BYTES``, so a
        speaker flooding the connection never holds up the caller: the rest waits for the next call. Raises
        RtspClosed."""
        self._read(0, self.POLL_BYTES)
        out = list(self._ready.values())
        self._ready.clear()
        return out

    def outstanding(self) -> int:
        return len(self._pending)

    def _read(self, timeout: float, size: int = 65536) -> None:
        assert self.sock is not None
        readable, _, _ = select.select([self.sock], [], [], timeout)
        if not readable:
            return
        try:
            data = self.sock.recv(size)
        except BlockingIOError:  # part of an encrypted frame: the rest is waited for within the caller's deadline
            return
        except (ConnectionError, OSError) as exc:
            raise RtspClosed(str(exc)) from exc
        if not data:
            raise RtspClosed("connection closed by the speaker")
        for response in self._parser.feed(data):
            cseq = response.cseq
            if cseq in self._pending:
                self._pending.remove(cseq)
            elif self._pending:
                cseq = self._pending.pop(0)
            else:
                continue
            self._ready[cseq] = response

    def close(self) -> None:
        if self.sock is not None:
            try:
                self.sock.close()
            finally:
                self.sock = None
