#!/usr/bin/env python3
"""The gdk-pixbuf loader through GdkPixbuf (python3-gi) with a private loader
cache naming only the built modules, over the fixtures of make_fixtures.py.

  loads FIXTURES       every readable file loads as an image or an animation
                       of the frames export made, on a canvas that holds
                       them all; fed in one-byte and random chunks it gives
                       the same; damaged, declined and refused loads give
                       one GError and fire no signal; a 10-byte file
                       claiming a 65535x4096 frame is refused without
                       taking memory for it
  mutations FIXTURES SAMPLES [LOADS]
                       every sample, randomly modified LOADS times (2000),
                       through its typed loader in random chunks: a GError
                       in words or an image of the size announced, never a
                       crash; prints loads per second
  seam FIXTURES QUERY_LOADERS MODULE...
                       the tests' build of the modules, whose Nth
                       allocation of a load is made to fail, for every N a
                       load has: the host gets a GError or an image, and is
                       never aborted
  signatures FIXTURES  the patterns the S16/C16 module registers match the
                       16-bit files and none of the system's own images
                       (/usr/share icons, backgrounds, pixmaps...); exit 77
                       when there are none

Run by the system's Python (it holds the gi bindings) with
GDK_PIXBUF_MODULE_FILE and XDG_DATA_HOME set by the test.
"""
import ctypes
import os
import random
import re
import resource
import struct
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "thumbnailer"))
from thumbnailer_support import Checks, read_png  # noqa: E402

MODE, FIXTURES = sys.argv[1], os.path.abspath(sys.argv[2])
FILES = os.path.join(FIXTURES, "files")
checks = Checks()
check = checks.check


def manifest():
    return [line.split() for line in open(os.path.join(FIXTURES, "manifest.txt"))]


def mime_of(path):
    return "image/x-tamsorel-" + path.rsplit(".", 1)[-1].lower()


def rgba_rows(pixbuf):
    """The pixbuf's rows as RGBA bytes (it must be 8-bit RGBA)."""
    width, height, stride = pixbuf.get_width(), pixbuf.get_height(), pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    return [bytes(data[y * stride:y * stride + width * 4]) for y in range(height)]


def on_canvas(png, width, height):
    """A PNG's rows placed at the top-left of a transparent canvas."""
    w, h, rows = read_png(png)
    return [rows[y] + bytes(4 * (width - w)) if y < h else bytes(4 * width) for y in range(height)]


class Load:
    """One load through a GdkPixbufLoader for the file's MIME type, feeding
    the bytes in the chunks `chunks` yields, with what its signals told.
    `size_prepared(width, height)` may answer a size to ask for instead."""

    def __init__(self, data, mime, chunks, size_prepared=None):
        self.announced, self.prepared, self.updated, self.error = [], 0, 0, None
        self.pixbuf = self.animation = None
        try:
            loader = GdkPixbuf.PixbufLoader.new_with_mime_type(mime)  # begins the load
        except GLib.Error as e:
            self.error = e
            return

        def on_size(loader, width, height):
            self.announced.append((width, height))
            wanted = size_prepared and size_prepared(width, height)
            if wanted:
                loader.set_size(*wanted)

        def on_prepared(loader):
            self.prepared += 1

        def on_updated(loader, x, y, width, height):
            self.updated += 1

        loader.connect("size-prepared", on_size)
        loader.connect("area-prepared", on_prepared)
        loader.connect("area-updated", on_updated)
        try:
            at = 0
            for n in chunks:
                loader.write(data[at:at + n])
                at += n
            loader.close()
        except GLib.Error as e:
            self.error = e
        self.loader = loader
        self.pixbuf = loader.get_pixbuf()
        self.animation = loader.get_animation()


def whole(data):
    return [len(data)] if data else []


def bytewise(data):
    return [1] * len(data)


def random_chunks(seed):
    def chunks(data):
        rng, sizes, left = random.Random(seed), [], len(data)
        while left > 0:
            sizes.append(min(left, rng.choice((1, 3, 13, 64, 500, 4096, 65536))))
            left -= sizes[-1]
        return sizes
    return chunks


def frames_of(animation, steps):
    """What an animation's iterator shows at `steps` moments 100 ms apart."""
    if animation.is_static_image():
        return [animation.get_static_image()] * steps
    start = GLib.TimeVal()
    start.tv_sec, start.tv_usec = 1000, 0
    it = animation.get_iter(start)
    shown = [it.get_pixbuf().copy()]
    for step in range(1, steps):
        now = GLib.TimeVal()
        now.tv_sec, now.tv_usec = 1000 + step // 10, (step % 10) * 100000 + 50000
        check(it.advance(now), "the frame changes after 100 ms (step %d)" % step)
        shown.append(it.get_pixbuf().copy())
    return shown


