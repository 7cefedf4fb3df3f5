#!/usr/bin/env python3
"""The thumbnailer as a desktop sees it, installed into a temporary prefix.

Usage: desktop_test.py install BUILD_DIR SAMPLES_DIR GI_PYTHON
       desktop_test.py gnome   BUILD_DIR SAMPLES_DIR GI_PYTHON

install: the MIME XML is accepted by update-mime-database; through the
  database built from it, GIO's content-type lookup (what GNOME and others
  use) gives the three types by extension in any case; the .thumbnailer
  entry names the types, and its Exec line, run as a desktop runs it
  (%s, %u, %o substituted), makes the thumbnail.

gnome: GNOME's thumbnail factory (GnomeDesktop.DesktopThumbnailFactory)
  makes thumbnails of sprites through the installed entry.  The factory runs
  thumbnailers in a bubblewrap sandbox that shows only /usr of the file
  system, so the prefix is mounted on /usr/local in a private mount
  namespace of this test (unshare).  Where the machine allows no such
  namespace, or bubblewrap cannot start, the test is skipped (exit 77) and
  says why.

GI_PYTHON is a Python interpreter that has the GObject-introspection
bindings (Debian's python3).
"""
import configparser
import os
import shlex
import shutil
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from thumbnailer_support import Checks, Scratch, fit, frame_size, install, read_png, s16_bytes  # noqa: E402

MODE, BUILD, SAMPLES, GI_PYTHON = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3]), sys.argv[4]
TYPES = ["image/x-tamsorel-spr", "image/x-tamsorel-s16", "image/x-tamsorel-c16"]
HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
checks = Checks()
check = checks.check


