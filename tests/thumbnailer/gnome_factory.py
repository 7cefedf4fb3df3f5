#!/usr/bin/env python3
"""Runs inside the namespace set up by desktop_test.py: GNOME's thumbnail
factory makes a normal-size thumbnail of each SPRITE through the installed
thumbnailer entry, and its pixels must be those of EXPECTED_PNG, the
thumbnailer's own output at that size.  The factory then saves it in the
thumbnail cache.

Usage: gnome_factory.py SPRITE EXPECTED_PNG [SPRITE EXPECTED_PNG ...]
"""
import os
import sys

import gi

gi.require_version("GnomeDesktop", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GnomeDesktop  # noqa: E402

failures = 0
factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.NORMAL)


def rgba_rows(pixbuf):
    width, height, stride = pixbuf.get_width(), pixbuf.get_height(), pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    return width, height, [bytes(data[y * stride: y * stride + 4 * width]) for y in range(height)]


for sprite, expected_png in zip(sys.argv[1::2], sys.argv[2::2]):
    name = os.path.basename(sprite)
    f = Gio.File.new_for_path(sprite)
    info = f.query_info("standard::content-type,time::modified", Gio.FileQueryInfoFlags.NONE, None)
    mime, mtime, uri = info.get_content_type(), info.get_attribute_uint64("time::modified"), f.get_uri()
    if not factory.can_thumbnail(uri, mime, mtime):
        print("FAIL: %s: the factory has no thumbnailer for %s" % (name, mime))
        failures += 1
        continue
    try:
        made = factory.generate_thumbnail(uri, mime, None)
    except Exception as e:  # the factory reports a failed thumbnailer as an error
        print("FAIL: %s: the factory could not make a thumbnail: %s" % (name, e))
        failures += 1
        continue
    want = GdkPixbuf.Pixbuf.new_from_file(expected_png)
    if not made.get_has_alpha() or rgba_rows(made) != rgba_rows(want):
        print("FAIL: %s: the factory's %dx%d thumbnail differs from the thumbnailer's %dx%d" %
              (name, made.get_width(), made.get_height(), want.get_width(), want.get_height()))
        failures += 1
        continue
    factory.save_thumbnail(made, uri, mtime, None)
    cached = GnomeDesktop.desktop_thumbnail_path_for_uri(uri, GnomeDesktop.DesktopThumbnailSize.NORMAL)
    if not os.path.isfile(cached):
        print("FAIL: %s: no thumbnail in the cache at %s" % (name, cached))
        failures += 1
        continue
    print("%s (%s): %dx%d thumbnail from the GNOME factory, saved in the cache" %
          (name, mime, made.get_width(), made.get_height()))

sys.exit(1 if failures else 0)
