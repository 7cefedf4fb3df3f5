#!/usr/bin/env python3
"""Contract of tamsorel-thumb, checked from outside.

Usage: thumb_tool_test.py TOOL SAMPLES_DIR WORK_DIR

Decodes every sample and checks the .bmp against an independent reading of
the sprite written here.  Then, one table each: inputs that are refused,
outputs that are written or refused, and usage errors; every failure is
exit 1 with one stderr line naming the file and the reason, leaves OUT as
it was and leaves no temporary file behind.  Cases that need another user
run the tool as "nobody" when this runs as root (as CI does).
"""
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile

TOOL, SAMPLES, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
NOBODY = 65534
E_FAIL = " (E_FAIL 0x80004005)"
USAGE = "usage: tamsorel-thumb SPRITE OUT.bmp\n"
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def run(*args, tool=TOOL, unprivileged=False):
    """(exit status, stdout, stderr); a tool that blocks fails after 20 s."""
    def drop():
        os.setgid(NOBODY)
        os.setuid(NOBODY)
    try:
        p = subprocess.run([tool, *args], capture_output=True, timeout=20,
                           preexec_fn=drop if unprivileged and os.geteuid() == 0 else None)
    except subprocess.TimeoutExpired:
        return None, "", "<timed out>"
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def write(path, data, mode=0o644):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def kind(path):
    try:
        return stat.S_IFMT(os.lstat(path).st_mode)
    except FileNotFoundError:
        return None


def make_device(path):
    """A character device node of our own (never the system's /dev/null)."""
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        return True
    except PermissionError:
        print("SKIPPED %s: mknod is not permitted here" % os.path.basename(path))
        return False


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


def s16_header(width, height):
    """A one-frame S16 without pixels: the decoder describes the frame and
    then tries to make its bitmap."""
    return struct.pack("<IHIHH", 1, 1, 0, width, height) + bytes(4 * (height - 1))


def check_samples():
    samples = sorted(n for n in os.listdir(SAMPLES) if n.lower().endswith((".spr", ".s16", ".c16")))
    check(len(samples) >= 3, "samples present")
    kinds = set()
    for name in samples:
        src = os.path.join(SAMPLES, name)
        out = os.path.join(WORK, name + ".bmp")
        code, _, err = run(src, out)
        check(code == 0 and err == "", "%s: exit %r, stderr %r" % (name, code, err))
        if code != 0:
            continue
        check_bmp(name, read(out), expected_bitmap(name, read(src)))
        kinds.add(name[-3:].lower())
    check(kinds == {"spr", "s16", "c16"}, "every kind decoded: %r" % kinds)
    # The output checks copy it to input.spr: an SPR sample.
    return os.path.join(SAMPLES, next(n for n in samples if n.lower().endswith(".spr")))


def check_inputs():
    """SPRITE that cannot be used: its reason, and OUT untouched."""
    folder = os.path.join(SHARED, "inputs")
    os.makedirs(folder)
    p = lambda name: os.path.join(folder, name)
    write(p("empty.c16"), b"")
    write(p("cut.c16"), b"\x02\0\0\0\x01")
    write(p("huge.s16"), s16_header(16384, 16385))
    write(p("secret.spr"), read(os.path.join(SAMPLES, "shapes.spr")), 0o000)
    os.mkdir(p("folder.spr"))
    os.mkfifo(p("fifo.spr"))  # no writer: opening it must not wait for one
    cases = [
        ("missing.s16", "no such file", False),
        ("folder.spr", "is a directory", False),
        ("fifo.spr", "not a regular file", False),
        ("empty.c16", "empty file, not a readable sprite" + E_FAIL, False),
        ("cut.c16", "not a readable sprite" + E_FAIL, False),
        ("huge.s16", "frame of 16384 \u00d7 16385 pixels is larger than the 256 MiB limit" + E_FAIL, False),
        ("secret.spr", "permission denied", True),
        # a newline in the name does not split the message: shown escaped
        ("new\nline.spr", "no such file", False),
    ]
    if make_device(p("device.spr")):
        cases.append(("device.spr", "not a regular file", False))
    out = p("out.bmp")
    write(out, b"old")
    for name, reason, unprivileged in cases:
        code, _, err = run(p(name), out, tool=UNPRIVILEGED_TOOL if unprivileged else TOOL,
                           unprivileged=unprivileged)
        shown = p(name).replace("\n", "\\x0A")
        check(code == 1 and err == "%s: %s\n" % (shown, reason), "input %s: exit %r, %r" % (name, code, err))
        check(read(out) == b"old", "input %s: OUT untouched" % name)
    check(sorted(os.listdir(folder)) == sorted(["out.bmp", "empty.c16", "cut.c16", "huge.s16", "secret.spr",
                                                "folder.spr", "fifo.spr"] + [n for n, _, _ in cases
                                                                             if n == "device.spr"]),
          "inputs: nothing left behind: %r" % os.listdir(folder))


