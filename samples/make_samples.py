#!/usr/bin/env python3
"""Generates the sample sprites of the project.

Draws a few small pictures (gradients, shapes, transparency) and encodes
them as the three sprite kinds:

  .spr  8-bit indices into the built-in 256-colour palette
  .s16  uncompressed 16-bit pixels (RGB 5-6-5 or 5-5-5)
  .c16  run-length compressed 16-bit lines with transparent runs

Usage: make_samples.py [OUTDIR]   (default: the directory of this script)
The output is deterministic; the generated files are committed.
"""
import math
import os
import struct
import sys

RGB565 = 1
COMPRESSED = 2


# --- pictures: functions (x, y) -> (r, g, b) in 0..255, or None (transparent)

def gradient(w, h):
    def px(x, y):
        return (255 * x // max(w - 1, 1), 255 * y // max(h - 1, 1), 255 - 255 * x // max(w - 1, 1))
    return px


def sunset(w, h):
    def px(x, y):
        t = y / max(h - 1, 1)
        r, g, b = int(255 * (1 - 0.3 * t)), int(180 * (1 - t)), int(60 + 150 * t)
        cx, cy, rad = w * 0.6, h * 0.45, min(w, h) * 0.22
        if (x - cx) ** 2 + (y - cy) ** 2 <= rad * rad:
            return (255, 230, 80)
        if y > h * 0.75:
            return (20, 40 + int(60 * (y - h * 0.75) / (h * 0.25 + 1)), 90)
        return (r, g, b)
    return px


def shapes(w, h):
    """Circle, square and triangle on a transparent background."""
    def px(x, y):
        if (x - w * 0.25) ** 2 + (y - h * 0.5) ** 2 <= (min(w, h) * 0.2) ** 2:
            return (220, 40, 40)
        if w * 0.45 <= x < w * 0.65 and h * 0.3 <= y < h * 0.7:
            return (40, 180, 60)
        tx, ty = x - w * 0.8, y - h * 0.25
        if 0 <= ty <= h * 0.5 and abs(tx) <= ty * 0.3:
            return (40, 80, 230)
        return None
    return px


def ring(w, h):
    """A shaded ring: transparent inside and outside."""
    def px(x, y):
        d = math.hypot(x - (w - 1) / 2, y - (h - 1) / 2) / (min(w, h) / 2)
        if 0.55 <= d <= 0.95:
            a = math.atan2(y - h / 2, x - w / 2)
            return (int(127 + 127 * math.cos(a)), int(127 + 127 * math.sin(a)), int(255 * (1 - d)))
        return None
    return px


def ball_frame(w, h, t):
    """Frame t (0..1) of a ball bouncing on a floor: it falls, squashes on
    the floor and rises again; transparent around it."""
    floor = h - 3
    r = min(w, h) * 0.2
    height = (1 - (2 * t - 1) ** 2)  # 0 at the floor, 1 at the top
    squash = 1 + 0.35 * max(0.0, 0.2 - height) / 0.2
    rx, ry = r * squash, r / squash
    cx, cy = (w - 1) / 2, floor - ry - height * (floor - 2 * r - 2)

    def px(x, y):
        if y >= floor:
            return (90, 60, 30)
        d = ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2
        if d <= 1:
            shade = 1 - 0.5 * math.hypot(x - (cx - rx / 3), y - (cy - ry / 3)) / (rx + ry)
            return (int(240 * shade), int(60 * shade), int(40 * shade) + 20)
        return None
    return px


def square_frame(angle, side):
    """A square of `side` turned by `angle` (radians), with a stripe across
    it, on a canvas just large enough for it: the frames' sizes follow the
    turn.  Returns (w, h, picture)."""
    c, s = math.cos(angle), math.sin(angle)
    extent = side * (abs(c) + abs(s))
    w = h = int(math.ceil(extent)) + 2

    def px(x, y):
        dx, dy = x - (w - 1) / 2, y - (h - 1) / 2
        u, v = dx * c + dy * s, -dx * s + dy * c
        if abs(u) <= side / 2 and abs(v) <= side / 2:
            if abs(v) <= side / 8:
                return (250, 220, 60)
            return (40, 90 + int(80 * (u / side + 0.5)), 200)
        return None
    return w, h, px


def checker(w, h):
    def px(x, y):
        return (250, 250, 250) if (x // 8 + y // 8) % 2 else (30, 30, 60)
    return px


# --- colour conversions

def to565(c):
    r, g, b = c
    return ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3)


def to555(c):
    r, g, b = c
    return ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)


def load_palette(path):
    """The built-in palette from resources/palette.inc: list of (r, g, b)."""
    colours = []
    with open(path) as f:
        for line in f:
            if line.startswith("PALETTE_ENTRY("):
                v = int(line[len("PALETTE_ENTRY("):].split(")")[0], 16)
                colours.append(((v >> 16) & 255, (v >> 8) & 255, v & 255))
    assert len(colours) == 256, len(colours)
    return colours


def nearest(palette, c):
    if c is None:
        return 0
    return min(range(256), key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], c)))


# --- encoders

def spr(w, h, indices, frames=1):
    data = bytes(indices)
    head = struct.pack("<H", frames)
    start = 2 + 8 * frames
    for f in range(frames):
        head += struct.pack("<IHH", start + f * len(data), w, h)
    return head + data * frames


