#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_plugins: a selector byte (bit 7: the Qt
handler, bits 0-1 its format spr/s16/c16/none, bit 5 a jump to the last
frame; otherwise the gdk-pixbuf loader, bit 4 asking for the size only), a
chunk-size byte (bit 7: the whole file at once, else 1 + bits 0-5), then a
small sprite file.

Usage: make_corpus.py [OUT]   (default: the corpus folder beside this script)
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "tamsorel"))
from sprites import encode, pattern  # noqa: E402

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "corpus")
os.makedirs(out, exist_ok=True)


def sprite(kind, sizes):
    return encode(kind, [(w, h, pattern(w, h, i, kind == "spr")) for i, (w, h) in enumerate(sizes)])[0]


s16 = sprite("s16", [(3, 2), (2, 4)])
c16 = sprite("c16", [(4, 3), (1, 1), (5, 2)])
spr = sprite("spr", [(2, 2), (3, 1)])
seeds = {
    "loader-s16-bytewise": bytes([0x00, 0x00]) + s16,
    "loader-c16-chunks-of-7": bytes([0x00, 0x06]) + c16,
    "loader-c16-whole": bytes([0x00, 0x80]) + c16,
    "loader-size-only": bytes([0x10, 0x03]) + s16,
    "loader-c16-cut": bytes([0x00, 0x02]) + c16[:-5],
    "loader-no-frames": bytes([0x00, 0x80]) + struct.pack("<IH", 3, 0),
    "qt-spr": bytes([0x80, 0x00]) + spr,
    "qt-s16-found": bytes([0x83, 0x00]) + s16,
    "qt-c16-jump": bytes([0xA2, 0x00]) + c16,
    "qt-c16-cut": bytes([0x82, 0x00]) + c16[:-3],
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
print("%d seeds in %s" % (len(seeds), out))
