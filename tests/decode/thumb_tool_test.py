#!/usr/bin/env python3
"""Contract of tamsorel-thumb, checked from outside.

Usage: thumb_tool_test.py TOOL SAMPLES_DIR WORK_DIR

Decodes every sample and checks the .bmp against an independent reading of
the sprite written here; checks exit codes, the one-line error report and
that a failed run leaves no file behind.
"""
import os
import shutil
import struct
import subprocess
import sys

TOOL, SAMPLES, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def run(*args):
    p = subprocess.run([TOOL, *args], capture_output=True)
    return p.returncode, p.stderr.decode("utf-8", "replace")


def palette_bytes():
    out = b""
    with open(os.path.join(SAMPLES, "..", "resources", "palette.inc")) as f:
        for line in f:
            if line.startswith("PALETTE_ENTRY("):
                v = int(line[len("PALETTE_ENTRY("):].split(")")[0], 16)
                out += bytes((v & 255, (v >> 8) & 255, (v >> 16) & 255, 0))
    return out


def expected_bitmap(path, data):
    """(bits, width, height, colour bytes, pixel memory) of a well-formed file."""
    if path.lower().endswith("spr"):
        off, w, h = struct.unpack_from("<IHH", data, 2)
        stride = (w + 3) & ~3
        rows = [data[off + y * w: off + (y + 1) * w] for y in range(h)]
        return 8, w, h, palette_bytes(), b"".join(r.ljust(stride, b"\0") for r in rows)
    flags, = struct.unpack_from("<I", data, 0)
    off, w, h = struct.unpack_from("<IHH", data, 6)
    masks = (0xF800, 0x07E0, 0x001F) if flags & 1 else (0x7C00, 0x03E0, 0x001F)
    stride = (2 * w + 3) & ~3
    if not flags & 2:
        rows = [data[off + y * 2 * w: off + (y + 1) * 2 * w] for y in range(h)]
    else:
        starts = [off] + list(struct.unpack_from("<%dI" % (h - 1), data, 14))
        rows = []
        for s in starts:
            row, at = b"", s
            while True:
                tag, = struct.unpack_from("<H", data, at)
                at += 2
                if tag == 0:
                    break
                if tag & 1:
                    row += data[at: at + (tag & ~1)]
                    at += tag & ~1
                else:
                    row += b"\0" * (tag & ~1)
            assert len(row) == 2 * w, "sample lines add up to the width"
            rows.append(row)
    return 16, w, h, struct.pack("<3I", *masks), b"".join(r.ljust(stride, b"\0") for r in rows)


def check_bmp(name, bmp, expected):
    bits, w, h, colours, pixels = expected
    off_bits = 14 + 40 + len(colours)
    check(bmp[:2] == b"BM", name + ": signature")
    size, r1, r2, off = struct.unpack_from("<IHHI", bmp, 2)
    check(size == len(bmp) == off_bits + len(pixels), name + ": bfSize %d" % size)
    check((r1, r2) == (0, 0), name + ": reserved")
    check(off == off_bits, name + ": bfOffBits %d" % off)
    fields = struct.unpack_from("<IiiHHIIiiII", bmp, 14)
    want = (40, w, -h, 1, bits, 0 if bits == 8 else 3, 0, 0, 0, 0, 0)
    check(fields == want, name + ": info header %r != %r" % (fields, want))
    check(bmp[54:off_bits] == colours, name + ": colour table / masks")
    check(bmp[off_bits:] == pixels, name + ": pixel memory")


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    samples = sorted(n for n in os.listdir(SAMPLES) if n.lower().endswith((".spr", ".s16", ".c16")))
    check(len(samples) >= 3, "samples present")
    kinds = set()
    for name in samples:
        src = os.path.join(SAMPLES, name)
        out = os.path.join(WORK, name + ".bmp")
        code, err = run(src, out)
        check(code == 0 and err == "", "%s: exit %d, stderr %r" % (name, code, err))
        if code != 0:
            continue
        with open(src, "rb") as f:
            data = f.read()
        with open(out, "rb") as f:
            check_bmp(name, f.read(), expected_bitmap(name, data))
        kinds.add(name[-3:].lower())
    check(kinds == {"spr", "s16", "c16"}, "every kind decoded: %r" % kinds)

    # Failures: exit 1, exactly one line naming the file and the result, no
    # output file (and an existing one left as it was), no temporary left.
    broken = os.path.join(WORK, "broken.c16")
    with open(broken, "wb") as f:
        f.write(b"\x02\0\0\0\x01")  # header cut short
    missing = os.path.join(WORK, "missing.s16")
    for src in (broken, missing):
        out = os.path.join(WORK, "fail.bmp")
        code, err = run(src, out)
        check(code == 1, "%s: exit %d" % (src, code))
        check(err == "%s: not a readable sprite (E_FAIL 0x80004005)\n" % src, "stderr %r" % err)
        check(not os.path.exists(out), "no output after failure")
    keep = os.path.join(WORK, "keep.bmp")
    with open(keep, "wb") as f:
        f.write(b"old")
    code, err = run(broken, keep)
    check(code == 1 and open(keep, "rb").read() == b"old", "existing output untouched")

    code, err = run(os.path.join(SAMPLES, samples[0]), os.path.join(WORK, "no-dir", "x.bmp"))
    check(code == 1 and err.count("\n") == 1 and "x.bmp" in err, "unwritable output: %r" % err)

    leftovers = [n for n in os.listdir(WORK) if not n.endswith((".bmp", ".c16"))]
    check(leftovers == [], "temporary files left: %r" % leftovers)

    for args in ((), ("only-one",), ("a", "b", "c")):
        code, err = run(*args)
        check(code == 2 and err.startswith("usage: tamsorel-thumb") and err.count("\n") == 1,
              "usage %r: exit %d, %r" % (args, code, err))

    print("%d checks failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
