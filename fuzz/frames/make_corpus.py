#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_frames into corpus/.

Each seed is one selector byte followed by a small multi-frame sprite file:

  bit 0      0: SPR, 1: 16-bit (the header's flags tell S16 from C16)
  bits 1-3   the sheet's columns (0: nearly square)
  bits 4-5   3: the file is repeated up to a size past the read buffer's
             capacity (bit 6: 1 MiB + 5 bytes, else 256 KiB + 7 bytes),
             claiming at most 600 frames

The seeds are valid files of each kind, frames of different sizes, and files
damaged in the ways the frame directory and the decoder must report: entries
past the end of the file, pixels past it, line tables cut off, lines that
start inside the directory, runs wider than their frame, lines cut off, too
many empty runs.
"""
import os
import struct

RGB565, COMPRESSED = 1, 2


def selector(sixteen, columns=0, repeated=None):
    """repeated: None, "small" (256 KiB + 7) or "large" (1 MiB + 5)."""
    b = (1 if sixteen else 0) | (columns << 1)
    if repeated:
        b |= 0x30 | (0x40 if repeated == "large" else 0)
    return bytes([b])


def pattern(w, h, seed, indexed):
    """w * h pixel values with some zeros among them (transparent)."""
    out = []
    for i in range(w * h):
        v = ((i * 2654435761 + seed * 40503) & 0xFFFFFFFF) >> 7
        out.append(0 if v % 5 == 0 else (1 + v % 255 if indexed else 1 + v % 65535))
    return out


def c16_line(row):
    """Colour runs for non-zero pixels, transparent runs for zeros, end tag."""
    out, x = b"", 0
    while x < len(row):
        transparent = row[x] == 0
        n = 1
        while x + n < len(row) and (row[x + n] == 0) == transparent:
            n += 1
        out += struct.pack("<H", (n << 1) | (0 if transparent else 1))
        if not transparent:
            out += b"".join(struct.pack("<H", v) for v in row[x:x + n])
        x += n
    return out + b"\0\0"


def encode(kind, frames, flags=0):
    """frames: list of (w, h, pixels).  Returns (bytes, entry offsets, table
    offsets, data offsets): the directory first, then every frame's pixels."""
    out = bytearray()
    if kind == "spr":
        out += struct.pack("<H", len(frames))
    else:
        flags = flags | COMPRESSED if kind == "c16" else flags & ~COMPRESSED
        out += struct.pack("<IH", flags, len(frames))
    entries, tables, datas = [], [], []
    for w, h, _ in frames:
        entries.append(len(out))
        out += struct.pack("<IHH", 0, w, h)
        tables.append(len(out))
        if kind == "c16" and h > 1:
            out += b"\0" * 4 * (h - 1)
    for (w, h, px), entry, table in zip(frames, entries, tables):
        datas.append(len(out))
        struct.pack_into("<I", out, entry, len(out))
        for y in range(h):
            row = px[y * w:(y + 1) * w]
            if kind == "spr":
                out += bytes(row)
            elif kind == "s16":
                out += b"".join(struct.pack("<H", v) for v in row)
            else:
                if y > 0:
                    struct.pack_into("<I", out, table + 4 * (y - 1), len(out))
                out += c16_line(row)
    return out, entries, tables, datas


def frames_of(sizes, indexed):
    return [(w, h, pattern(w, h, i + 1, indexed)) for i, (w, h) in enumerate(sizes)]


def main():
    seeds = {}
    spr_frames = frames_of([(4, 3), (2, 2), (5, 1), (3, 4)], True)
    s16_frames = frames_of([(3, 2), (1, 1), (4, 4)], False)
    c16_frames = frames_of([(6, 3), (2, 5), (9, 1), (4, 4)], False)

    seeds["spr-4frames"] = selector(False) + encode("spr", spr_frames)[0]
    seeds["spr-4frames-2columns"] = selector(False, 2) + encode("spr", spr_frames)[0]
    seeds["s16-565-3frames"] = selector(True, 3) + encode("s16", s16_frames, RGB565)[0]
    seeds["s16-555-3frames"] = selector(True) + encode("s16", s16_frames)[0]
    seeds["c16-565-4frames"] = selector(True) + encode("c16", c16_frames, RGB565)[0]
    seeds["c16-555-4frames-1column"] = selector(True, 1) + encode("c16", c16_frames)[0]

    # More entries claimed than the file holds: the rest lie past its end.
    data, _, _, _ = encode("spr", spr_frames)
    seeds["spr-count-past-end"] = selector(False) + struct.pack("<H", 300) + data[2:]
    # The last frame's pixels run past the end of the file.
    seeds["s16-pixels-cut"] = selector(True) + encode("s16", s16_frames)[0][:-3]
    # An empty frame and one of 0 x 3 between readable ones.
    data, entries, _, _ = encode("s16", s16_frames)
    struct.pack_into("<HH", data, entries[1] + 4, 0, 3)
    seeds["s16-empty-frame"] = selector(True) + data
    # The third frame's line table is cut off by the end of the file.
    data, _, tables, _ = encode("c16", c16_frames)
    seeds["c16-table-cut"] = selector(True) + data[:tables[3] + 6]
    # The second frame's third line would start inside the directory.
    data, _, tables, _ = encode("c16", c16_frames)
    struct.pack_into("<I", data, tables[1] + 4, 8)
    seeds["c16-line-in-directory"] = selector(True) + data
    # The first frame's first line holds a run wider than the frame.
    data, _, _, datas = encode("c16", c16_frames)
    struct.pack_into("<H", data, datas[0], (40 << 1) | 1)
    seeds["c16-run-too-wide"] = selector(True) + data
    # The last line of the last frame is cut off by the end of the file.
    seeds["c16-line-cut"] = selector(True) + encode("c16", c16_frames)[0][:-3]
    # Two frames of 3 lines that all start at one chain of empty runs: the
    # first within the allowance per line, the second one past it.
    head = struct.pack("<IH", COMPRESSED, 2)
    at = len(head) + 2 * (8 + 8)
    ok_chain = b"\1\0" * 256 + b"\3\0\x34\x12\0\0"
    bad_chain = b"\1\0" * 257 + b"\0\0"
    bad_at = at + len(ok_chain)
    data = head + struct.pack("<IHHII", at, 1, 3, at, at) + struct.pack("<IHHII", bad_at, 1, 3, bad_at, bad_at)
    seeds["c16-empty-runs"] = selector(True) + data + ok_chain + bad_chain

    # Repeated past the buffer's capacity: lines and frames far into the file.
    data, _, tables, _ = encode("c16", c16_frames)
    struct.pack_into("<I", data, tables[0], 200000 + len(data) * 7)
    seeds["c16-repeated-far-line"] = selector(True, 0, "small") + data
    data, entries, _, _ = encode("s16", s16_frames)
    struct.pack_into("<IHH", data, entries[2], 4096, 512, 272)  # 272 KiB, read straight into the frame
    seeds["s16-repeated-large-frame"] = selector(True, 0, "large") + data
    seeds["spr-repeated"] = selector(False, 0, "small") + encode("spr", spr_frames)[0]
    # A 16-byte file claiming 65535 frames, repeated: the claim is lowered to
    # 600, and the entries alternate between a readable 4 x 4 frame and one
    # of no pixels (its width from the bytes after the first entry, its
    # height from the claim), 300 of each alike.
    data = struct.pack("<H", 0xFFFF) + struct.pack("<IHH", 0x20000, 4, 4) + bytes([1, 2, 3, 4, 0, 0])
    seeds["spr-repeated-frames-alike"] = selector(False, 0, "small") + data

    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(here, exist_ok=True)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(here, name), "wb") as f:
            f.write(bytes(data))


if __name__ == "__main__":
    main()