def failed_cleanly(load, what):
    """A load that failed: one GError in words, no image, no signal after the size."""
    return (check(load.error is not None and load.error.domain == "gdk-pixbuf-error-quark" and
                  "sprite: " in load.error.message and len(load.error.message) > 20,
                  "%s: want a GError in words, got %r" % (what, load.error and load.error.message)) and
            check(load.prepared == 0 and load.updated == 0 and load.pixbuf is None,
                  "%s: failed, yet %d prepared, %d updated, pixbuf %r" % (what, load.prepared, load.updated,
                                                                          load.pixbuf)))


def test_loads():
    formats = {f.get_name(): f for f in GdkPixbuf.Pixbuf.get_formats()}
    check({"tamsorel-spr", "tamsorel-s16"} <= set(formats), "the private cache names our modules: %r" % formats)
    check(formats.get("tamsorel-s16") and formats["tamsorel-s16"].get_mime_types() ==
          ["image/x-tamsorel-s16", "image/x-tamsorel-c16"], "the 16-bit module takes both 16-bit types")
    animations = 0
    for word, name in manifest():
        path = os.path.join(FILES, name)
        data = open(path, "rb").read()
        if word != "good":
            for how, chunks in (("whole", whole), ("byte by byte", bytewise), ("in random chunks", random_chunks(7))):
                load = Load(data, mime_of(path), chunks(data))
                if failed_cleanly(load, "%s %s" % (name, how)) and how == "whole":
                    print("%s: %s" % (name, load.error.message))
            continue
        export = os.path.join(FIXTURES, "export", name)
        pngs = [os.path.join(export, p) for p in sorted(os.listdir(export))]
        sizes = [read_png(p)[:2] for p in pngs]
        canvas = (max(w for w, _ in sizes), max(h for _, h in sizes))
        want = [on_canvas(p, *canvas) for p in pngs]
        # Desktops take a file's type from its name whatever its bytes look
        # like (the thumbnailer entry and the viewers go by that type).
        check(Gio.content_type_guess(path, data)[0] == mime_of(path),
              "%s: typed %r by name and content" % (name, Gio.content_type_guess(path, data)))
        shown = None
        for how, chunks in (("whole", whole), ("byte by byte", bytewise), ("in random chunks", random_chunks(3))):
            load = Load(data, mime_of(path), chunks(data))
            what = "%s %s" % (name, how)
            if not check(load.error is None, "%s does not load: %s" % (what, load.error and load.error.message)):
                continue
            animation = load.animation
            check(load.announced == [canvas] and load.prepared == 1 and load.updated >= 1,
                  "%s: announced %r, prepared %d, updated %d; want %r once" % (what, load.announced, load.prepared,
                                                                              load.updated, canvas))
            check(animation.is_static_image() == (len(pngs) == 1),
                  "%s: %s, export made %d frame(s)" % (what, "static" if animation.is_static_image() else "animated",
                                                       len(pngs)))
            check((animation.get_width(), animation.get_height()) == canvas,
                  "%s: animation %dx%d, want the %dx%d that holds every frame" %
                  (what, animation.get_width(), animation.get_height(), *canvas))
            check(rgba_rows(load.pixbuf) == want[0], "%s: the image is not frame 1 on the canvas" % what)
            # Two rounds: the frames in order, then again from the first.
            frames = [rgba_rows(p) for p in frames_of(animation, 2 * len(pngs))]
            for i, rows in enumerate(frames):
                if not check(rows == want[i % len(pngs)], "%s frame %d at %d ms: not export's frame on the canvas" %
                             (what, i % len(pngs) + 1, 100 * i)):
                    break
            check(shown is None or frames == shown, "%s: other frames than loaded whole" % what)
            shown = shown or frames
        animations += len(pngs) > 1
        # By file name, as gdk_pixbuf_new_from_file finds loaders: from the
        # content first, from the name when the content is no known type
        # (some SPR files look like PCX or TGA files to content sniffing).
        sniffed, uncertain = Gio.content_type_guess(None, data[:4096])
        if uncertain:
            try:
                check(rgba_rows(GdkPixbuf.Pixbuf.new_from_file(path)) == want[0], name + " from its name: pixels")
                check(GdkPixbuf.PixbufAnimation.new_from_file(path).is_static_image() == (len(pngs) == 1),
                      "%s from its name: animated as by its type" % name)
            except GLib.Error as e:
                check(False, "%s from its name: %s" % (name, e.message))
            info = GdkPixbuf.Pixbuf.get_file_info(path)
            check(info[0] is not None and info[0].get_name() in ("tamsorel-spr", "tamsorel-s16") and
                  info[1:] == canvas, "%s: file info %r, want %dx%d" % (name, info[1:], *canvas))
        else:
            print("%s: content sniffing takes it for %s; opened by its type only" % (name, sniffed))
    check(animations >= 6, "the multi-frame files load as animations (%d)" % animations)

    # A single frame's size comes from the header: a file whose pixels are
    # cut off still tells it.
    info = GdkPixbuf.Pixbuf.get_file_info(os.path.join(FILES, "truncated.s16"))
    check(info[1:] == (20, 20), "truncated.s16: file info %r, want 20x20" % (info[1:],))

    # A host asking for no image (a size of 0x0, as get_file_info does, or
    # no width or no height): nothing is decoded and no signal fires, whether
    # the size came early (one frame) or when the file was whole (several).
    for name in ("gradient.s16", "checker.spr", "spin.c16", "sizes.spr"):
        data = open(os.path.join(FILES, name), "rb").read()
        for wanted in ((0, 0), (0, 5), (7, 0)):
            for how, chunks in (("whole", whole), ("byte by byte", bytewise)):
                load = Load(data, mime_of(name), chunks(data), lambda w, h, wanted=wanted: wanted)
                what = "%s %s, asking for %r" % (name, how, wanted)
                check(len(load.announced) == 1, "%s: the size announced %d times" % (what, len(load.announced)))
                failed_cleanly(load, what)

    # Refused from the header, or with frame 1's pixels outside a 10-byte
    # file that claims 65535x4096 of them: refused before any memory is
    # taken for pixels (checked under an address-space limit natively; the
    # sanitizer's runtime needs its own).
    refused = (
        ("claims-huge.spr", struct.pack("<HIHH", 1, 10, 65535, 4096), "frame 1"),
        ("claims-huge-offset.spr", struct.pack("<HIHH", 1, 0xFFFFFFF0, 65535, 4096), "frame 1"),
        ("claims-huge.s16", struct.pack("<IHIHH", 1, 1, 14, 65535, 4096), "MiB of pixels"),
        ("claims-huge.c16", struct.pack("<IHIHH", 3, 1, 14, 65535, 65535), "MiB of pixels"),
    )
    folder = tempfile.mkdtemp(prefix="tamsorel-pixbuf-")
    try:
        for name, data, words in refused:
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                f.write(data)
            load = Load(data, mime_of(name), bytewise(data))
            if failed_cleanly(load, name):
                check(words in load.error.message, "%s: %s; want it to say %r" % (name, load.error.message, words))
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            child = subprocess.run([sys.executable, __file__, "limited", FIXTURES] +
                                   [os.path.join(folder, name) for name, _, _ in refused],
                                   capture_output=True, text=True, timeout=120)
            print(child.stdout.strip())
            check(child.returncode == 0, "refused under a 64 MiB address-space margin: %s %s" %
                  (child.stdout.strip(), child.stderr.strip()))
    finally:
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        os.rmdir(folder)


