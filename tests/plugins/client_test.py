#!/usr/bin/env python3
"""Real GTK clients through the built gdk-pixbuf loader (the private loader
cache and MIME database of make_fixtures.py, given in the environment):

  thumbnailer  gdk-pixbuf-thumbnailer makes PNG thumbnails of a C16 and an
               S16 sample, with the pixels of export's frame 1 (on the
               canvas of all frames) when no scaling is needed, and scaled
               to fit otherwise
  eog          Eye of GNOME opens samples/spin.c16 (twelve frames) in a
               private HOME under xvfb-run; the screenshot, saved as
               OUT/eog-spin.png, shows the sprite's own colours

Exit 77 (skipped) when the program is not installed.

Usage: client_test.py thumbnailer|eog FIXTURES OUT
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "thumbnailer"))
from thumbnailer_support import Checks, read_png  # noqa: E402

mode, FIXTURES, OUT = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
checks = Checks()
check = checks.check
files, export = os.path.join(FIXTURES, "files"), os.path.join(FIXTURES, "export")


def frame_pngs(name):
    folder = os.path.join(export, name)
    return [os.path.join(folder, p) for p in sorted(os.listdir(folder))]


def need(program):
    path = shutil.which(program)
    if not path:
        print("SKIP: %s is not installed" % program)
        raise SystemExit(77)
    return path


if mode == "thumbnailer":
    thumbnailer = need("gdk-pixbuf-thumbnailer")
    work = tempfile.mkdtemp(prefix="tamsorel-plugins-")
    try:
        # At the frame's own size (no scaling: export's pixels), and smaller.
        for name, size in (("spin.c16", 0), ("gradient.s16", 0), ("sunset-555.s16", 32)):
            # An animation's image is frame 1 on the canvas that holds every
            # frame (spin.c16's frames grow from 18x18 to 25x25).
            sizes = [read_png(p)[:2] for p in frame_pngs(name)]
            w, h = max(x for x, _ in sizes), max(y for _, y in sizes)
            fw, fh, first = read_png(frame_pngs(name)[0])
            want = [first[y] + bytes(4 * (w - fw)) if y < fh else bytes(4 * w) for y in range(h)]
            size = size or max(w, h)
            out = os.path.join(work, name + ".png")
            p = subprocess.run([thumbnailer, "-s", str(size), os.path.join(files, name), out], capture_output=True,
                               text=True, timeout=60)
            if not check(p.returncode == 0 and os.path.exists(out),
                         "%s: gdk-pixbuf-thumbnailer failed (%d): %s" % (name, p.returncode, p.stderr.strip())):
                continue
            width, height, rows = read_png(out)
            if max(w, h) == size:
                check((width, height, rows) == (w, h, want), "%s: the thumbnail is frame 1 as export made it, on the canvas" % name)
            else:
                check(max(width, height) == size and abs(width / height - w / h) < 0.1,
                      "%s: scaled to %dx%d, want to fit %d keeping %dx%d's ratio" % (name, width, height, size, w,
                                                                                     h))
            print("%s: thumbnail %dx%d" % (name, width, height))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    checks.exit()

# eog
eog, xvfb_run = need("eog"), need("xvfb-run")
name = "spin.c16"
colours = set()
for png in frame_pngs(name):
    _, _, rows = read_png(png)
    for row in rows:
        colours.update(row[i:i + 3] for i in range(0, len(row), 4) if row[i + 3] == 255)
home = tempfile.mkdtemp(prefix="tamsorel-eog-")
shot = os.path.join(OUT, "eog-spin.png")
if os.path.exists(shot):
    os.remove(shot)
try:
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_CACHE_HOME=os.path.join(home, ".cache"), XDG_RUNTIME_DIR=os.path.join(home, "run"),
               GSETTINGS_BACKEND="memory", NO_AT_BRIDGE="1")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    # Inside the X server: eog on the file, then a screenshot of the screen.
    script = r'''
import os, subprocess, sys, time
import gi
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk
log = open(sys.argv[3] + ".log", "w+")
eog = subprocess.Popen(["dbus-run-session", "--", sys.argv[1], "--new-instance", sys.argv[2]],
                       stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
time.sleep(6)
root = Gdk.get_default_root_window()
shot = Gdk.pixbuf_get_from_window(root, 0, 0, root.get_width(), root.get_height())
shot.add_alpha(False, 0, 0, 0).savev(sys.argv[3], "png", [], [])
os.killpg(eog.pid, 15)
try:
    eog.wait(timeout=10)
except subprocess.TimeoutExpired:
    os.killpg(eog.pid, 9)
    eog.wait()
log.seek(0)
sys.stdout.write(log.read())
'''
    p = subprocess.run([xvfb_run, "-a", "-s", "-screen 0 800x600x24", sys.executable, "-c", script, eog,
                        os.path.join(files, name), shot], env=env, capture_output=True, text=True, timeout=120)
    print(p.stdout.strip())
    if check(p.returncode == 0 and os.path.exists(shot), "eog under xvfb-run failed (%d): %s" % (p.returncode,
                                                                                                p.stderr.strip())):
        # Opaque pixels of the sprite appear with their own colours (eog
        # shows them unscaled or enlarged, over its own background).
        _, _, rows = read_png(shot)
        matching = sum(row[i:i + 3] in colours for row in rows for i in range(0, len(row), 4))
        _, _, first = read_png(frame_pngs(name)[0])
        opaque = sum(row[i + 3] == 255 for row in first for i in range(0, len(row), 4))
        check(matching >= opaque // 2, "the screenshot shows %d pixels of the sprite's colours, want at least %d"
              % (matching, opaque // 2))
        print("screenshot %s: %d pixels of the sprite's colours" % (shot, matching))
finally:
    shutil.rmtree(home, ignore_errors=True)
checks.exit()
