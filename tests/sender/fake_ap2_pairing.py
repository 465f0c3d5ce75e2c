"""Receiver side of HAP transient pair-setup, for the fake AirPlay 2 receiver and the pairing tests."""

import hashlib
import os

import worker_support  # noqa: F401  (puts the package on the path)
from pyatv.airplay2 import srp, tlv8


def _h(*parts: bytes) -> bytes:
    h = hashlib.sha512()
    for part in parts:
        h.update(part)
    return h.digest()


def _hi(*parts: bytes) -> int:
    return int.from_bytes(_h(*parts), "big")


class SrpServer:
    """Verifier side, computing S as (A·v^u)^b: a different path from the client's arithmetic."""

    def __init__(self, password: bytes = b"3939", salt: bytes = None, private: int = None,
                 username: bytes = b"Pair-Setup"):
        n, g = srp.N_3072, srp.G_3072
        self.n, self.g, self.username = n, g, username
        self.salt = salt if salt is not None else os.urandom(16)
        x = _hi(self.salt, _h(username + b":" + password))
        self.v = pow(g, x, n)
        self.b = private if private is not None else int.from_bytes(os.urandom(32), "big")
        self.k = _hi(self._pad(n), self._pad(g))
        self.public = (self.k * self.v + pow(g, self.b, n)) % n
        self.session_key = None

    def _pad(self, value: int) -> bytes:
        return value.to_bytes(384, "big")

    def public_bytes(self) -> bytes:
        return self._pad(self.public)

    def verify(self, client_public: bytes, client_proof: bytes):
        """Returns the server proof M2, or None when the client's proof is wrong."""
        a_pub = int.from_bytes(client_public, "big")
        u = _hi(self._pad(a_pub), self._pad(self.public))
        self.premaster = pow(a_pub * pow(self.v, u, self.n), self.b, self.n)
        key = _h(srp.minimal_bytes(self.premaster))
        h_ng = bytes(a ^ b for a, b in zip(_h(srp.minimal_bytes(self.n)), _h(srp.minimal_bytes(self.g))))
        expected = _h(h_ng, _h(self.username), self.salt, srp.minimal_bytes(a_pub),
                      srp.minimal_bytes(self.public), key)
        if expected != client_proof:
            return None
        self.session_key = key
        return _h(srp.minimal_bytes(a_pub), client_proof, key)


class PairSetupResponder:
    """Answers M1 and M3 bodies; `password` other than 3939 plays a receiver with a different PIN."""

    def __init__(self, password: bytes = b"3939"):
        self.server = SrpServer(password=password)
        self.session_key = None

    def handle(self, body: bytes) -> bytes:
        items = tlv8.decode(body)
        state = items.get(tlv8.STATE, b"\x00")[0]
        if state == 1:
            return tlv8.encode([(tlv8.STATE, b"\x02"), (tlv8.SALT, self.server.salt),
                                (tlv8.PUBLIC_KEY, self.server.public_bytes())])
        if state == 3:
            proof = self.server.verify(items[tlv8.PUBLIC_KEY], items[tlv8.PROOF])
            if proof is None:
                return tlv8.encode([(tlv8.STATE, b"\x04"), (tlv8.ERROR, b"\x02")])
            self.session_key = self.server.session_key
            return tlv8.encode([(tlv8.STATE, b"\x04"), (tlv8.PROOF, proof)])
        return tlv8.encode([(tlv8.STATE, bytes((state + 1,))), (tlv8.ERROR, b"\x01")])
