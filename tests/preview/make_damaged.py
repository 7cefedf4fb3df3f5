#!/usr/bin/env python3
"""Writes damaged.s16: three 16 x 16 frames (5-6-5) whose second frame's
directory entry points past the end of the file, so that it cannot be read
while the first and third can.  Run from this folder: python3 make_damaged.py"""
import struct

W = H = 16
def frame(colour):
    # A diagonal band of `colour` on a transparent (0) ground.
    return [colour if abs(x - y) < 5 else 0 for y in range(H) for x in range(W)]

frames = [frame(0xF800), frame(0x07E0), frame(0x001F)]
header = 4 + 2 + 8 * len(frames)
out = struct.pack('<IH', 1, len(frames))
offset = header
for i, _ in enumerate(frames):
    at = 0x7FFFFF00 if i == 1 else offset
    out += struct.pack('<IHH', at, W, H)
    offset += 2 * W * H
for f in frames:
    out += struct.pack('<%dH' % len(f), *f)
with open('damaged.s16', 'wb') as file:
    file.write(out)
