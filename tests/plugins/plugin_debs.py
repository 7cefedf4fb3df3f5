"""Checks of the image plug-ins' Debian packages, called by the package test
of tests/thumbnailer (deb_test.py), which builds every package with CPack:
names, contents, dependencies (GTK programs' package pulls in no Qt, each
Qt's package neither GTK nor the other Qt), no maintainer scripts (the distribution's own
triggers and paths do the work), lintian; and the loader, unpacked, works
through GdkPixbuf with a loader cache made for it."""
import os
import re
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def output(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def check_plugin_debs(checks, debs, version, arch, work):
    check = checks.check
    multiarch = output("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
    loaders = "./usr/lib/%s/gdk-pixbuf-2.0/2.10.0/loaders/" % multiarch
    packages = {
        "tamsorel-pixbuf-loader": {
            "files": {loaders + "libpixbufloader-tamsorel-spr.so", loaders + "libpixbufloader-tamsorel-s16.so"},
            "needs": ("libgdk-pixbuf-2.0-0", "libglib2.0-0", "tamsorel-thumbnailer"),
            "never": ("qt",),
        },
    }
    # One package per Qt: each pulls in its own Qt and nothing of the other.
    for qt, core, other in ((5, "libqt5core5a", 6), (6, "libqt6core6", 5)):
        packages["tamsorel-qt%d-image-formats" % qt] = {
            "files": {"./usr/lib/%s/qt%d/plugins/imageformats/libtamsorel.so" % (multiarch, qt)},
            "needs": ("libqt%dgui%d" % (qt, qt), core, "tamsorel-thumbnailer"),
            "never": ("gdk", "gtk", "glib", "libqt%d" % other),
        }
    by_name = {os.path.basename(d).split("_")[0]: d for d in debs}
    check(set(by_name) == set(packages), "plug-in packages %r, want %r" % (sorted(by_name), sorted(packages)))
    for name, want in packages.items():
        deb = by_name.get(name)
        if not deb:
            continue
        check(os.path.basename(deb) == "%s_%s_%s.deb" % (name, version, arch), "file name " + deb)
        fields = dict(re.findall(r"^(\S+): (.*)$", output("dpkg-deb", "-f", deb), re.M))
        check(fields.get("Section") == "graphics" and fields.get("Version") == version, "%s: fields %r" % (name, fields))
        depends = [d.split()[0] for d in re.split(r", | \| ", fields.get("Depends", ""))]
        for needed in want["needs"]:
            check(needed in depends, "%s: Depends has %s: %r" % (name, needed, fields.get("Depends")))
        check(not any(word in d for d in depends for word in want["never"]),
              "%s: Depends on nothing of the other toolkit: %r" % (name, fields.get("Depends")))
        check("(= %s)" % version in fields.get("Depends", ""), "%s: the thumbnailer of the same version" % name)
        description = output("dpkg-deb", "-f", deb, "Description").splitlines()
        check(len(description) > 3 and "sprite" in description[0], "%s: Description %r" % (name, description[:1]))

        listing = output("dpkg-deb", "-c", deb).splitlines()
        files = {line.split()[-1] for line in listing if not line.startswith("d")}
        docs = {"./usr/share/doc/%s/copyright" % name, "./usr/share/doc/%s/changelog.gz" % name}
        check(files == want["files"] | docs, "%s: contents: extra %r, missing %r" %
              (name, files - want["files"] - docs, (want["files"] | docs) - files))
        check(all(line.split()[1] == "root/root" for line in listing), "%s: every file owned by root" % name)
        scripts = output("dpkg-deb", "-I", deb)
        check("postinst" not in scripts and "postrm" not in scripts and "triggers" not in scripts,
              "%s: no maintainer scripts or triggers of its own" % name)

        p = subprocess.run(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0", deb],
                           capture_output=True, text=True)
        report = [line for line in p.stdout.splitlines() if re.match(r"[EWIP]: ", line)]
        for line in report:
            print("lintian:", line)
        check(p.returncode == 0 and not any(line[:2] in ("E:", "W:") for line in report),
              "%s: lintian reports errors or warnings (exit %d): %s" % (name, p.returncode, p.stderr.strip()))

    # The gdk-pixbuf trigger that rebuilds the loader cache watches the folder
    # the modules go to.
    triggers = "/var/lib/dpkg/info/libgdk-pixbuf-2.0-0:%s.triggers" % arch
    if os.path.exists(triggers):
        check(re.search(r"^interest\S*\s+%s\s*$" % re.escape(loaders[1:].rstrip("/")), open(triggers).read(), re.M)
              is not None, "libgdk-pixbuf-2.0-0 watches " + loaders[1:])

    # Unpacked, the loader's modules open a sample through GdkPixbuf.
    deb = by_name.get("tamsorel-pixbuf-loader")
    query = "/usr/lib/%s/gdk-pixbuf-2.0/gdk-pixbuf-query-loaders" % multiarch
    if deb and os.path.exists(query) and os.path.exists("/usr/bin/python3"):
        root = os.path.join(work, "unpacked")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        modules = sorted(os.path.join(root, loaders[2:], m) for m in os.listdir(os.path.join(root, loaders[2:])))
        cache = os.path.join(work, "loaders.cache")
        with open(cache, "w") as f:
            f.write(output(query, *modules))
        sample = os.path.join(ROOT, "samples", "spin.c16")
        p = subprocess.run(["/usr/bin/python3", "-c",
                            "import sys, gi; gi.require_version('GdkPixbuf', '2.0')\n"
                            "from gi.repository import GdkPixbuf\n"
                            "l = GdkPixbuf.PixbufLoader.new_with_mime_type('image/x-tamsorel-c16')\n"
                            "l.write(open(sys.argv[1], 'rb').read()); l.close()\n"
                            "print(l.get_format().get_name(), l.get_animation().is_static_image())", sample],
                           env=dict(os.environ, GDK_PIXBUF_MODULE_FILE=cache), capture_output=True, text=True)
        check(p.returncode == 0 and p.stdout.split() == ["tamsorel-s16", "False"],
              "the unpacked loader opens %s as an animation: %s %s" % (sample, p.stdout.strip(), p.stderr.strip()))
