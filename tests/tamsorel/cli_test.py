#!/usr/bin/env python3
"""Contract of `tamsorel info` and `tamsorel export`, checked from outside.

Usage: cli_test.py PROGRAM

Multi-frame files of every kind are written here; info must list their
frames as the directory holds them, export must write each frame (or a
sheet) as a PNG holding exactly the frame's RGBA; damaged frames are named
on stderr and skipped while the others are written; usage errors exit 2,
unreadable files and damaged frames 1.
"""
import json
import os
import pty
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "thumbnailer"))
from sprites import encode, pattern, rgba  # noqa: E402
from thumbnailer_support import Checks, Scratch, read_png  # noqa: E402

PROGRAM = os.path.abspath(sys.argv[1])
checks = Checks()
check = checks.check


def run(*args, cwd=None):
    p = subprocess.run([PROGRAM, *args], capture_output=True, cwd=cwd)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def png_rgba(path):
    """(width, height, RGBA bytes) of a PNG, or None when it cannot be read."""
    try:
        width, height, rows = read_png(path)
    except (OSError, ValueError):
        return None
    return width, height, b"".join(rows)


SIZES = [(5, 3), (7, 9), (1, 1)]
KINDS = [("spr", True), ("s16", True), ("s16", False), ("c16", True), ("c16", False)]


def frames_of(kind, seed=0):
    return [(w, h, pattern(w, h, seed + i, kind == "spr")) for i, (w, h) in enumerate(SIZES)]


def cell(sheet, sheet_width, x0, y0, width, height):
    """The RGBA bytes of a width x height area of a sheet."""
    return b"".join(sheet[4 * ((y0 + y) * sheet_width + x0):4 * ((y0 + y) * sheet_width + x0 + width)]
                    for y in range(height))


