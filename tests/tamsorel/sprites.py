"""Multi-frame sprite files written by the tests themselves (independently of
the C++ encoder), and the RGBA their frames must become."""
import os
import re
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def palette():
    """The built-in palette as 256 (red, green, blue), from its one source."""
    with open(os.path.join(ROOT, "resources", "palette.inc")) as f:
        entries = re.findall(r"PALETTE_ENTRY\(([0-9A-Fa-f]{6})\)", f.read())
    return [tuple(bytes.fromhex(e)) for e in entries]


def pattern(width, height, seed, indexed):
    """width x height pixel values with some zeros (transparent) among them."""
    values = []
    for i in range(width * height):
        v = ((i + 1) * 40503 + seed * 2654435761) >> 5 & 0xFFFFFF
        values.append(0 if v % 7 == 0 else (1 + v % 255 if indexed else 1 + v % 65535))
    return values


def encode(kind, frames, rgb565=True):
    """kind "spr", "s16" or "c16"; frames: [(width, height, values)].  Directory
    first, then each frame's pixels in order.  Returns (bytes, entry offsets)."""
    out = bytearray(struct.pack("<H", len(frames)) if kind == "spr" else
                    struct.pack("<IH", (1 if rgb565 else 0) | (2 if kind == "c16" else 0), len(frames)))
    entries, tables = [], []
    for width, height, _ in frames:
        entries.append(len(out))
        out += struct.pack("<IHH", 0, width, height)
        tables.append(len(out))
        if kind == "c16":
            out += bytes(4 * (height - 1))
    for (width, height, values), entry, table in zip(frames, entries, tables):
        struct.pack_into("<I", out, entry, len(out))
        for y in range(height):
            row = values[y * width:(y + 1) * width]
            if kind == "spr":
                out += bytes(row)
            elif kind == "s16":
                out += struct.pack("<%dH" % width, *row)
            else:
                if y > 0:
                    struct.pack_into("<I", out, table + 4 * (y - 1), len(out))
                x = 0
                while x < width:
                    zero = row[x] == 0
                    n = 1
                    while x + n < width and (row[x + n] == 0) == zero:
                        n += 1
                    out += struct.pack("<H", n << 1 | (0 if zero else 1))
                    if not zero:
                        out += struct.pack("<%dH" % n, *row[x:x + n])
                    x += n
                out += struct.pack("<H", 0)
    return bytes(out), entries


def rgba(kind, values, rgb565=True):
    """The RGBA bytes of a frame's values: palette colours or widened 16-bit
    channels, value 0 transparent."""
    colours = palette() if kind == "spr" else None
    out = bytearray()
    for v in values:
        if kind == "spr":
            r, g, b = colours[v]
        elif rgb565:
            r, g, b = v >> 11 & 31, v >> 5 & 63, v & 31
            r, g, b = r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2
        else:
            r, g, b = v >> 10 & 31, v >> 5 & 31, v & 31
            r, g, b = r << 3 | r >> 2, g << 3 | g >> 2, b << 3 | b >> 2
        out += bytes((r, g, b, 0 if v == 0 else 255))
    return bytes(out)
