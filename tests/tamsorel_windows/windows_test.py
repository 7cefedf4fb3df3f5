#!/usr/bin/env python3
"""tamsorel.exe against the native tamsorel, under Wine.

Usage: windows_test.py --native PROGRAM --work DIR -- RUNNER... TAMSOREL_EXE

RUNNER is the lane's Wine command (cmake/wine-run LANE).  The inputs are
every sample in samples/ and multi-frame files written here: every kind, a
frame wide and tall enough to reach the PNG encoder in several bands, a
damaged frame, and a name outside ASCII.  For each, `info`, `info --json`,
`export` (beside the input) and `export --sheet -o DIR` must do what the
native tool does with the same file: the same exit status, the same lines
on stdout and stderr apart from the file names, the same PNG files, each of
the same size and the same RGBA pixels.  PNGs are compared decoded: the
system's encoder need not choose the bytes libpng chooses.

Fails, saying so, when the native tool has not been built.
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "tamsorel"))
sys.path.insert(0, os.path.join(ROOT, "tests", "thumbnailer"))
from sprites import encode, pattern  # noqa: E402
from thumbnailer_support import Checks, read_png  # noqa: E402

EXTENSIONS = (".spr", ".s16", ".c16")


def fixtures():
    """(file name, bytes) of the multi-frame files written for this test."""
    def frames(kind, sizes, seed):
        return [(w, h, pattern(w, h, seed + i, kind == "spr")) for i, (w, h) in enumerate(sizes)]

    walk, _ = encode("c16", frames("c16", [(5, 3), (7, 9), (1, 1), (12, 4)], 0))
    # 1000 x 300 RGBA is more than one band of the Windows encoder; on the
    # sheet (2000 x 300) it is several.
    wide, _ = encode("s16", frames("s16", [(1000, 300), (3, 2)], 10), rgb565=False)
    palette, _ = encode("spr", frames("spr", [(9, 4), (4, 9), (16, 16)], 20))
    damaged, entries = encode("c16", frames("c16", [(6, 5), (6, 5), (6, 5)], 30))
    damaged = bytearray(damaged)
    struct.pack_into("<I", damaged, entries[1], len(damaged) + 100)  # frame 2's pixels lie past the end
    return [("walk.c16", walk), ("wide.s16", wide), ("palette.spr", palette), ("damaged.c16", bytes(damaged)),
            ("w\u00e4lk \u20ac\U0001F600.c16", walk)]


def samples():
    folder = os.path.join(ROOT, "samples")
    names = sorted(name for name in os.listdir(folder) if name.lower().endswith(EXTENSIONS))
    result = []
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            result.append((name, f.read()))
    return result


def windows_path(path, forward):
    """The path as a Windows program sees it: drive Z: is "/".  `forward`
    keeps forward slashes, which Windows takes as separators too."""
    path = "Z:" + os.path.abspath(path)
    return path if forward else path.replace("/", "\\")


class Tools:
    def __init__(self, native, runner, work):
        self.native = native
        self.runner = runner
        self.work = work
        # Wine turns the command line into UTF-16 from the Unix locale's
        # character set (Windows programs get UTF-16 from the system): names
        # outside ASCII need a UTF-8 locale on the Wine side.
        self.wine_env = dict(os.environ, LC_ALL="C.UTF-8")

    def run(self, command, env=None):
        """(exit status, stdout, stderr).  Output goes through files, not
        pipes: services that Wine starts for a program inherit its output
        and may outlive it."""
        with tempfile.TemporaryFile(dir=self.work) as out, tempfile.TemporaryFile(dir=self.work) as err:
            status = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                                    timeout=300).returncode
            out.seek(0)
            err.seek(0)
            # The Windows console runtime writes text with CRLF line ends.
            text = [f.read().decode("utf-8", "replace").replace("\r\n", "\n") for f in (out, err)]
        return status, text[0], text[1]

    def windows(self, *args):
        return self.run([*self.runner, *args], self.wine_env)

    def linux(self, *args):
        return self.run([self.native, *args])


def named(text, names):
    """`text` with each file name in `names` (Windows path or native path ->
    its placeholder) replaced."""
    for name, placeholder in sorted(names.items(), key=lambda item: -len(item[0])):
        text = text.replace(name, placeholder)
    return text


def png_files(folder):
    return sorted(name for name in os.listdir(folder) if name != "sheet" and not name.lower().endswith(EXTENSIONS))


def decoded(path):
    try:
        return read_png(path)
    except (OSError, ValueError) as problem:
        return "not an 8-bit RGBA PNG: %s" % problem


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("command", nargs="+", help="the Wine runner and tamsorel.exe")
    args = parser.parse_args()
    if not os.access(args.native, os.X_OK):
        print("FAIL: the native tool %s is missing: build the native lane first (./run build native)" % args.native)
        return 1
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    tools = Tools(args.native, args.command, args.work)
    checks = Checks()
    check = checks.check

    status, win_help, _ = tools.windows("--help")
    native_status, native_help, _ = tools.linux("--help")
    check(status == native_status == 0 and win_help == native_help and "export" in win_help,
          "--help: exit %d and the native text (%r)" % (status, win_help[:200]))

    # Each input twice, in a folder of its own for each tool; every other
    # one is named with forward slashes.
    inputs, sample_files = [], samples()
    for index, (name, data) in enumerate(sample_files + fixtures()):
        paths = {}
        for side in ("win", "native"):
            folder = os.path.join(args.work, side, str(index))
            os.makedirs(os.path.join(folder, "sheet"))
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            paths[side] = os.path.join(folder, name)
        forward = index % 2 == 1
        inputs.append({"name": name, "native": paths["native"], "win": windows_path(paths["win"], forward),
                       "win_dir": os.path.dirname(paths["win"]), "native_dir": os.path.dirname(paths["native"]),
                       "forward": forward})
    check(sample_files, "samples/ holds sprites")
    placeholders = {}
    for number, i in enumerate(inputs):
        placeholders[i["win"]] = placeholders[i["native"]] = "<FILE %d>" % number

    # info, all inputs in one run of each tool.
    win = tools.windows("info", "--json", *[i["win"] for i in inputs])
    native = tools.linux("info", "--json", *[i["native"] for i in inputs])
    check(win[0] == native[0] == 0 and win[2] == native[2] == "",
          "info --json: exit %d quietly, as the native tool (%d): %r" % (win[0], native[0], win[2]))
    win_lines, native_lines = win[1].splitlines(), native[1].splitlines()
    check(len(win_lines) == len(native_lines) == len(inputs), "info --json: one line per file")
    for i, win_line, native_line in zip(inputs, win_lines, native_lines):
        try:
            win_object, native_object = json.loads(win_line), json.loads(native_line)
        except ValueError:
            check(False, "%s: info --json is not JSON: %r" % (i["name"], win_line))
            continue
        check(win_object.pop("file", None) == i["win"], "%s: info --json names the file as given" % i["name"])
        native_object.pop("file", None)
        check(win_object == native_object, "%s: info --json differs from the native tool's:\n  %s\n  %s"
              % (i["name"], win_line, native_line))
    for damaged in (i for i in inputs if i["name"] == "damaged.c16"):
        line = win_lines[inputs.index(damaged)]
        check('"damaged": null' in line and '"damaged": "' in line, "damaged.c16: one frame listed as damaged")

    # The runtime expands wildcards, as a POSIX shell does for the native tool.
    walk = next(i for i in inputs if i["name"] == "walk.c16")
    status, out, err = tools.windows("info", "--json", windows_path(os.path.join(walk["win_dir"], "*.c16"), False))
    check(status == 0 and [json.loads(line).get("file") for line in out.splitlines()] == [
          windows_path(os.path.join(walk["win_dir"], "walk.c16"), False)],
          "info --json DIR\\*.c16 lists walk.c16 alone (%d): %r %r" % (status, out, err))

    win = tools.windows("info", *[i["win"] for i in inputs])
    native = tools.linux("info", *[i["native"] for i in inputs])
    check(win[0] == native[0] and named(win[1], placeholders) == named(native[1], placeholders)
          and named(win[2], placeholders) == named(native[2], placeholders),
          "info: exit %d and text as the native tool's (%d):\n%s\n---\n%s" % (win[0], native[0], win[1], native[1]))

    # export: every frame beside the input, then a sheet into another folder.
    for i in inputs:
        win_sheet = windows_path(os.path.join(i["win_dir"], "sheet"), i["forward"])
        for what, win_args, native_args in (
                ("export", [i["win"]], [i["native"]]),
                ("export --sheet -o", ["--sheet", "-o", win_sheet, i["win"]],
                 ["--sheet", "-o", os.path.join(i["native_dir"], "sheet"), i["native"]])):
            win = tools.windows("export", *win_args)
            native = tools.linux("export", *native_args)
            check(win[0] == native[0] and win[1] == native[1] == ""
                  and named(win[2], placeholders) == named(native[2], placeholders),
                  "%s: %s exits %d, as the native tool (%d), with the same lines on stderr:\n%s\n---\n%s"
                  % (i["name"], what, win[0], native[0], win[2], native[2]))
        for sub in ("", "sheet"):
            win_dir, native_dir = os.path.join(i["win_dir"], sub), os.path.join(i["native_dir"], sub)
            written, expected = png_files(win_dir), png_files(native_dir)
            check(written == expected and expected, "%s: wrote %r; the native tool %r" % (i["name"], written, expected))
            for png in sorted(set(written) & set(expected)):
                got, want = decoded(os.path.join(win_dir, png)), decoded(os.path.join(native_dir, png))
                check(not isinstance(want, str), "%s: the native %s: %s" % (i["name"], png, want))
                check(got == want, "%s: %s is not the native tool's picture (%s)"
                      % (i["name"], png, got if isinstance(got, str) else "%d x %d" % got[:2]))

    if not checks.failures:
        shutil.rmtree(args.work, ignore_errors=True)
    checks.exit()


if __name__ == "__main__":
    sys.exit(main())
