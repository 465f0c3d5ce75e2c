"""ALAC "escape" frames: uncompressed PCM inside the ALAC bit stream.

Layout, MSB first: element tag 001 (stereo pair), instance 0000, 12 zero bits,
has-size flag, 2 bits of shift 00, escape flag 1, [32-bit frame count when has-size],
then per frame the left and right sample as big-endian 16-bit, end tag 111, zero padding
to a byte boundary. A full 352-frame frame is 1412 bytes.
"""

from __future__ import annotations

import array
import sys

FRAME_LENGTH = 352

_HEADER_FULL = 0b001_0000_000000000000_0_00_1
_HEADER_PARTIAL = 0b001_0000_000000000000_1_00_1
_HEADER_BITS = 23
_END_TAG = 0b111


def _big_endian(pcm: bytes) -> bytes:
    samples = array.array("h")
    samples.frombytes(pcm)
    if sys.byteorder == "little":
        samples.byteswap()
    return samples.tobytes()


def encode_escape(pcm: bytes, frame_length: int = FRAME_LENGTH) -> bytes:
    """Wrap interleaved s16le stereo ``pcm`` (whole frames) into one escape frame.

    Fewer frames than ``frame_length`` set the has-size flag and carry the count."""
    if len(pcm) % 4:
        raise ValueError("PCM must hold whole stereo frames")
    frames = len(pcm) // 4
    if frames > frame_length:
        raise ValueError("%d frames do not fit a %d-frame packet" % (frames, frame_length))
    sample_bits = frames * 32
    value = int.from_bytes(_big_endian(pcm), "big")
    if frames == frame_length:
        head, head_bits = _HEADER_FULL, _HEADER_BITS
    else:
        head, head_bits = (_HEADER_PARTIAL << 32) | frames, _HEADER_BITS + 32
    total = head_bits + sample_bits + 3
    padding = -total % 8
    value = (((head << sample_bits) | value) << 3 | _END_TAG) << padding
    return value.to_bytes((total + padding) // 8, "big")
