"""gPTP messages over UDP: the 34-byte common header, Sync, Follow_Up, Announce, Delay_Req/Resp.

Receivers drop plain IEEE 1588 messages: the first byte must carry transportSpecific 1 (802.1AS).
Sync goes to the event port 319, everything else to the general port 320.
"""

import struct
from typing import NamedTuple

EVENT_PORT = 319
GENERAL_PORT = 320

SYNC = 0x0
DELAY_REQ = 0x1
FOLLOW_UP = 0x8
DELAY_RESP = 0x9
ANNOUNCE = 0xB
SIGNALING = 0xC

TRANSPORT_8021AS = 0x1
FLAG_TWO_STEP = 0x0200
FLAG_PTP_TIMESCALE = 0x0008

HEADER = struct.Struct(">BBHBBHq4s8sHHBb")
HEADER_LENGTH = HEADER.size  # 34
TIMESTAMP_LENGTH = 10

_CONTROL = {SYNC: 0, DELAY_REQ: 1, FOLLOW_UP: 2, DELAY_RESP: 3}

TLV_ORGANIZATION_EXTENSION = 0x0003
TLV_PATH_TRACE = 0x0008
IEEE_8021_OUI = b"\x00\x80\xc2"


class PtpHeader(NamedTuple):
    message_type: int
    transport: int
    length: int
    domain: int
    flags: int
    correction_ns: float
    clock_id: int
    port: int
    sequence: int
    log_interval: int


class PtpParseError(ValueError):
    pass


def encode_timestamp(ns: int) -> bytes:
    seconds, nanos = divmod(ns, 1_000_000_000)
    return struct.pack(">HII", (seconds >> 32) & 0xFFFF, seconds & 0xFFFFFFFF, nanos)


def decode_timestamp(data: bytes) -> int:
    high, low, nanos = struct.unpack(">HII", data[:TIMESTAMP_LENGTH])
    if nanos >= 1_000_000_000:
        raise PtpParseError("nanoseconds field out of range")
    return ((high << 32) | low) * 1_000_000_000 + nanos


def _header(message_type: int, length: int, flags: int, clock_id: int, sequence: int, log_interval: int,
            correction_ns: int = 0, port: int = 1) -> bytes:
    return HEADER.pack((TRANSPORT_8021AS << 4) | message_type, 0x02, length, 0, 0, flags,
                       correction_ns << 16, b"\x00" * 4, clock_id.to_bytes(8, "big"), port, sequence & 0xFFFF,
                       _CONTROL.get(message_type, 5), log_interval)


def sync(clock_id: int, sequence: int, log_interval: int = -3) -> bytes:
    """Two-step Sync: the precise send time follows in the Follow_Up."""
    length = HEADER_LENGTH + TIMESTAMP_LENGTH
    return _header(SYNC, length, FLAG_TWO_STEP | FLAG_PTP_TIMESCALE, clock_id, sequence, log_interval) + \
        b"\x00" * TIMESTAMP_LENGTH


def follow_up(clock_id: int, sequence: int, precise_origin_ns: int, log_interval: int = -3) -> bytes:
    tlv_body = IEEE_8021_OUI + b"\x00\x00\x01" + struct.pack(">iH12si", 0, 0, b"\x00" * 12, 0)
    tlv = struct.pack(">HH", TLV_ORGANIZATION_EXTENSION, len(tlv_body)) + tlv_body
    length = HEADER_LENGTH + TIMESTAMP_LENGTH + len(tlv)
    return _header(FOLLOW_UP, length, FLAG_PTP_TIMESCALE, clock_id, sequence, log_interval) + \
        encode_timestamp(precise_origin_ns) + tlv


class Quality(NamedTuple):
    priority1: int
    clock_class: int
    accuracy: int
    variance: int
    priority2: int
    time_source: int


SENDER_QUALITY = Quality(priority1=128, clock_class=6, accuracy=0x21, variance=0x436A, priority2=128,
                         time_source=0x20)


def announce(clock_id: int, sequence: int, quality: Quality = SENDER_QUALITY, log_interval: int = 0,
             steps_removed: int = 0) -> bytes:
    body = encode_timestamp(0) + struct.pack(">hBBBBHB8sHB", 37, 0, quality.priority1, quality.clock_class,
                                             quality.accuracy, quality.variance, quality.priority2,
                                             clock_id.to_bytes(8, "big"), steps_removed, quality.time_source)
    path = struct.pack(">HH", TLV_PATH_TRACE, 8) + clock_id.to_bytes(8, "big")
    length = HEADER_LENGTH + len(body) + len(path)
    return _header(ANNOUNCE, length, FLAG_PTP_TIMESCALE, clock_id, sequence, log_interval) + body + path


def delay_resp(clock_id: int, request: "PtpHeader", receive_ns: int) -> bytes:
    body = encode_timestamp(receive_ns) + request.clock_id.to_bytes(8, "big") + struct.pack(">H", request.port)
    return _header(DELAY_RESP, HEADER_LENGTH + len(body), FLAG_PTP_TIMESCALE, clock_id, request.sequence, 0x7F) + \
        body


def parse_header(data: bytes) -> PtpHeader:
    if len(data) < HEADER_LENGTH:
        raise PtpParseError("message shorter than the PTP header")
    (type_byte, version, length, domain, _, flags, correction, _, clock, port, sequence, _,
     log_interval) = HEADER.unpack_from(data)
    if version & 0x0F != 2:
        raise PtpParseError(f"PTP version {version & 0x0F}")
    if length > len(data):
        raise PtpParseError("message shorter than its length field")
    return PtpHeader(type_byte & 0x0F, type_byte >> 4, length, domain, flags, correction / 65536.0,
                     int.from_bytes(clock, "big"), port, sequence, log_interval)


def parse_origin_timestamp(data: bytes) -> int:
    if len(data) < HEADER_LENGTH + TIMESTAMP_LENGTH:
        raise PtpParseError("message lacks its timestamp")
    return decode_timestamp(data[HEADER_LENGTH:HEADER_LENGTH + TIMESTAMP_LENGTH])


class AnnounceInfo(NamedTuple):
    grandmaster: int
    quality: Quality
    steps_removed: int


def parse_announce(data: bytes) -> AnnounceInfo:
    body = data[HEADER_LENGTH + TIMESTAMP_LENGTH:]
    if len(body) < 20:
        raise PtpParseError("Announce too short")
    (_, _, p1, clock_class, accuracy, variance, p2, gm, steps, source) = struct.unpack_from(">hBBBBHB8sHB", body)
    return AnnounceInfo(int.from_bytes(gm, "big"), Quality(p1, clock_class, accuracy, variance, p2, source), steps)

