#!/usr/bin/env python3
"""The gdk-pixbuf loader through GdkPixbuf (python3-gi) with a private loader
cache naming only the built modules, over the fixtures of make_fixtures.py:
every readable file loads, as an image or an animation of the frames export
made and with their pixels; fed in chunks of one byte it gives the same;
get_file_info gives frame 1's size without decoding; damaged and hostile
files give a GError in words.

Run by the system's Python (it holds the gi bindings) with
GDK_PIXBUF_MODULE_FILE and XDG_DATA_HOME set by the test.

Usage: pixbuf_test.py FIXTURES
"""
import os
import sys

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "thumbnailer"))
from thumbnailer_support import Checks, read_png  # noqa: E402

FIXTURES = os.path.abspath(sys.argv[1])
checks = Checks()
check = checks.check


def rgba_rows(pixbuf):
    """The pixbuf's rows as RGBA bytes (it must be 8-bit RGBA)."""
    width, height, stride = pixbuf.get_width(), pixbuf.get_height(), pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    return [bytes(data[y * stride:y * stride + width * 4]) for y in range(height)]


def same_as_png(pixbuf, png, what):
    width, height, rows = read_png(png)
    ok = check(pixbuf.get_has_alpha() and pixbuf.get_n_channels() == 4 and pixbuf.get_bits_per_sample() == 8,
               "%s: an 8-bit RGBA pixbuf" % what)
    ok = ok and check((pixbuf.get_width(), pixbuf.get_height()) == (width, height),
                      "%s: size %dx%d, export made %dx%d" % (what, pixbuf.get_width(), pixbuf.get_height(), width,
                                                             height))
    return ok and check(rgba_rows(pixbuf) == rows, "%s: pixels differ from %s" % (what, os.path.basename(png)))


def frames_of(animation, steps):
    """What an animation's iterator shows at `steps` moments 100 ms apart."""
    if animation.is_static_image():
        return [animation.get_static_image()] * steps
    start = GLib.TimeVal()
    start.tv_sec, start.tv_usec = 1000, 0
    it = animation.get_iter(start)
    check(it.get_delay_time() == 100, "each frame shows 100 ms, not %d" % it.get_delay_time())
    shown = [it.get_pixbuf().copy()]
    for step in range(1, steps):
        now = GLib.TimeVal()
        now.tv_sec, now.tv_usec = 1000 + step // 10, (step % 10) * 100000 + 50000
        check(it.advance(now), "the frame changes after 100 ms (step %d)" % step)
        shown.append(it.get_pixbuf().copy())
    return shown


def load_in_chunks(path, chunk):
    loader = GdkPixbuf.PixbufLoader.new_with_mime_type(mime_of(path))
    with open(path, "rb") as f:
        data = f.read()
    for at in range(0, len(data), chunk):
        loader.write(data[at:at + chunk])
    loader.close()
    return loader


def mime_of(path):
    return "image/x-tamsorel-" + path.rsplit(".", 1)[-1].lower()


formats = {f.get_name(): f for f in GdkPixbuf.Pixbuf.get_formats()}
check({"tamsorel-spr", "tamsorel-s16"} <= set(formats), "the private cache names our modules: %r" % formats)
check(formats.get("tamsorel-s16") and formats["tamsorel-s16"].get_mime_types() ==
      ["image/x-tamsorel-s16", "image/x-tamsorel-c16"], "the 16-bit module takes both 16-bit types")

files = os.path.join(FIXTURES, "files")
manifest = [line.split() for line in open(os.path.join(FIXTURES, "manifest.txt"))]
animations = 0
for word, name in manifest:
    path = os.path.join(files, name)
    if word == "good":
        export = os.path.join(FIXTURES, "export", name)
        pngs = [os.path.join(export, p) for p in sorted(os.listdir(export))]
        # As image viewers open a file: a loader for the file's MIME type.
        try:
            loader = load_in_chunks(path, 1 << 20)
            animation, pixbuf = loader.get_animation(), loader.get_pixbuf()
        except GLib.Error as e:
            check(False, "%s does not load: %s" % (name, e.message))
            continue
        check(animation.is_static_image() == (len(pngs) == 1),
              "%s: %s, export made %d frame(s)" % (name, "static" if animation.is_static_image() else "animated",
                                                   len(pngs)))
        animations += not animation.is_static_image()
        same_as_png(pixbuf, pngs[0], name + " as an image")
        # Two rounds: the frames in order, then again from the first.
        shown = frames_of(animation, 2 * len(pngs))
        for i, frame in enumerate(shown):
            if not same_as_png(frame, pngs[i % len(pngs)], "%s frame %d at %d ms" % (name, i % len(pngs) + 1,
                                                                                   100 * i)):
                break
        # Fed one byte at a time, the same frames.
        try:
            chunked = frames_of(load_in_chunks(path, 1).get_animation(), len(pngs))
            check([rgba_rows(p) for p in chunked] == [rgba_rows(p) for p in shown[:len(pngs)]],
                  "%s: loaded byte by byte, other pixels" % name)
        except GLib.Error as e:
            check(False, "%s byte by byte: %s" % (name, e.message))
        # By file name, as gdk_pixbuf_new_from_file finds loaders: from the
        # content first, from the name when the content is no known type
        # (some SPR files look like PCX or TGA files to content sniffing).
        with open(path, "rb") as f:
            sniffed, uncertain = Gio.content_type_guess(None, f.read(4096))
        if uncertain:
            try:
                same_as_png(GdkPixbuf.Pixbuf.new_from_file(path), pngs[0], name + " from its name")
                check(GdkPixbuf.PixbufAnimation.new_from_file(path).is_static_image() == (len(pngs) == 1),
                      "%s from its name: animated as by its type" % name)
            except GLib.Error as e:
                check(False, "%s from its name: %s" % (name, e.message))
            info = GdkPixbuf.Pixbuf.get_file_info(path)
            width, height, _ = read_png(pngs[0])
            check(info[0] is not None and info[0].get_name() in ("tamsorel-spr", "tamsorel-s16") and
                  info[1:] == (width, height), "%s: file info %r, want %dx%d" % (name, info[1:], width, height))
        else:
            print("%s: content sniffing takes it for %s; opened by its type only" % (name, sniffed))
    else:
        for how, load in (("whole", lambda: load_in_chunks(path, 1 << 20).get_pixbuf()),
                          ("in 3-byte chunks", lambda: load_in_chunks(path, 3).get_pixbuf())):
            try:
                load()
                check(False, "%s loads %s" % (name, how))
            except GLib.Error as e:
                check(e.domain == "gdk-pixbuf-error-quark" and "sprite: " in e.message and len(e.message) > 20,
                      "%s %s: %s %s" % (name, how, e.domain, e.message))
                print("%s: %s" % (name, e.message))
check(animations >= 5, "the multi-frame files load as animations (%d)" % animations)

# The size comes from the header: a file whose pixels are cut off still
# tells the size of frame 1.
info = GdkPixbuf.Pixbuf.get_file_info(os.path.join(files, "truncated.s16"))
check(info[1:] == (20, 20), "truncated.s16: file info %r, want 20x20" % (info[1:],))

checks.exit()
