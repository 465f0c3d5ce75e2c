"""HAP session framing: [length LE16][ChaCha20-Poly1305 ciphertext][tag], the length bytes as AAD.

Each direction has its own key and its own 64-bit nonce counter starting at 0. Frames carry at most 1024
plaintext bytes; a message may span frames and a frame may arrive in pieces.
"""

import struct

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

MAX_FRAME = 1024
TAG_LENGTH = 16


class HapFrameError(Exception):
    """A frame failed authentication: the keys differ or the stream was corrupted."""


def hkdf_sha512(secret: bytes, salt: bytes, info: bytes, length: int = 32) -> bytes:
    return HKDF(algorithm=hashes.SHA512(), length=length, salt=salt, info=info).derive(secret)


def control_keys(secret: bytes):
    """(output key, input key) of the sender on the RTSP control connection."""
    return (hkdf_sha512(secret, b"Control-Salt", b"Control-Write-Encryption-Key"),
            hkdf_sha512(secret, b"Control-Salt", b"Control-Read-Encryption-Key"))


def event_keys(secret: bytes):
    """(output key, input key) of the sender on the event connection; named from the receiver's side."""
    return (hkdf_sha512(secret, b"Events-Salt", b"Events-Read-Encryption-Key"),
            hkdf_sha512(secret, b"Events-Salt", b"Events-Write-Encryption-Key"))


def counter_nonce(counter: int) -> bytes:
    return b"\x00\x00\x00\x00" + struct.pack("<Q", counter)


class HapCipher:
    def __init__(self, output_key: bytes, input_key: bytes):
        self._out = ChaCha20Poly1305(output_key)
        self._in = ChaCha20Poly1305(input_key)
        self._out_counter = 0
        self._in_counter = 0
        self._pending = bytearray()

    def seal(self, data: bytes) -> bytes:
        out = bytearray()
        for start in range(0, max(len(data), 1), MAX_FRAME):
            chunk = data[start:start + MAX_FRAME]
            header = struct.pack("<H", len(chunk))
            out += header + self._out.encrypt(counter_nonce(self._out_counter), bytes(chunk), header)
            self._out_counter += 1
        return bytes(out)

    def open(self, data: bytes) -> bytes:
        """Takes bytes as received; returns the plaintext of every frame completed by them."""
        self._pending += data
        plain = bytearray()
        while len(self._pending) >= 2:
            length = struct.unpack_from("<H", self._pending)[0]
            end = 2 + length + TAG_LENGTH
            if len(self._pending) < end:
                break
            header = bytes(self._pending[:2])
            try:
                plain += self._in.decrypt(counter_nonce(self._in_counter), bytes(self._pending[2:end]), header)
            except InvalidTag as exc:
                raise HapFrameError(f"frame {self._in_counter} failed authentication") from exc
            self._in_counter += 1
            del self._pending[:end]
        return bytes(plain)
