"""RTP packet builders and parsers shared by both protocols (all fields big-endian).

audio   0x80 0x60|marker  seq  rtptime  ssrc  payload            -> receiver server_port
sync    0x80|0x10 0xD4 0x0007  rtptime-latency  NTP now  rtptime  -> receiver control_port
timing  request 0x80 0xD2 ... transmit at 24..31; reply 0x80 0xD3 with origin, receive, transmit
resend  request 0x80 0xD5 seq first count; reply 0x80 0xD6 seq + the original packet
"""

from __future__ import annotations

import struct
import time
from typing import Callable

NTP_EPOCH_DELTA = 0x83AA7E80  # seconds from 1900-01-01 to 1970-01-01
PAYLOAD_TYPE = 0x60
SYNC_FLAGS = 0x0007

_RTP = struct.Struct(">BBHII")
_SYNC = struct.Struct(">BBHIQI")
_TIMING_REPLY = struct.Struct(">BBHI8sQQ")
_RESEND = struct.Struct(">BBHHH")


def rtp_header(seq: int, timestamp: int, ssrc: int, marker: bool = False) -> bytes:
    return _RTP.pack(0x80, PAYLOAD_TYPE | (0x80 if marker else 0), seq & 0xFFFF,
                     timestamp & 0xFFFFFFFF, ssrc & 0xFFFFFFFF)


def ntp_from_seconds(unix_seconds: float) -> int:
    """64-bit NTP timestamp (32.32 fixed point since 1900) from Unix seconds."""
    whole = int(unix_seconds // 1)
    frac = int((unix_seconds - whole) * (1 << 32))
    return (((whole + NTP_EPOCH_DELTA) & 0xFFFFFFFF) << 32) | (frac & 0xFFFFFFFF)


def sync_packet(next_timestamp: int, latency: int, ntp_now: int, first: bool) -> bytes:
    """Says: frame ``next_timestamp`` is being sent at ``ntp_now`` and the frame
    ``latency`` earlier should be heard then."""
    return _SYNC.pack(0x90 if first else 0x80, 0xD4, SYNC_FLAGS,
                      (next_timestamp - latency) & 0xFFFFFFFF, ntp_now,
                      next_timestamp & 0xFFFFFFFF)


def is_timing_request(data: bytes) -> bool:
    return len(data) >= 32 and (data[1] & 0x7F) == 0x52


def timing_reply(request: bytes, received: int, transmitted: int) -> bytes:
    return _TIMING_REPLY.pack(0x80, 0xD3, SYNC_FLAGS, 0, bytes(request[24:32]),
                              received, transmitted)


def parse_resend_request(data: bytes) -> tuple[int, int] | None:
    """``(first missing seq, count)`` from a 0xD5 request, else None."""
    if len(data) < 8 or (data[1] & 0x7F) != 0x55:
        return None
    _, _, _, first, count = _RESEND.unpack_from(data)
    return first, count


def resend_reply(packet: bytes) -> bytes:
    return b"\x80\xD6" + packet[2:4] + packet


class NtpClock:
    """Maps the monotonic clock to NTP time, anchored to the wall clock once, so that
    timing replies and sync packets share one steady clock."""

    def __init__(self, monotonic: Callable[[], float] = time.monotonic,
                 wall: Callable[[], float] = time.time) -> None:
        self._monotonic = monotonic
        self._offset = wall() - monotonic()

    def at(self, monotonic_seconds: float) -> int:
        return ntp_from_seconds(monotonic_seconds + self._offset)

    def now(self) -> int:
        return self.at(self._monotonic())


class Backlog:
    """The last ``size`` audio packets by sequence number, for retransmission.

    Written by the streamer thread and read by the UDP service thread; each slot is
    replaced in one assignment, which is atomic in CPython."""

    def __init__(self, size: int = 1024) -> None:
        self._size = size
        self._slots: list[tuple[int, bytes] | None] = [None] * size

    def put(self, seq: int, packet: bytes) -> None:
        self._slots[seq % self._size] = (seq & 0xFFFF, packet)

    def get(self, seq: int) -> bytes | None:
        slot = self._slots[(seq & 0xFFFF) % self._size]
        if slot is not None and slot[0] == seq & 0xFFFF:
            return slot[1]
        return None
