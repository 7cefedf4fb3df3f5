#!/usr/bin/env python3
"""Fixtures shared by the image plug-ins' tests, made into one folder:

  OUT/files/NAME         the samples, multi-frame files and damaged ones
  OUT/export/NAME/*.png  what `tamsorel export` makes of each readable file
  OUT/manifest.txt       one line per file: "good NAME" or "bad NAME"
  OUT/share/mime         a MIME database with the sprite types only
  OUT/loaders.cache      a gdk-pixbuf loader cache naming the built modules
                         (when they were built)

A good file's frames, as a viewer shows them, are exactly the PNGs export
made, in order (export skips the frames a viewer skips).

Usage: make_fixtures.py OUT SAMPLES TAMSOREL MIME_XML [QUERY_LOADERS MODULE...]
"""
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tamsorel"))
from sprites import encode, pattern  # noqa: E402

out, samples, tamsorel, mime_xml = sys.argv[1:5]
query_loaders, modules = (sys.argv[5], sys.argv[6:]) if len(sys.argv) > 5 else (None, [])


def frames(kind, sizes, seed=1):
    return encode(kind, [(w, h, pattern(w, h, seed + i, kind == "spr")) for i, (w, h) in enumerate(sizes)],
                  rgb565=(seed % 2 == 1))


def cut_frame(data, entry, past):
    """Points a directory entry's pixels past the end of the file."""
    data = bytearray(data)
    struct.pack_into("<I", data, entry, len(data) + past)
    return bytes(data)


good, bad = {}, {}
# Multi-frame files of every kind with frames of different sizes.
good["sizes.spr"], _ = frames("spr", [(5, 3), (7, 9), (1, 1), (12, 4)])
good["sizes.s16"], _ = frames("s16", [(9, 6), (3, 3), (16, 2)], seed=2)
good["sizes.c16"], _ = frames("c16", [(11, 7), (4, 13), (1, 1)], seed=3)
# Frame 1 smaller than the others: an animation has the size that holds them all.
good["small-first.c16"], _ = frames("c16", [(8, 8), (200, 150), (200, 150)], seed=4)
# A damaged middle frame is left out; the frames around it are shown.
data, entries = frames("s16", [(6, 5), (6, 5), (6, 5)])
good["middle-damaged.s16"] = cut_frame(data, entries[1], 100)
# A header claiming far more frames than the file holds: the one frame it
# holds shows.
data, _ = frames("c16", [(8, 8)])
good["claims-many.c16"] = data[:4] + struct.pack("<H", 65535) + data[6:]
# Irregular frames show as the thumbnail shows them: pixels cut off by the
# end of the file stay transparent, a compressed run that passes the end of
# its frame is cut there.
good["truncated.s16"] = frames("s16", [(20, 20)])[0][:200]
data, _ = frames("c16", [(4, 2)])
first_line = struct.unpack_from("<I", data, 6)[0]
good["bad-run.c16"] = data[:first_line] + struct.pack("<H", (60 << 1) | 1) + bytes(120) + data[first_line:]

bad["empty.s16"] = b""
bad["header-only.c16"] = struct.pack("<IH", 3, 1)
bad["no-frames.spr"] = struct.pack("<H", 0) + bytes(16)
bad["zero-width.s16"] = struct.pack("<IHIHH", 1, 1, 14, 0, 5) + bytes(10)
data, entries = frames("spr", [(4, 4), (4, 4)])
bad["first-cut.spr"] = cut_frame(data, entries[0], 0)
bad["huge.s16"] = struct.pack("<IHIHH", 1, 1, 14, 65535, 65535) + bytes(64)

if os.path.exists(out):
    shutil.rmtree(out)
os.makedirs(os.path.join(out, "files"))
manifest = []
for name in sorted(os.listdir(samples)):
    if name.rsplit(".", 1)[-1].lower() in ("spr", "s16", "c16"):
        shutil.copy(os.path.join(samples, name), os.path.join(out, "files", name))
        manifest.append("good " + name)
for table, word in ((good, "good"), (bad, "bad")):
    for name, data in sorted(table.items()):
        with open(os.path.join(out, "files", name), "wb") as f:
            f.write(data)
        manifest.append("%s %s" % (word, name))

for line in manifest:
    word, name = line.split()
    if word != "good":
        continue
    target = os.path.join(out, "export", name)
    os.makedirs(target)
    # Damaged frames give exit status 1; the frames that could be read are there.
    p = subprocess.run([tamsorel, "export", "-o", target, os.path.join(out, "files", name)], capture_output=True,
                       text=True)
    if p.returncode not in (0, 1) or not os.listdir(target):
        sys.exit("tamsorel export %s failed: %s" % (name, p.stderr))

with open(os.path.join(out, "manifest.txt"), "w") as f:
    f.write("\n".join(manifest) + "\n")

mime = os.path.join(out, "share", "mime")
os.makedirs(os.path.join(mime, "packages"))
shutil.copy(mime_xml, os.path.join(mime, "packages"))
subprocess.run(["update-mime-database", mime], check=True)

if query_loaders and modules:
    # Modules built with AddressSanitizer load only where its runtime came first.
    env = dict(os.environ)
    if os.environ.get("TAMSOREL_ASAN_PRELOAD"):
        env.update(LD_PRELOAD=os.environ["TAMSOREL_ASAN_PRELOAD"], ASAN_OPTIONS="detect_leaks=0")
    cache = subprocess.run([query_loaders] + modules, check=True, capture_output=True, text=True, env=env).stdout
    with open(os.path.join(out, "loaders.cache"), "w") as f:
        f.write(cache)
print("%d fixtures in %s" % (len(manifest), out))
