"""The 0xD7 time announce on the receiver's control port, placed on one frozen RTP-to-clock line.

Layout (28 bytes): 0x90 (first) or 0x80, 0xD7, 0x00 0x06, [rtp − 77175], [clock ns, 64 bit], [rtp], [clock id].
The receiver plays frame (first field − 11035) at the given clock time, i.e. with 88210 frames (2 s) of latency.
Re-deriving the anchor from scratch for every announce makes receivers drop their buffer, so every announce
after the first is a point on the line fixed by the first.
"""

import struct

SAMPLE_RATE = 44100
ANNOUNCE_LATENCY = 77175
# Frames from a packet's announce to its playing, counted by the receiver on the clock the announce names.
PLAY_LATENCY = ANNOUNCE_LATENCY + 11035


def time_announce(rtp: int, clock_ns: int, clock_id: int, first: bool) -> bytes:
    return struct.pack(">BBHIQIQ", 0x90 if first else 0x80, 0xD7, 0x0006,
                       (rtp - ANNOUNCE_LATENCY) & 0xFFFFFFFF, clock_ns & 0xFFFFFFFFFFFFFFFF,
                       rtp & 0xFFFFFFFF, clock_id & 0xFFFFFFFFFFFFFFFF)


class FrozenLine:
    """rtp ↔ clock ns, fixed at the first point; later points only advance along it."""

    def __init__(self, rtp: int, clock_ns: int):
        self.rtp = rtp
        self.clock_ns = clock_ns

    def clock_at(self, rtp_offset_frames: int) -> int:
        return self.clock_ns + rtp_offset_frames * 1_000_000_000 // SAMPLE_RATE
