#!/usr/bin/env python3
"""Contract of tamsorel-thumbnailer, checked from outside.

Usage: cli_test.py PROGRAM SAMPLES_DIR

Every sample becomes a PNG of its frame's size, INPUT may be a path or a
file:// URI with escapes, -s shrinks to fit and never enlarges; every failure
exits 1 with a first stderr line naming the file and the reason, and leaves
no output file (nor a temporary one) behind, an existing one unchanged.
"""
import os
import shutil
import struct
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from thumbnailer_support import Checks, Scratch, fit, frame_size, read_png, s16_bytes  # noqa: E402

PROGRAM, SAMPLES = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
checks = Checks()
check = checks.check


def run(*args):
    p = subprocess.run([PROGRAM, *args], capture_output=True)
    return p.returncode, p.stderr.decode("utf-8", "replace")


def png_size(path):
    try:
        width, height, _ = read_png(path)
        return width, height
    except (OSError, ValueError) as e:
        return str(e)


with Scratch() as work:
    samples = sorted(n for n in os.listdir(SAMPLES) if n.lower()[-4:] in (".spr", ".s16", ".c16"))
    check(samples, "samples found in " + SAMPLES)

    # --- successes ----------------------------------------------------------
    for name in samples:
        src = os.path.join(SAMPLES, name)
        size = tuple(frame_size(src))
        out = os.path.join(work, name + ".png")
        code, err = run(src, out)
        check(code == 0 and err == "", "%s: exit %d, stderr %r" % (name, code, err))
        check(png_size(out) == size, "%s: PNG size %r, frame %r" % (name, png_size(out), size))
        for s in (16, 1, 1000):
            code, err = run("-s", str(s), src, out)
            check(code == 0 and png_size(out) == fit(*size, s),
                  "%s -s %d: exit %d, size %r, want %r" % (name, s, code, png_size(out), fit(*size, s)))

    # A desktop's URI: a name with a space, a percent sign, non-ASCII letters
    # and an upper-case extension.
    odd = os.path.join(work, "my 100% sprite \u00e9.C16")
    shutil.copy(os.path.join(SAMPLES, "shapes.c16"), odd)
    quoted = urllib.parse.quote(odd)
    for uri in ("file://" + quoted, "file://localhost" + quoted, "file:" + quoted):
        out = os.path.join(work, "uri.png")
        code, err = run("-s", "32", uri, out)
        check(code == 0 and png_size(out) == fit(*frame_size(odd), 32), "%s: exit %d %r" % (uri, code, err))
        os.unlink(out)

    # A frame taller than wide, larger than SIZE, from a file made here.
    tall = os.path.join(work, "tall.s16")
    with open(tall, "wb") as f:
        f.write(s16_bytes(30, 300, lambda x, y: 0xF800 if y < 150 else 0x001F))
    code, err = run("-s", "100", tall, os.path.join(work, "tall.png"))
    check(code == 0 and png_size(os.path.join(work, "tall.png")) == (10, 100), "tall: %r" % (err,))
    _, _, rows = read_png(os.path.join(work, "tall.png"))
    check(rows[0][:4] == b"\xff\x00\x00\xff" and rows[99][:4] == b"\x00\x00\xff\xff",
          "tall: top red and bottom blue, got %r %r" % (rows[0][:4], rows[99][:4]))

    # --- failures -----------------------------------------------------------
    not_sprite = os.path.join(work, "text.c16")
    with open(not_sprite, "w") as f:
        f.write("hello\n")
    huge = os.path.join(work, "huge.s16")  # 16384 x 16385 at 2 bytes: over 256 MiB
    with open(huge, "wb") as f:
        f.write(struct.pack("<IHIHH", 1, 1, 14 + 4 * 16384, 16384, 16385) + bytes(4 * 16384))
    sample = os.path.join(SAMPLES, samples[0])
    missing_dir = os.path.join(work, "no-such-folder", "out.png")
    read_only = os.path.join(work, "read-only.png")
    with open(read_only, "wb") as f:
        f.write(b"old")
    os.chmod(read_only, 0o444)
    cases = [
        # (arguments, words the first line must contain, the output to check)
        ([os.path.join(work, "missing.spr"), "o.png"], ["missing.spr", "no such file"]),
        ([work, "o.png"], [work, "is a directory"]),
        ([not_sprite, "o.png"], ["text.c16", "not a readable sprite"]),
        ([huge, "o.png"], ["huge.s16", "256 MiB"]),
        (["http://host/x.spr", "o.png"], ["http://host/x.spr", "http:"]),
        (["file://elsewhere/x.spr", "o.png"], ["file://elsewhere/x.spr", "elsewhere"]),
        (["file:///x%zz.spr", "o.png"], ["%zz"]),
        # a newline or an escape in a name is shown escaped, on the one line
        (["file:///tmp/no%0Aline:%1B[2J.spr", "o.png"], ["/tmp/no\\x0Aline:\\x1B[2J.spr", "no such file"]),
        (["/tmp/no\nline.spr", "o.png"], ["/tmp/no\\x0Aline.spr"]),
        ([sample, missing_dir], ["cannot write", missing_dir]),
        ([sample, read_only], ["cannot write " + read_only, "it is read-only"]),
        # OUTPUT is checked before the decode: its problem is the one named.
        ([not_sprite, work], ["cannot write " + work, "is a directory"]),
        (["-s", "0", sample, "o.png"], ["-s 0"]),
        (["-s", "x", sample, "o.png"], ["-s x"]),
        (["-s"], ["-s"]),
        (["-q", sample, "o.png"], ["-q"]),
        ([sample], ["OUTPUT"]),
        ([sample, "o.png", "extra"], ["extra"]),
    ]
    for args, words in cases:
        os.chdir(work)
        before = set(os.listdir(work))
        code, err = run(*args)
        first = err.splitlines()[0] if err else ""
        what = "%s: exit %d, stderr %r" % (" ".join(args), code, err)
        check(code == 1, what)
        check("\nusage:" in err or err.count("\n") == 1, what + ": not one line")
        check(first.startswith("tamsorel-thumbnailer: ") and all(w in first for w in words), what)
        check(set(os.listdir(work)) == before, what + ": files left " + repr(set(os.listdir(work)) - before))
        check(not os.path.exists(missing_dir), what)
        with open(read_only, "rb") as f:
            check(f.read() == b"old", what + ": the read-only output was replaced")

    # A failed run leaves an existing OUTPUT as it was; OUTPUT naming the
    # input is refused without touching it.
    keep = os.path.join(work, "keep.png")
    with open(keep, "wb") as f:
        f.write(b"old")
    code, err = run(not_sprite, keep)
    check(code == 1 and open(keep, "rb").read() == b"old", "existing output after failure: %r" % err)
    copy = os.path.join(work, "self.spr")
    shutil.copy(os.path.join(SAMPLES, "shapes.spr"), copy)
    code, err = run(copy, copy)
    check(code == 1 and open(copy, "rb").read() == open(os.path.join(SAMPLES, "shapes.spr"), "rb").read(),
          "OUTPUT same as INPUT: exit %d %r" % (code, err))

    code, err = run("--help")
    check(code == 0, "--help exits 0")

checks.exit()