with Scratch() as work:
    # --- every kind: info and export agree with what was written -------------
    for kind, rgb565 in KINDS:
        name = "%s-%s" % (kind, "565" if rgb565 else "555")
        folder = os.path.join(work, name)
        os.mkdir(folder)
        frames = frames_of(kind)
        data, entries = encode(kind, frames, rgb565)
        path = write(os.path.join(folder, "walk." + kind), data)

        status, out, err = run("info", "--json", path)
        check(status == 0 and err == "", "%s: info --json exits 0 quietly (%d, %r)" % (name, status, err))
        try:
            info = json.loads(out)
        except ValueError:
            info = {}
        check(out.count("\n") == 1, "%s: one JSON line per file" % name)
        check(info.get("file") == path and info.get("kind") == kind and info.get("compressed") == (kind == "c16")
              and info.get("format") == ("indexed8" if kind == "spr" else "rgb565" if rgb565 else "rgb555"),
              "%s: kind, format and compression: %r" % (name, {k: info.get(k) for k in ("kind", "format", "compressed")}))
        expected = [{"index": i + 1, "width": w, "height": h, "offset": struct.unpack_from("<I", data, entries[i])[0],
                     "damaged": None, "irregular": None} for i, (w, h, _) in enumerate(frames)]
        check(info.get("frames") == expected, "%s: frames listed as the directory holds them: %r" % (name, info.get("frames")))

        status, out, _ = run("info", path)
        check(status == 0 and "3 frames" in out and out.count("\n") == 2 + len(frames),
              "%s: text info has a line for the file, the heading and each frame:\n%s" % (name, out))

        status, _, err = run("export", path)
        check(status == 0 and err == "", "%s: export exits 0 quietly (%d, %r)" % (name, status, err))
        for i, (w, h, values) in enumerate(frames):
            png = png_rgba(os.path.join(folder, "walk-%04d.png" % (i + 1)))
            check(png == (w, h, rgba(kind, values, rgb565)), "%s: frame %d's PNG holds its RGBA" % (name, i + 1))

        # Three frames make a 2 x 2 grid of cells the size of the largest
        # frame (7 x 9), each frame at its cell's top left.
        status, _, err = run("export", "--sheet", path)
        sheet = png_rgba(os.path.join(folder, "walk-sheet.png"))
        check(status == 0 and sheet is not None and sheet[:2] == (14, 18), "%s: sheet of 2 x 2 cells: %r" % (name, sheet and sheet[:2]))
        if sheet:
            for i, (w, h, values) in enumerate(frames):
                x0, y0 = 7 * (i % 2), 9 * (i // 2)
                check(cell(sheet[2], 14, x0, y0, w, h) == rgba(kind, values, rgb565), "%s: sheet cell %d" % (name, i + 1))
            covered = sum(w * h for w, h, _ in frames)
            check(sum(1 for a in sheet[2][3::4] if a) == sum(1 for w, h, v in frames for p in v if p),
                  "%s: nothing but the frames' own pixels is opaque (%d pixels covered)" % (name, covered))

    # --- choosing frames and columns -----------------------------------------
    data, _ = encode("c16", frames_of("c16"))
    path = write(os.path.join(work, "pick.c16"), data)
    out_dir = os.path.join(work, "picked")
    os.mkdir(out_dir)
    status, _, err = run("export", "-o", out_dir, "--frames", "1,3", path)
    check(status == 0 and sorted(os.listdir(out_dir)) == ["pick-0001.png", "pick-0003.png"],
          "--frames 1,3 writes those two: %r" % sorted(os.listdir(out_dir)))
    status, _, err = run("export", "-o", out_dir, "--frames", "2-9", path)
    check(status == 1 and "there is no frame 4" in err and os.path.exists(os.path.join(out_dir, "pick-0002.png")),
          "frames beyond the file are named, the others written (%d, %r)" % (status, err))
    for columns, size in (("3", (21, 9)), ("5", (21, 9)), ("1", (7, 27))):
        status, _, _ = run("export", "-o", out_dir, "--sheet", "--columns", columns, path)
        sheet = png_rgba(os.path.join(out_dir, "pick-sheet.png"))
        check(status == 0 and sheet and sheet[:2] == size, "--columns %s: sheet %r" % (columns, sheet and sheet[:2]))

    # --- damaged frames --------------------------------------------------------
    frames = frames_of("spr")
    data, entries = encode("spr", frames)
    damaged = bytearray(data)
    struct.pack_into("<I", damaged, entries[1], 4)  # frame 2's pixels inside the directory
    folder = os.path.join(work, "damaged")
    os.mkdir(folder)
    path = write(os.path.join(folder, "hurt.spr"), bytes(damaged))
    status, out, _ = run("info", "--json", path)
    listed = json.loads(out)["frames"] if status == 0 else []
    check([f["damaged"] is None for f in listed] == [True, False, True] and "directory" in (listed[1]["damaged"] or ""),
          "info names frame 2 damaged with the reason: %r" % listed)
    status, _, err = run("export", path)
    check(status == 1 and err.count("\n") == 1 and "frame 2 skipped" in err
          and sorted(os.listdir(folder)) == ["hurt-0001.png", "hurt-0003.png", "hurt.spr"],
          "export skips frame 2 with one line and writes the others (%d, %r, %r)" % (status, err, os.listdir(folder)))
    status, _, err = run("export", "--sheet", path)
    sheet = png_rgba(os.path.join(folder, "hurt-sheet.png"))
    # The cells take the size of the readable frames (5 x 3); frame 2's stays empty.
    check(status == 1 and "frame 2 skipped" in err and sheet is not None and sheet[:2] == (10, 6)
          and not any(cell(sheet[2], 10, 5, 0, 5, 3)[3::4]), "the sheet leaves frame 2's cell empty")

    # A line that runs past the width makes its frame irregular: info names
    # it, export writes it as the thumbnail shows it, with a warning, and
    # succeeds.
    frames = frames_of("c16")
    data, entries = encode("c16", frames)
    overflow = bytearray(data)
    first_line = struct.unpack_from("<I", data, entries[0])[0]
    struct.pack_into("<H", overflow, first_line, 7 << 1)  # 7 transparent pixels in a row of 5
    path = write(os.path.join(folder, "wide.c16"), bytes(overflow))
    status, out, _ = run("info", path)
    check(status == 0 and "irregular: line 1 " in out, "info does not name the irregular line:\n%s" % out)
    status, out, _ = run("info", "--json", path)
    check(status == 0 and json.loads(out)["frames"][0]["irregular"].startswith("line 1 ")
          and json.loads(out)["frames"][1]["irregular"] is None, "--json does not name the irregular line: %s" % out)
    status, _, err = run("export", path)
    check(status == 0 and "warning: frame 1 is irregular: line 1" in err and err.count("\n") == 1
          and os.path.exists(os.path.join(folder, "wide-0001.png")) and os.path.exists(os.path.join(folder, "wide-0002.png")),
          "an irregular frame is not exported with a warning (%d): %r" % (status, err))

    # frameCount 65535 in a 100-byte file: listed without reading 65535 entries'
    # worth, the missing entries said once.
    claims = bytearray(encode("s16", [(2, 2, [1, 2, 3, 4])])[0])
    struct.pack_into("<H", claims, 4, 65535)
    path = write(os.path.join(folder, "claims.s16"), bytes(claims[:100]).ljust(100, b"\0"))
    status, out, _ = run("info", path)
    check(status == 0 and "65535 frames" in out and out.count("\n") <= 16 and "-65535" in out,
          "info of 65535 claimed frames collapses the missing entries:\n%s" % out[:400])
    status, out, _ = run("info", "--json", path)
    check(status == 0 and len(json.loads(out)["frames"]) == 65535, "--json lists every claimed frame")
    status, _, err = run("export", "-o", work, path)
    check(status == 1 and err.count("\n") <= 13, "export says the missing entries once (%d lines)" % err.count("\n"))

    # --- files that are no sprites, and usage -----------------------------------
    empty = write(os.path.join(work, "empty.c16"), b"")
    for args, words in ((["info", empty], "not a readable sprite"), (["info", work], "is a directory"),
                        (["info", "/dev/null"], "not a regular file"), (["info", os.path.join(work, "none.spr")], "no such file"),
                        (["export", empty], "not a readable sprite")):
        status, _, err = run(*args)
        check(status == 1 and err.startswith(args[1] + ": ") and words in err, "%r: exit 1 and %r (%d, %r)" % (args, words, status, err))
    for args in ([], ["frobnicate"], ["info"], ["info", "--sheet", empty], ["export", "--frames", "0", empty],
                 ["export", "--frames", "3-1", empty], ["export", "--frames", "1,,2", empty], ["export", "--columns", "2", empty],
                 ["export", "--sheet", "--columns", "0", empty], ["export", "-o"], ["export"]):
        status, _, err = run(*args)
        check(status == 2 and "usage:" in err, "%r is a usage error (%d, %r)" % (args, status, err))
    status, out, _ = run("--help")
    check(status == 0 and "usage:" in out and "Exit status" in out, "--help prints the usage")

    # --- output rules -------------------------------------------------------------
    data, _ = encode("s16", frames_of("s16"))
    path = write(os.path.join(work, "rules.s16"), data)
    status, _, err = run("export", "-o", os.path.join(work, "missing"), path)
    check(status == 1 and "no such folder" in err, "-o into a missing folder is refused: %r" % err)
    os.symlink(path, os.path.join(work, "rules-0002.png"))
    status, _, err = run("export", path)
    with open(path, "rb") as f:
        check(f.read() == data, "an output that is the input through a link leaves the input unchanged")
    check(status == 1 and "it is the input file" in err and png_rgba(os.path.join(work, "rules-0001.png")) is not None,
          "...and is refused while the other frames are written: %r" % err)
    twins = os.path.join(work, "twins")
    os.mkdir(twins)
    spr = write(os.path.join(work, "twin.spr"), encode("spr", frames_of("spr"))[0])
    c16 = write(os.path.join(work, "twin.c16"), encode("c16", frames_of("c16"))[0])
    status, _, err = run("export", "-o", twins, spr, c16)
    first = png_rgba(os.path.join(twins, "twin-0001.png"))
    check(status == 1 and "already written" in err and first and first[2] == rgba("spr", frames_of("spr")[0][2]),
          "a second input with the same stem does not overwrite the first's frames: %r" % err)

    # --- progress line: only on a terminal -----------------------------------------
    status, _, err = run("export", "-o", twins, path, path)
    check("exporting" not in err, "no progress line when stderr is not a terminal")
    leader, follower = pty.openpty()
    p = subprocess.run([PROGRAM, "export", "-o", work, path], stderr=follower, stdout=subprocess.DEVNULL)
    os.close(follower)
    shown = os.read(leader, 4096).decode("utf-8", "replace")
    os.close(leader)
    check("exporting 1/1: " + path in shown, "a progress line on a terminal: %r" % shown)

    # --- JSON stays valid for any file name --------------------------------------
    odd = os.path.join(work.encode(), b'say "hi" \xff.s16')
    with open(odd, "wb") as f:
        f.write(data)
    p = subprocess.run([PROGRAM.encode(), b"info", b"--json", odd], capture_output=True)
    try:
        name = json.loads(p.stdout.decode("utf-8"))["file"]
    except ValueError:
        name = None
    check(name is not None and name.endswith('say "hi" \ufffd.s16'), "quotes and non-UTF-8 bytes in JSON: %r" % name)

checks.exit()