def desktop_env(prefix, work):
    """An environment that sees the prefix's data before the system's and
    nothing of the user running the test."""
    env = dict(os.environ)
    env.update(PATH=os.path.join(prefix, "bin") + ":" + env.get("PATH", "/usr/bin:/bin"),
               XDG_DATA_DIRS=os.path.join(prefix, "share") + ":/usr/share",
               XDG_DATA_HOME=os.path.join(work, "data"), XDG_CACHE_HOME=os.path.join(work, "cache"),
               XDG_CONFIG_HOME=os.path.join(work, "config"), HOME=os.path.join(work, "home"))
    for d in ("data", "cache", "config", "home"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    return env


def content_types(env, names):
    """GIO's content type for each file name, from the MIME database."""
    script = ("import sys, gi\n"
              "from gi.repository import Gio\n"
              "for n in sys.argv[1:]: print(Gio.content_type_guess(n, None)[0])\n")
    p = subprocess.run([GI_PYTHON, "-c", script, *names], env=env, capture_output=True, text=True)
    check(p.returncode == 0, "GIO lookup: " + p.stderr)
    return p.stdout.split()


def test_install(work):
    prefix = install(BUILD, os.path.join(work, "prefix"))
    share = os.path.join(prefix, "share")
    for path in ("bin/tamsorel-thumbnailer", "share/mime/packages/tamsorel.xml",
                 "share/thumbnailers/tamsorel.thumbnailer", "share/man/man1/tamsorel-thumbnailer.1.gz"):
        check(os.path.isfile(os.path.join(prefix, path)), "installed: " + path)

    env = desktop_env(prefix, work)
    p = subprocess.run(["update-mime-database", os.path.join(share, "mime")], env=env, capture_output=True,
                       text=True)
    check(p.returncode == 0 and p.stderr.strip() == "", "update-mime-database: %d %s" % (p.returncode, p.stderr))
    for t, comment in zip(TYPES, ["SPR sprite image", "S16 sprite image", "C16 compressed sprite image"]):
        path = os.path.join(share, "mime", t + ".xml")
        text = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
        check(comment in text and "image-x-generic" in text, "database entry for %s: %r" % (t, text))

    names = ["x.C16", "x.c16", "a.Spr", "b.spr", "c.S16", "d.s16", "e.png"]
    got = content_types(env, names)
    want = [TYPES[2], TYPES[2], TYPES[0], TYPES[0], TYPES[1], TYPES[1], "image/png"]
    check(got == want, "content types %r, want %r" % (got, want))

    entry = configparser.ConfigParser(interpolation=None)
    entry.optionxform = str
    entry.read(os.path.join(share, "thumbnailers", "tamsorel.thumbnailer"))
    section = entry["Thumbnailer Entry"] if entry.has_section("Thumbnailer Entry") else {}
    check([t for t in section.get("MimeType", "").split(";") if t] == TYPES, "MimeType: %r" % dict(section))
    check(shutil.which(section.get("TryExec", "-"), path=env["PATH"]) == os.path.join(prefix, "bin", "tamsorel-thumbnailer"),
          "TryExec finds the installed program")

    # The desktop's run: the file's URI, the thumbnail size and a path in
    # its cache, substituted into the Exec line.
    sprite = os.path.join(work, "a sprite & 50%.S16")
    shutil.copy(os.path.join(SAMPLES, "gradient.s16"), sprite)
    out = os.path.join(work, "cache", "thumb.png")
    values = {"%s": "48", "%u": "file://" + urllib.parse.quote(sprite), "%o": out}
    argv = [values.get(a, a) for a in shlex.split(section.get("Exec", ""))]
    check(all(v in argv for v in values.values()), "Exec uses %s, %u and %o: " + repr(section.get("Exec")))
    p = subprocess.run(argv, env=env, capture_output=True, text=True)
    check(p.returncode == 0, "Exec line %r: %s" % (argv, p.stderr))
    if os.path.exists(out):
        width, height, _ = read_png(out)
        check((width, height) == fit(*frame_size(sprite), 48), "Exec thumbnail size %r" % ((width, height),))


def test_gnome(work):
    if not shutil.which("unshare") or subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "true"], capture_output=True).returncode != 0:
        print("SKIP: this machine allows no private mount namespace (unshare --mount fails), so the "
              "test prefix cannot be shown to the factory's bubblewrap sandbox, which sees only /usr")
        return SKIP
    if subprocess.run(["bwrap", "--ro-bind", "/", "/", "true"], capture_output=True).returncode != 0:
        print("SKIP: bubblewrap cannot start a sandbox here, and GNOME's factory runs every "
              "thumbnailer in one")
        return SKIP
    prefix = install(BUILD, os.path.join(work, "prefix"))
    subprocess.run(["update-mime-database", os.path.join(prefix, "share", "mime")], check=True,
                   env=desktop_env(prefix, work), stdout=subprocess.DEVNULL)

    # A frame larger than the factory's normal size (128) and the samples.
    wide = os.path.join(work, "wide sprite.S16")
    with open(wide, "wb") as f:
        f.write(s16_bytes(300, 200, lambda x, y: 0 if x < 30 else 0xF800 | (y // 4)))
    sprites = [wide]
    for name in ("shapes.c16", "sunset.spr", "ring-555.c16"):
        copy = os.path.join(work, name.upper())  # extensions in upper case
        shutil.copy(os.path.join(SAMPLES, name), copy)
        sprites.append(copy)

    # What the thumbnailer itself makes, to compare with the factory's result.
    expected = []
    for s in sprites:
        out = s + ".expected.png"
        subprocess.run([os.path.join(prefix, "bin", "tamsorel-thumbnailer"), "-s", "128", s, out], check=True)
        expected.append(out)

    env = desktop_env("/usr/local", work)
    inner = ("mount --bind \"$1\" /usr/local && shift && exec \"$@\"")
    p = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", inner, "sh", prefix,
                        GI_PYTHON, os.path.join(HERE, "gnome_factory.py"), *[a for pair in zip(sprites, expected) for a in pair]],
                       env=env, capture_output=True, text=True)
    print(p.stdout, end="")
    check(p.returncode == 0, "GNOME factory: exit %d\n%s" % (p.returncode, p.stderr))


with Scratch() as work:
    status = test_install(work) if MODE == "install" else test_gnome(work)
if status == SKIP:
    raise SystemExit(SKIP)
checks.exit()
