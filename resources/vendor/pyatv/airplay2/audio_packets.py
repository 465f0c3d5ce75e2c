"""Realtime AirPlay 2 audio packets: RTP header, ChaCha20-Poly1305 payload, 8-byte nonce trailer.

The nonce is 4 zero bytes followed by the trailer, which carries a 64-bit little-endian counter that never
repeats within a session (a 16-bit sequence number would repeat after 65,536 packets). The AAD is the RTP
timestamp and SSRC, header bytes 4 to 11. Retransmissions must resend the stored packet, not reseal it.
"""

import struct

from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

class AudioSealer:
    def __init__(self, key: bytes, first_counter: int = 0):
        if len(key) != 32:
            raise ValueError("audio key must be 32 bytes")
        self._aead = ChaCha20Poly1305(key)
        self._counter = first_counter

    def seal(self, header: bytes, payload: bytes) -> bytes:
        trailer = struct.pack("<Q", self._counter & 0xFFFFFFFFFFFFFFFF)
        self._counter += 1
        sealed = self._aead.encrypt(b"\x00\x00\x00\x00" + trailer, payload, header[4:12])
        return header + sealed + trailer

