#!/usr/bin/env python3
"""Packs square PNG images into an Apple icon container (.icns) with PNG entries.

Usage: gen-icns.py <output.icns> <image.png>...

Each image goes under every icon type that holds its pixel size (for example a 32 x 32
image serves both the 32-point type and the 16-point Retina type). Images of a size no
type holds are refused, and so is a set that leaves no type filled.
"""
import struct
import sys

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Icon types that carry PNG data, by pixel size.
TYPES_BY_SIZE = {
    16: [b"icp4"],
    32: [b"icp5", b"ic11"],
    64: [b"icp6", b"ic12"],
    128: [b"ic07"],
    256: [b"ic08", b"ic13"],
    512: [b"ic09", b"ic14"],
    1024: [b"ic10"],
}


def png_size(data, name):
    if not data.startswith(PNG_SIGNATURE) or data[12:16] != b"IHDR":
        raise ValueError(f"{name}: not a PNG image")
    width, height = struct.unpack(">II", data[16:24])
    if width != height:
        raise ValueError(f"{name}: {width}x{height} is not square")
    return width


def build_icns(images):
    """images: list of (name, PNG bytes). Returns the container's bytes."""
    entries = {}
    for name, data in images:
        size = png_size(data, name)
        if size not in TYPES_BY_SIZE:
            raise ValueError(f"{name}: no icon type holds {size}x{size}")
        for kind in TYPES_BY_SIZE[size]:
            entries[kind] = data
    if not entries:
        raise ValueError("no images")
    body = b"".join(kind + struct.pack(">I", 8 + len(data)) + data for kind, data in sorted(entries.items()))
    return b"icns" + struct.pack(">I", 8 + len(body)) + body


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    images = []
    for path in argv[2:]:
        with open(path, "rb") as handle:
            images.append((path, handle.read()))
    try:
        container = build_icns(images)
    except ValueError as error:
        print(f"gen-icns: {error}", file=sys.stderr)
        return 1
    with open(argv[1], "wb") as handle:
        handle.write(container)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
