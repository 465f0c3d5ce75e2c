"""Realtime AirPlay 2 audio packets: RTP header, ChaCha20-Poly1305 payload, 8-byte nonce trailer.

The nonce is 4 zero bytes followed by the trailer, which carries a 64-bit little-endian counter that never
repeats within a session (a 16-bit sequence number would repeat after 65,536 packets). The AAD is the RTP
timestamp and SSRC, header bytes 4 to 11. Retransmissions must resend the stored packet, not reseal it.

Sealing runs 125 times a second. The ``cryptography`` package builds and frees an OpenSSL context for every
call, which made sealing the largest part of the worker's cost; the same libcrypto it uses, called directly
with one context kept per session, does it in a fraction of the time. Where libcrypto cannot be loaded the
``cryptography`` path is used.
"""

import ctypes
import ctypes.util
import struct

from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

_TAG = 16
_CTRL_AEAD_GET_TAG = 0x10


def _libcrypto():
    try:
        lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
        lib.EVP_CIPHER_CTX_new.restype = ctypes.c_void_p
        lib.EVP_CIPHER_CTX_free.argtypes = [ctypes.c_void_p]
        lib.EVP_chacha20_poly1305.restype = ctypes.c_void_p
        lib.EVP_EncryptInit_ex.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p,
                                           ctypes.c_char_p]
        lib.EVP_EncryptUpdate.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                          ctypes.c_char_p, ctypes.c_int]
        lib.EVP_EncryptFinal_ex.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
        lib.EVP_CIPHER_CTX_ctrl.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
        return lib
    except (OSError, AttributeError):
        return None


_LIB = _libcrypto()


class _DirectCipher:
    """ChaCha20-Poly1305 on one OpenSSL context: only the nonce changes between packets."""

    def __init__(self, key: bytes):
        self._ctx = _LIB.EVP_CIPHER_CTX_new()
        if not self._ctx or _LIB.EVP_EncryptInit_ex(self._ctx, _LIB.EVP_chacha20_poly1305(), None, key,
                                                    bytes(12)) != 1:
            raise OSError("libcrypto refused ChaCha20-Poly1305")
        self._out = ctypes.create_string_buffer(2048)
        self._tag = ctypes.create_string_buffer(_TAG)
        self._len = ctypes.c_int()
        self._len_ref = ctypes.byref(self._len)

    def encrypt(self, nonce: bytes, payload: bytes, aad: bytes) -> bytes:
        lib, ctx, n = _LIB, self._ctx, len(payload)
        if n > len(self._out) or not (
                lib.EVP_EncryptInit_ex(ctx, None, None, None, nonce) == 1
                and lib.EVP_EncryptUpdate(ctx, None, self._len_ref, aad, len(aad)) == 1
                and lib.EVP_EncryptUpdate(ctx, self._out, self._len_ref, payload, n) == 1
                and lib.EVP_EncryptFinal_ex(ctx, None, self._len_ref) == 1
                and lib.EVP_CIPHER_CTX_ctrl(ctx, _CTRL_AEAD_GET_TAG, _TAG, self._tag) == 1):
            raise OSError("libcrypto could not seal a packet")
        return self._out.raw[:n] + self._tag.raw

    def __del__(self):
        if getattr(self, "_ctx", None):
            _LIB.EVP_CIPHER_CTX_free(self._ctx)


class AudioSealer:
    def __init__(self, key: bytes, first_counter: int = 0):
        if len(key) != 32:
            raise ValueError("audio key must be 32 bytes")
        try:
            self._aead = _DirectCipher(key) if _LIB is not None else ChaCha20Poly1305(key)
        except OSError:
            self._aead = ChaCha20Poly1305(key)
        self._counter = first_counter

    def seal(self, header: bytes, payload: bytes) -> bytes:
        trailer = struct.pack("<Q", self._counter & 0xFFFFFFFFFFFFFFFF)
        self._counter += 1
        sealed = self._aead.encrypt(b"\x00\x00\x00\x00" + trailer, payload, header[4:12])
        return header + sealed + trailer
