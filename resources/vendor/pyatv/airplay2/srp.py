"""SRP-6a client with the conventions HAP pair-setup uses.

u and k hash the numbers left-padded to the modulus length; M1, M2 and the session key K = H(S) hash the
numbers as minimal big-endian bytes. Mixing the two conventions up fails only when a number has a leading
zero byte (about 1 in 256 sessions), so both are kept explicit here.
"""

import hashlib
import secrets
from typing import Callable, Optional

N_3072 = int(
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74"
    "020BBEA63B139B22514A08798E3404DDEF9519B3CD3A431B302B0A6DF25F1437"
    "4FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3DC2007CB8A163BF05"
    "98DA48361C55D39A69163FA8FD24CF5F83655D23DCA3AD961C62F356208552BB"
    "9ED529077096966D670C354E4ABC9804F1746C08CA18217C32905E462E36CE3B"
    "E39E772C180E86039B2783A2EC07A28FB5C55DF06F4C52C9DE2BCBF695581718"
    "3995497CEA956AE515D2261898FA051015728E5A8AAAC42DAD33170D04507A33"
    "A85521ABDF1CBA64ECFB850458DBEF0A8AEA71575D060C7DB3970F85A6E1E4C7"
    "ABF5AE8CDB0933D71E8C94E04A25619DCEE3D2261AD2EE6BF12FFA06D98A0864"
    "D87602733EC86A64521F2B18177B200CBBE117577A615D6C770988C0BAD946E2"
    "08E24FA074E5AB3143DB5BFCE0FD108E4B82D120A93AD2CAFFFFFFFFFFFFFFFF", 16)
G_3072 = 5


class SrpError(Exception):
    pass


def minimal_bytes(n: int) -> bytes:
    return n.to_bytes(max(1, (n.bit_length() + 7) // 8), "big")


class SrpClient:
    def __init__(self, username: bytes, password: bytes, *, n: int = N_3072, g: int = G_3072,
                 hash_name: str = "sha512", private: Optional[int] = None):
        self._n, self._g = n, g
        self._width = (n.bit_length() + 7) // 8
        self._hash_name = hash_name
        self._username = username
        self._password = password
        self._a = private if private is not None else int.from_bytes(secrets.token_bytes(32), "big")
        self.public = pow(g, self._a, n)
        self.k = self._hash_int(self._pad(n), self._pad(g))
        self.session_key: Optional[bytes] = None
        self.proof: Optional[bytes] = None
        self._expected_server_proof: Optional[bytes] = None
        self.premaster: Optional[int] = None

    def _hash(self, *parts: bytes) -> bytes:
        h = hashlib.new(self._hash_name)
        for part in parts:
            h.update(part)
        return h.digest()

    def _hash_int(self, *parts: bytes) -> int:
        return int.from_bytes(self._hash(*parts), "big")

    def _pad(self, n: int) -> bytes:
        return n.to_bytes(self._width, "big")

    @property
    def public_bytes(self) -> bytes:
        return minimal_bytes(self.public)

    def process_challenge(self, salt: bytes, server_public: bytes) -> bytes:
        """Computes the shared secret from the server's salt and B; returns our proof M1."""
        b_pub = int.from_bytes(server_public, "big")
        if not 0 < b_pub < self._n:
            raise SrpError("server public key out of range")
        u = self._hash_int(self._pad(self.public), self._pad(b_pub))
        if u == 0:
            raise SrpError("scrambling parameter is zero")
        x = self._hash_int(salt, self._hash(self._username + b":" + self._password))
        base = (b_pub - self.k * pow(self._g, x, self._n)) % self._n
        self.premaster = pow(base, self._a + u * x, self._n)
        self.session_key = self._hash(minimal_bytes(self.premaster))
        h_n = self._hash(minimal_bytes(self._n))
        h_g = self._hash(minimal_bytes(self._g))
        h_ng = bytes(a ^ b for a, b in zip(h_n, h_g))
        self.proof = self._hash(h_ng, self._hash(self._username), salt, self.public_bytes,
                                minimal_bytes(b_pub), self.session_key)
        self._expected_server_proof = self._hash(self.public_bytes, self.proof, self.session_key)
        return self.proof

    def verify_server(self, server_proof: bytes) -> None:
        if self._expected_server_proof is None:
            raise SrpError("no challenge processed")
        if not secrets.compare_digest(server_proof, self._expected_server_proof):
            raise SrpError("server proof does not match")
