"""A socket look-alike that encrypts what is sent and decrypts what is received (HAP framing).

It stands in for the plain socket inside the RTSP client after pairing, so the client keeps its own request
and response handling. A frame that fails authentication is reported as a broken connection.
"""

import socket

from .hap_channel import HapCipher, HapFrameError


class HapSocket:
    def __init__(self, sock: socket.socket, cipher: HapCipher):
        self._sock = sock
        self._cipher = cipher

    def fileno(self) -> int:
        return self._sock.fileno()

    def settimeout(self, value) -> None:
        self._sock.settimeout(value)

    def setsockopt(self, *args) -> None:
        self._sock.setsockopt(*args)

    def getsockname(self):
        return self._sock.getsockname()

    def getpeername(self):
        return self._sock.getpeername()

    def sendall(self, data: bytes) -> None:
        self._sock.sendall(self._cipher.seal(data))

    def recv(self, size: int) -> bytes:
        """Plaintext of the frames completed so far; b"" only when the peer closed. BlockingIOError while a frame
        is still incomplete: how long its rest may take is the caller's deadline, not each byte's."""
        data = self._sock.recv(size)
        if not data:
            return b""
        try:
            plain = self._cipher.open(data)
        except HapFrameError as exc:
            raise ConnectionResetError(str(exc)) from exc
        if not plain:
            raise BlockingIOError("frame incomplete")
        return plain

    def close(self) -> None:
        self._sock.close()
