"""TLV8 as used by HAP pairing: values over 255 bytes travel as consecutive items of one type."""

from typing import Dict, Iterable, Tuple

METHOD = 0x00
IDENTIFIER = 0x01
SALT = 0x02
PUBLIC_KEY = 0x03
PROOF = 0x04
ENCRYPTED_DATA = 0x05
STATE = 0x06
ERROR = 0x07
BACKOFF = 0x08
SIGNATURE = 0x0A
FLAGS = 0x13

ERROR_NAMES = {
    1: "unknown", 2: "authentication", 3: "backoff", 4: "max peers",
    5: "max tries", 6: "unavailable", 7: "busy",
}


class TlvError(ValueError):
    pass


def encode(items: Iterable[Tuple[int, bytes]]) -> bytes:
    out = bytearray()
    for kind, value in items:
        if not 0 <= kind <= 255:
            raise TlvError(f"type {kind} out of range")
        if not value:
            out += bytes((kind, 0))
            continue
        for start in range(0, len(value), 255):
            chunk = value[start:start + 255]
            out += bytes((kind, len(chunk))) + chunk
    return bytes(out)


def decode(data: bytes) -> Dict[int, bytes]:
    """Returns type -> value. A run of same-typed items is one fragmented value; the last value of a type wins."""
    result: Dict[int, bytes] = {}
    previous = None
    pos = 0
    while pos < len(data):
        if pos + 2 > len(data):
            raise TlvError("truncated item header")
        kind, length = data[pos], data[pos + 1]
        value = data[pos + 2:pos + 2 + length]
        if len(value) != length:
            raise TlvError("truncated item value")
        if kind == previous:
            result[kind] += value
        else:
            result[kind] = bytes(value)
        previous = kind
        pos += 2 + length
    return result
