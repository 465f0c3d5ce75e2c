"""Binary property-list bodies and the fields the session reads from them."""

import plistlib
from typing import Any

from ..quoting import quoted

CONTENT_TYPE = "application/x-apple-binary-plist"


class PlistError(ValueError):
    pass


def encode(value: Any) -> bytes:
    return plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=False)


def decode(body: bytes) -> Any:
    if not body:
        return {}
    try:
        return plistlib.loads(body)
    except Exception as exc:  # plistlib raises several unrelated types on malformed input
        raise PlistError("malformed plist: %s" % quoted(str(exc))) from exc


def clock_id_to_plist(clock_id: int) -> int:
    """plistlib writes integers at or above 2^63 as 16-byte integers; receivers expect a signed int64."""
    clock_id &= 0xFFFFFFFFFFFFFFFF
    return clock_id - (1 << 64) if clock_id >= 1 << 63 else clock_id


def clock_id_from_plist(value: int) -> int:
    return value & 0xFFFFFFFFFFFFFFFF
