#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_decode into corpus/.

Each seed is one selector byte (0: a name ending in "spr", 1: a 16-bit
name) followed by a small sprite file: valid files of each kind and the
edge cases the decoder must survive.
"""
import os
import struct

SPR, SIXTEEN = b"\0", b"\1"


def spr(w, h, px, frames=1):
    return struct.pack("<HIHH", frames, 10, w, h) + bytes(px)


def s16(flags, w, h, px):
    table = b"\0" * 4 * (h - 1)
    return struct.pack("<IHIHH", flags, 1, 14 + len(table), w, h) + table + \
        b"".join(struct.pack("<H", v) for v in px)


def c16(flags, w, lines, offsets=None):
    h = len(lines)
    at = 14 + 4 * (h - 1)
    starts = []
    for ln in lines:
        starts.append(at)
        at += len(ln)
    if offsets:
        starts = offsets
    return struct.pack("<IHIHH", flags | 2, 1, starts[0], w, h) + \
        b"".join(struct.pack("<I", o) for o in starts[1:]) + b"".join(lines)


def colour(*px):
    return struct.pack("<H", len(px) << 1 | 1) + b"".join(struct.pack("<H", v) for v in px)


def clear(n):
    return struct.pack("<H", n << 1)


END = b"\0\0"

seeds = {
    "spr-5x3": SPR + spr(5, 3, range(1, 16)),
    "spr-4x2-frames3": SPR + spr(4, 2, range(8), frames=3),
    "s16-3x2-565": SIXTEEN + s16(1, 3, 2, [0xF800, 0x07E0, 0x001F, 1, 2, 3]),
    "s16-2x1": SIXTEEN + s16(0, 2, 1, [0x7C00, 0x03E0]),
    "c16-3x3": SIXTEEN + c16(1, 3, [colour(1) + clear(2) + END, clear(3) + END, colour(4, 5, 6) + END]),
    "c16-overrun": SIXTEEN + c16(0, 2, [colour(*range(1, 11)) + END, colour(7, 8) + END]),
    "c16-far-offset": SIXTEEN + c16(0, 3, [colour(1, 2, 3) + END, colour(4, 5, 6) + END],
                                    offsets=[18, 0x7FFFFFF0]),
    "c16-truncated": SIXTEEN + c16(0, 4, [colour(1, 2, 3, 4) + END])[:-5],
    "spr-frames0": SPR + spr(2, 2, range(4), frames=0),
    # 50 lines that all start at one chain of 400 empty colour runs.
    "c16-idle-chain": SIXTEEN + c16(0, 1, [b"\1\0" * 400 + END] + [END] * 49,
                                    offsets=[14 + 4 * 49] * 50),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