def check_outputs(sprite):
    """OUT of every kind: written where it should be, or refused as it is."""
    folder = os.path.join(SHARED, "outputs")
    os.makedirs(os.path.join(folder, "elsewhere"))
    os.chmod(folder, 0o777)
    p = lambda name: os.path.join(folder, name)
    good = read(sprite)
    expected = None
    code, _, _ = run(sprite, p("reference.bmp"))
    if code == 0:
        expected = read(p("reference.bmp"))
    check(expected is not None, "reference thumbnail written")
    copy = p("input.spr")
    write(copy, good)
    write(p("kept-0600.bmp"), b"old", 0o600)
    write(p("read-only.bmp"), b"old", 0o444)
    write(p("elsewhere/target.bmp"), b"old")
    os.symlink("elsewhere/target.bmp", p("link.bmp"))
    os.symlink("elsewhere/new.bmp", p("dangling.bmp"))
    os.symlink("input.spr", p("input-link.bmp"))
    os.mkdir(p("folder.bmp"))
    os.mkfifo(p("fifo.bmp"))
    os.mkdir(p("locked"), 0o555)
    os.chmod(p("locked"), 0o555)
    # (OUT, expected reason or None when written, file that then holds the
    # thumbnail, run as another user)
    cases = [
        ("fresh.bmp", None, "fresh.bmp", False),
        ("kept-0600.bmp", None, "kept-0600.bmp", False),
        ("link.bmp", None, "elsewhere/target.bmp", False),
        ("dangling.bmp", None, "elsewhere/new.bmp", False),
        ("folder.bmp", "is a directory", None, False),
        ("fifo.bmp", "not a regular file", None, False),
        ("input.spr", "it is the input file", None, False),
        ("input-link.bmp", "it is the input file", None, False),
        ("no-folder/x.bmp", "its folder does not exist", None, False),
        ("locked/x.bmp", "permission denied", None, True),
        # refused as on Windows, in a folder the user may write to, by root too
        ("read-only.bmp", "it is read-only", None, True),
        ("read-only.bmp", "it is read-only", None, False),
    ]
    if make_device(p("device.bmp")):
        os.symlink("device.bmp", p("device-link.bmp"))
        cases += [("device.bmp", "not a regular file", None, False),
                  ("device-link.bmp", "not a regular file", None, False)]
    before = {n: kind(p(n)) for n in os.listdir(folder)}
    for out, reason, holder, unprivileged in cases:
        write(copy, good)  # each case starts from an intact input
        was = kind(p(out))
        code, _, err = run(copy, p(out), tool=UNPRIVILEGED_TOOL if unprivileged else TOOL,
                           unprivileged=unprivileged)
        if reason is None:
            check(code == 0 and err == "", "output %s: exit %r, %r" % (out, code, err))
            check(os.path.exists(p(holder)) and read(p(holder)) == expected, "output %s: %s holds the thumbnail"
                  % (out, holder))
            check(was is None or kind(p(out)) == was, "output %s: still the same kind of entry" % out)
        else:
            check(code == 1 and err == "cannot write %s: %s\n" % (p(out), reason),
                  "output %s: exit %r, %r" % (out, code, err))
            check(kind(p(out)) == was, "output %s: left as it was" % out)
        check(read(copy) == good, "output %s: the input is never overwritten" % out)
    check(stat.S_IMODE(os.stat(p("kept-0600.bmp")).st_mode) == 0o600, "a replaced file keeps its mode")
    check(read(p("read-only.bmp")) == b"old", "a read-only output is left as it was")
    after = set(os.listdir(folder))
    check(after == set(before) | {"fresh.bmp"}, "outputs: no temporary file left: %r" % (after - set(before)))
    check(sorted(os.listdir(p("elsewhere"))) == ["new.bmp", "target.bmp"], "link targets: no temporary file")
    check(os.listdir(p("locked")) == [], "locked folder stays empty")


def check_usage(sprite):
    out = os.path.join(WORK, "usage.bmp")
    cases = [
        ((), "missing SPRITE and OUT.bmp"),
        (("only-one",), "missing OUT.bmp after only-one"),
        (("a", "b", "extra"), "unexpected argument extra after OUT.bmp"),
        (("-x", "a", "b"), "unknown option -x (a file name that starts with - goes after --)"),
    ]
    for args, problem in cases:
        code, stdout, err = run(*args)
        check(code == 2 and stdout == "" and err == "tamsorel-thumb: %s\n%s" % (problem, USAGE),
              "usage %r: exit %r, %r" % (args, code, err))
    code, stdout, err = run("--help")
    check(code == 0 and err == "" and stdout.startswith(USAGE) and "Exit status" in stdout
          and "Example" in stdout, "--help: exit %r, %r" % (code, stdout))
    # After -- a name that starts with a dash is a file.
    dashed = os.path.join(WORK, "-dashed.spr")
    shutil.copy(sprite if sprite.endswith(".spr") else os.path.join(SAMPLES, "shapes.spr"), dashed)
    os.chdir(WORK)
    code, _, err = run("--", "-dashed.spr", out)
    check(code == 0 and os.path.exists(out), "-- ends the options: exit %r, %r" % (code, err))


def main():
    global SHARED, UNPRIVILEGED_TOOL
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    # The checkout may sit where another user cannot reach it: the cases
    # that "nobody" takes part in live in a folder everyone can enter, with
    # a copy of the tool.
    SHARED = tempfile.mkdtemp(prefix="thumb_tool.")
    os.chmod(SHARED, 0o755)
    UNPRIVILEGED_TOOL = os.path.join(SHARED, "tamsorel-thumb")
    shutil.copy(TOOL, UNPRIVILEGED_TOOL)
    sprite = check_samples()
    check_inputs()
    check_outputs(sprite)
    check_usage(sprite)
    if failures:
        print("files of the failed run kept in", SHARED)
    else:
        shutil.rmtree(SHARED, ignore_errors=True)
    print("%d checks failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