def s16(flags, w, h, values):
    table = b"\0" * (4 * (h - 1))
    data = b"".join(struct.pack("<H", v) for v in values)
    return struct.pack("<IH", flags, 1) + struct.pack("<IHH", 14 + len(table), w, h) + table + data


def c16_line(row):
    """row: list of 16-bit values or None (transparent)."""
    out = b""
    x = 0
    while x < len(row):
        colour = row[x] is not None
        n = 0
        while x < len(row) and (row[x] is not None) == colour and n < 32767:
            n += 1
            x += 1
        if colour:
            out += struct.pack("<H", (n << 1) | 1)
            out += b"".join(struct.pack("<H", v) for v in row[x - n:x])
        else:
            out += struct.pack("<H", n << 1)
    return out + b"\0\0"


def c16(flags, w, h, rows, frames=1):
    """rows: h lists of w values (or None).  Frames after the first repeat
    frame 1's lines with a different table of their own."""
    lines = [c16_line(r) for r in rows]
    head_size = 6 + frames * (8 + 4 * (h - 1))
    offsets, at = [], head_size
    for ln in lines:
        offsets.append(at)
        at += len(ln)
    out = struct.pack("<IH", flags | COMPRESSED, frames)
    for f in range(frames):
        out += struct.pack("<IHH", offsets[0], w, h)
        out += b"".join(struct.pack("<I", o) for o in offsets[1:])
    assert len(out) == head_size
    return out + b"".join(lines)


def spr_frames(frames):
    """frames: list of (w, h, indices), each frame's pixels after the directory."""
    head = struct.pack("<H", len(frames))
    at, data = 2 + 8 * len(frames), b""
    for w, h, indices in frames:
        head += struct.pack("<IHH", at + len(data), w, h)
        data += bytes(indices)
    return head + data


def s16_frames(flags, frames):
    """frames: list of (w, h, values)."""
    head = struct.pack("<IH", flags & ~COMPRESSED, len(frames))
    at, data = 6 + 8 * len(frames), b""
    for w, h, values in frames:
        head += struct.pack("<IHH", at + len(data), w, h)
        data += b"".join(struct.pack("<H", v) for v in values)
    return head + data


def c16_frames(flags, frames):
    """frames: list of (w, h, rows), rows as for c16.  Each entry is followed
    by its frame's line table; all lines come after the directory."""
    head_size = 6 + sum(8 + 4 * (h - 1) for _, h, _ in frames)
    head, data = struct.pack("<IH", flags | COMPRESSED, len(frames)), b""
    for w, h, rows in frames:
        offsets = []
        for r in rows:
            offsets.append(head_size + len(data))
            data += c16_line(r)
        head += struct.pack("<IHH", offsets[0], w, h)
        head += b"".join(struct.pack("<I", o) for o in offsets[1:])
    assert len(head) == head_size
    return head + data


def render(picture, w, h, convert):
    px = picture(w, h)
    return [[None if px(x, y) is None else convert(px(x, y)) for x in range(w)] for y in range(h)]


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    here = os.path.dirname(os.path.abspath(__file__))
    palette = load_palette(os.path.join(here, "..", "resources", "palette.inc"))
    os.makedirs(outdir, exist_ok=True)

    def flat(rows, transparent=0):
        return [transparent if v is None else v for r in rows for v in r]

    files = {}
    w, h = 64, 48
    files["gradient.s16"] = s16(RGB565, w, h, flat(render(gradient, w, h, to565)))
    w, h = 75, 50  # odd width
    files["sunset-555.s16"] = s16(0, w, h, flat(render(sunset, w, h, to555)))
    w, h = 96, 64
    files["shapes.c16"] = c16(RGB565, w, h, render(shapes, w, h, to565))
    w, h = 81, 81  # odd width, three frames
    files["ring-555.c16"] = c16(0, w, h, render(ring, w, h, to555), frames=3)
    w, h = 48, 40
    files["checker.spr"] = spr(w, h, flat(render(checker, w, h, lambda c: nearest(palette, c))))
    w, h = 128, 96
    files["shapes.spr"] = spr(w, h, flat(render(shapes, w, h, lambda c: nearest(palette, c))))
    w, h = 53, 41  # odd width, two frames
    files["sunset.spr"] = spr(w, h, flat(render(sunset, w, h, lambda c: nearest(palette, c))), frames=2)

    # Animations: a ball bouncing (10 frames of 32 x 32; 8 of 24 x 24 in
    # 16 bits, to stay small) and a square turning (12 frames, each as large
    # as the turned square needs: frames of different sizes).
    def bounce(w, h, count):
        return [lambda fw, fh, t=i / count: ball_frame(fw, fh, t) for i in range(count)]

    files["bounce.spr"] = spr_frames(
        [(32, 32, flat(render(p, 32, 32, lambda c: nearest(palette, c)))) for p in bounce(32, 32, 10)])
    files["bounce.s16"] = s16_frames(RGB565, [(24, 24, flat(render(p, 24, 24, to565))) for p in bounce(24, 24, 8)])
    spin = [square_frame(math.pi / 2 * i / 12, 16) for i in range(12)]
    files["spin.c16"] = c16_frames(RGB565, [(fw, fh, render(lambda a, b, p=p: p, fw, fh, to565)) for fw, fh, p in spin])

    for name, data in sorted(files.items()):
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)
        print("%-16s %6d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
