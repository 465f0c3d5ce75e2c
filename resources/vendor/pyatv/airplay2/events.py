"""The event channel: a second TCP connection to the receiver's event port, HAP-encrypted with the event keys.
The receiver may send requests on it; each gets an empty 200. Some receivers open the port late, so the
connection is tried a few times, each try and pause bounded and given up at once when the worker stops."""

import logging
import socket
from typing import Optional

from .. import session as s
from ..rtsp import RtspStopped, connect_tcp
from . import hap_channel

log = logging.getLogger(__name__)

CONNECT_TRIES = 5
CONNECT_TIMEOUT = 1.0
CONNECT_PAUSE = 0.5


class EventChannel:
    def __init__(self, cipher: hap_channel.HapCipher):
        self._cipher = cipher
        self.sock: Optional[socket.socket] = None
        self.replies = 0

    def connect(self, remote: str, port: Optional[int]) -> None:
        if port is None:
            log.warning("no event port in the session reply")
            return
        for attempt in range(CONNECT_TRIES):
            try:
                self.sock = connect_tcp(remote, port, CONNECT_TIMEOUT, s.STOP)
                self.sock.setblocking(False)
                return
            except RtspStopped as exc:
                raise s.Stopped("event port: %s" % exc) from exc
            except OSError as exc:
                log.info("event port %d: %s (attempt %d)", port, exc, attempt + 1)
                s.pause(CONNECT_PAUSE)
        log.warning("event port %d unreachable; going on without it", port)

    def answer(self) -> None:
        if self.sock is None:
            return
        try:
            data = self.sock.recv(4096)
        except BlockingIOError:
            return
        except OSError as exc:
            log.info("event channel lost: %s", exc)
            return self.close()
        if not data:
            return self.close()
        try:
            plain = self._cipher.open(data)
        except hap_channel.HapFrameError as exc:
            log.warning("event channel: %s", exc)
            return self.close()
        for line in plain.decode("utf-8", "replace").split("\n"):
            if line.lower().startswith("cseq:"):
                reply = "RTSP/1.0 200 OK\r\nCSeq: %s\r\nContent-Length: 0\r\n\r\n" % line.split(":", 1)[1].strip()
                try:
                    self.sock.sendall(self._cipher.seal(reply.encode()))
                except OSError:
                    return self.close()

    def close(self) -> None:
        if self.sock is not None:
            self.sock.close()
            self.sock = None