def test_limited(paths):
    """Child of `loads`: each file refused for its own reason, with memory
    for only 64 MiB more than the process had."""
    Load(b"", "image/x-tamsorel-s16", [])  # the modules and GLib's own first use, before the limit
    Load(b"", "image/x-tamsorel-spr", [])
    with open("/proc/self/status") as f:
        vm = int(re.search(r"VmSize:\s+(\d+) kB", f.read()).group(1)) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), resource.RLIM_INFINITY))
    for path in paths:
        data = open(path, "rb").read()
        load = Load(data, mime_of(path), whole(data))
        if failed_cleanly(load, os.path.basename(path) + " under the limit"):
            check("memory" not in load.error.message, "%s: %s" % (path, load.error.message))
    print("%d files refused within a 64 MiB margin" % len(paths))


def mutate(data, rng):
    """The sample with a few random changes of the kinds damage makes."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        kind, at = rng.randrange(6), rng.randrange(max(1, len(data)))
        if kind == 0 and data:      # one byte anywhere
            data[at] = rng.randrange(256)
        elif kind == 1:             # one byte of the header or the first entries
            at = rng.randrange(min(len(data), 64) or 1)
            if data:
                data[at] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, rng.randrange(256)))
        elif kind == 2:             # cut short
            del data[at:]
        elif kind == 3:             # a piece missing
            del data[at:at + rng.randint(1, 64)]
        elif kind == 4:             # a piece repeated
            data[at:at] = data[at:at + rng.randint(1, 64)]
        else:                       # a 16-bit field at an extreme
            if at + 2 <= len(data):
                data[at:at + 2] = struct.pack("<H", rng.choice((0, 1, 0x7FFF, 0xFFFF)))
    return bytes(data)


def test_mutations(loads):
    # Decoding is what a load costs: a mutant whose image would exceed this
    # many pixels is declined at its size (the declined path, exercised too).
    budget = 1 << 20
    samples = sorted(name for name in os.listdir(SAMPLES) if name.rsplit(".", 1)[-1] in ("spr", "s16", "c16"))
    total, started, outcomes = 0, time.monotonic(), {"image": 0, "error": 0, "declined": 0}
    for name in samples:
        original = open(os.path.join(SAMPLES, name), "rb").read()
        rng = random.Random(name)
        for i in range(loads):
            data = mutate(original, rng)
            load = Load(data, mime_of(name), random_chunks(rng.randrange(1 << 30))(data),
                        lambda w, h: (0, 0) if w * h > budget else None)
            total += 1
            what = "%s mutant %d" % (name, i)
            if load.error is not None:
                declined = load.announced and load.announced[0][0] * load.announced[0][1] > budget
                outcomes["declined" if declined else "error"] += 1
                if not failed_cleanly(load, what):
                    break
                continue
            outcomes["image"] += 1
            animation = load.animation
            size = (animation.get_width(), animation.get_height())
            if not check(load.announced == [size] and load.prepared == 1 and
                         (load.pixbuf.get_width(), load.pixbuf.get_height()) == size,
                         "%s: announced %r, prepared %d, image %dx%d, animation %r" %
                         (what, load.announced, load.prepared, load.pixbuf.get_width(), load.pixbuf.get_height(),
                          size)):
                break
            if not animation.is_static_image():
                for frame in frames_of(animation, 4):
                    check((frame.get_width(), frame.get_height()) == size, "%s: a frame off the canvas" % what)
    elapsed = time.monotonic() - started
    check(total == loads * len(samples) and len(samples) >= 10, "%d loads over %d samples" % (total, len(samples)))
    check(outcomes["image"] > 0 and outcomes["error"] > 0, "mutants both load and fail: %r" % outcomes)
    print("%d loads of %d samples in %.1f s: %.0f loads/s (%r)" % (total, len(samples), elapsed, total / elapsed,
                                                                   outcomes))


def test_seam(query_loaders, modules):
    cache = subprocess.run([query_loaders] + modules, check=True, capture_output=True, text=True).stdout
    handle, path = tempfile.mkstemp(prefix="tamsorel-seam-", suffix=".cache")
    with os.fdopen(handle, "w") as f:
        f.write(cache)
    # Read when GdkPixbuf first looks for a module, which is after this.
    os.environ["GDK_PIXBUF_MODULE_FILE"] = path
    try:
        seams = {}
        for module in modules:
            seam = ctypes.CDLL(module)
            seam.tamsorel_pixbuf_seam_fail_at.argtypes = [ctypes.c_long]
            seam.tamsorel_pixbuf_seam_count.restype = ctypes.c_long
            seams["spr" if module.endswith("spr.so") else "s16"] = seam
        runs = 0
        for name, chunks in (("spin.c16", random_chunks(5)), ("bounce.spr", whole), ("sizes.s16", bytewise),
                             ("gradient.s16", whole), ("middle-damaged.s16", whole), ("huge.s16", whole),
                             ("first-cut.spr", random_chunks(9))):
            data = open(os.path.join(FILES, name), "rb").read()
            seam = seams["spr" if name.endswith(".spr") else "s16"]

            def run():
                load = Load(data, mime_of(name), chunks(data))
                if load.error is None:
                    frames_of(load.animation, 8)
                return load
            seam.tamsorel_pixbuf_seam_fail_at(0)
            clean = run()
            allocations = seam.tamsorel_pixbuf_seam_count()
            check(allocations >= 2, "%s: %d allocations counted" % (name, allocations))
            failed = 0
            for n in range(1, allocations + 1):
                seam.tamsorel_pixbuf_seam_fail_at(n)
                load = run()
                runs += 1
                what = "%s with allocation %d of %d failing" % (name, n, allocations)
                check(seam.tamsorel_pixbuf_seam_count() >= n, "%s: not reached" % what)
                if load.error is not None:
                    failed += 1
                    failed_cleanly(load, what)
                else:
                    # Only the frames decoded after the image was handed
                    # over may fail (they show transparent).
                    check(clean.error is None and load.prepared == 1 and
                          rgba_rows(load.pixbuf) == rgba_rows(clean.pixbuf),
                          "%s: loaded, yet not as without the failure" % what)
            seam.tamsorel_pixbuf_seam_fail_at(0)
            check(failed >= 1, "%s: no failing allocation failed the load" % name)
            print("%s: %d allocations, each failing in turn: %d failed loads with a GError, %d images" %
                  (name, allocations, failed, allocations - failed))
        print("%d loads with a failing allocation; the host went on" % runs)
    finally:
        os.remove(path)


def unescape(text):
    """A string of the loader cache, with its C escapes, as bytes."""
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == "\\":
            octal = re.match(r"[0-7]{1,3}", text[i + 1:])
            if octal:
                out.append(int(octal.group(0), 8))
                i += 1 + len(octal.group(0))
                continue
            out.append(ord({"n": "\n", "t": "\t", "r": "\r"}.get(text[i + 1], text[i + 1])))
            i += 2
            continue
        out.extend(text[i].encode("latin-1"))
        i += 1
    return bytes(out)


def registered_patterns(name):
    """The (bytes, mask, relevance) patterns the loader cache holds for a module."""
    blocks = open(os.environ["GDK_PIXBUF_MODULE_FILE"]).read().split("\n\n")
    for block in blocks:
        lines = [line for line in block.splitlines() if line and not line.startswith("#")]
        if len(lines) > 1 and lines[1].startswith('"%s"' % name):
            patterns = []
            for line in lines[4:]:
                m = re.match(r'^"((?:[^"\\]|\\.)*)" "((?:[^"\\]|\\.)*)" (\d+)$', line)
                if m:
                    patterns.append((unescape(m.group(1)), m.group(2), int(m.group(3))))
            return patterns
    return None


def claimed(patterns, head):
    """Whether a file beginning with `head` matches one of the patterns, as
    gdk-pixbuf's masks are documented: ' ' the byte, '!' not the byte, 'z'
    zero, 'n' not zero, 'x' any; anchored at the start."""
    for prefix, mask, relevance in patterns:
        if relevance == 0 or len(head) < len(prefix):
            continue
        if all((m == " " and b == p) or (m == "!" and b != p) or (m == "z" and b == 0) or (m == "n" and b != 0) or
               m == "x" for p, m, b in zip(prefix, mask or " " * len(prefix), head)):
            return True
    return False


def test_signatures():
    s16 = registered_patterns("tamsorel-s16")
    spr = registered_patterns("tamsorel-spr")
    if not check(s16 and spr is not None, "both modules are in the loader cache"):
        return
    check(not any(relevance for _, _, relevance in spr), "the SPR module claims no bytes: %r" % spr)
    for word, name in manifest():
        head = open(os.path.join(FILES, name), "rb").read(64)
        if word == "good" and not name.endswith(".spr"):
            check(claimed(s16, head), "%s: its 16-bit header is not recognized" % name)
    folders = ["/usr/share/icons", "/usr/share/backgrounds", "/usr/share/pixmaps", "/usr/share/wallpapers",
               "/usr/share/images", "/usr/share/themes", "/usr/share/desktop-base", "/usr/share/plymouth"]
    walked, taken = 0, []
    for folder in folders:
        for root, _, names in os.walk(folder):
            for name in names:
                path = os.path.join(root, name)
                if not os.path.isfile(path) or name.lower().endswith((".spr", ".s16", ".c16")):
                    continue
                try:
                    with open(path, "rb") as f:
                        head = f.read(64)
                except OSError:
                    continue
                walked += 1
                if claimed(s16, head):
                    taken.append(path)
    if walked == 0:
        print("SKIP: no image collection under %s" % ", ".join(folders))
        raise SystemExit(77)
    print("the S16/C16 patterns claim %d of the system's %d image-collection files" % (len(taken), walked))
    check(not taken, "other files claimed by the S16/C16 patterns: %s" % ", ".join(taken[:20]))


if MODE == "loads":
    test_loads()
elif MODE == "limited":
    test_limited(sys.argv[3:])
elif MODE == "mutations":
    SAMPLES = os.path.abspath(sys.argv[3])
    test_mutations(int(sys.argv[4]) if len(sys.argv) > 4 else 2000)
elif MODE == "seam":
    test_seam(sys.argv[3], sys.argv[4:])
elif MODE == "signatures":
    test_signatures()
else:
    sys.exit("unknown mode " + MODE)
checks.exit()
