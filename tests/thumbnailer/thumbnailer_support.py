"""Helpers shared by the thumbnailer's outside-in tests: sprite files written
here (independently of the C++ encoder), PNG headers and pixels read back
with the standard library, and installing the build into a prefix."""
import os
import shutil
import struct
import subprocess
import tempfile
import zlib


class Checks:
    """Collects failures so one run reports all of them."""

    def __init__(self):
        self.failures = []

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
            print("FAIL:", what)
        return condition

    def exit(self):
        if self.failures:
            print("%d check(s) failed" % len(self.failures))
            raise SystemExit(1)
        print("all checks passed")
        raise SystemExit(0)


def s16_bytes(width, height, pixel, rgb565=True):
    """An uncompressed 16-bit sprite of one frame; pixel(x, y) -> 16-bit value."""
    table = 4 * (height - 1)
    data_at = 6 + 8 + table
    out = struct.pack("<IHIHH", 1 if rgb565 else 0, 1, data_at, width, height) + bytes(table)
    return out + b"".join(struct.pack("<H", pixel(x, y)) for y in range(height) for x in range(width))


def frame_size(path):
    """(width, height) of a sprite file's first frame, from its header."""
    with open(path, "rb") as f:
        data = f.read(16)
    at = 2 if path.lower().endswith("spr") else 6
    return struct.unpack_from("<HH", data, at + 4)


def fit(width, height, size):
    """The size a frame gets in size x size: shrunk keeping its ratio, never enlarged."""
    if width <= size and height <= size:
        return width, height
    if width >= height:
        return size, max(1, (height * size + width // 2) // width)
    return max(1, (width * size + height // 2) // height), size


def png_chunks(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("no PNG signature")
    at, chunks = 8, []
    while at < len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8: at + 8 + length]
        crc, = struct.unpack_from(">I", data, at + 8 + length)
        if zlib.crc32(kind + body) != crc:
            raise ValueError("bad CRC in %r" % kind)
        chunks.append((kind, body))
        at += 12 + length
    return chunks


def read_png(path):
    """(width, height, rows of RGBA bytes) of an 8-bit RGBA, non-interlaced PNG."""
    with open(path, "rb") as f:
        chunks = png_chunks(f.read())
    if chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND":
        raise ValueError("IHDR or IEND missing")
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError("not 8-bit RGBA non-interlaced: %r" % ((depth, colour, interlace),))
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    stride, rows, previous = width * 4, [], bytearray(width * 4)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = previous[i]
            c = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        previous = line
    return width, height, rows


def install(build_dir, prefix):
    """cmake --install of the build into prefix; returns the prefix."""
    subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    return prefix


class Scratch:
    """A temporary folder removed at the end of a with block."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="tamsorel-thumbnailer-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)
