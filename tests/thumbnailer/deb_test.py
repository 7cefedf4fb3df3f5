#!/usr/bin/env python3
"""The Debian package of the thumbnailer, built with CPack from the build
tree and checked with dpkg-deb and lintian.

Usage: deb_test.py BUILD_DIR VERSION
"""
import glob
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from thumbnailer_support import Checks, Scratch  # noqa: E402

BUILD, VERSION = os.path.abspath(sys.argv[1]), sys.argv[2]
checks = Checks()
check = checks.check

FILES = {
    "./usr/bin/tamsorel-thumbnailer",
    "./usr/bin/tamsorel",
    "./usr/share/mime/packages/tamsorel.xml",
    "./usr/share/thumbnailers/tamsorel.thumbnailer",
    "./usr/share/man/man1/tamsorel-thumbnailer.1.gz",
    "./usr/share/man/man1/tamsorel.1.gz",
    "./usr/share/doc/tamsorel-thumbnailer/copyright",
    "./usr/share/doc/tamsorel-thumbnailer/changelog.gz",
}


def output(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


with Scratch() as work:
    p = subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", work],
                       capture_output=True, text=True)
    debs = glob.glob(os.path.join(work, "*.deb"))
    # The image plug-ins, where they were built, make packages of their own.
    plugin_debs = [d for d in debs if not os.path.basename(d).startswith("tamsorel-thumbnailer_")]
    debs = [d for d in debs if d not in plugin_debs]
    if not check(p.returncode == 0 and len(debs) == 1, "cpack made one .deb: %s %s" % (p.stdout, p.stderr)):
        checks.exit()
    deb = debs[0]
    arch = output("dpkg", "--print-architecture").strip()
    check(os.path.basename(deb) == "tamsorel-thumbnailer_%s_%s.deb" % (VERSION, arch), "file name " + deb)

    fields = dict(re.findall(r"^(\S+): (.*)$", output("dpkg-deb", "-f", deb), re.M))
    for name, value in (("Package", "tamsorel-thumbnailer"), ("Version", VERSION), ("Architecture", arch),
                        ("Section", "graphics"), ("Priority", "optional")):
        check(fields.get(name) == value, "%s: %r, want %r" % (name, fields.get(name), value))
    depends = [d.split()[0] for d in fields.get("Depends", "").split(", ")]
    # Computed from the binary (dpkg-shlibdeps), and the MIME database tools.
    for needed in ("libc6", "libpng16-16", "libstdc++6", "shared-mime-info"):
        check(needed in depends, "Depends has %s: %r" % (needed, fields.get("Depends")))
    check(re.match(r"[^<>]+ <[^@\s]+@[^@\s]+\.[a-z]+>$", fields.get("Maintainer", "")) is not None,
          "Maintainer is a name and an address: %r" % fields.get("Maintainer"))
    description = output("dpkg-deb", "-f", deb, "Description").splitlines()
    check(len(description) > 3 and "sprite" in description[0] and "thumbnail" in description[0],
          "Description with a synopsis and a long text: %r" % description[:2])

    listing = output("dpkg-deb", "-c", deb).splitlines()
    files = {line.split()[-1] for line in listing if not line.startswith("d")}
    check(files == FILES, "contents: extra %r, missing %r" % (files - FILES, FILES - files))
    modes = {line.split()[-1]: line.split()[0] for line in listing}
    check(modes.get("./usr/bin/tamsorel-thumbnailer") == "-rwxr-xr-x", "program mode")
    check(all(line.split()[1] == "root/root" for line in listing), "every file owned by root")

    # No maintainer scripts: shared-mime-info's file trigger on the packages
    # folder updates the database when this package adds or removes its file.
    scripts = subprocess.run(["dpkg-deb", "-I", deb], capture_output=True, text=True).stdout
    check("postinst" not in scripts and "postrm" not in scripts, "no maintainer scripts")
    triggers = "/var/lib/dpkg/info/shared-mime-info.triggers"
    if os.path.exists(triggers):
        check(re.search(r"^interest\S*\s+/usr/share/mime/packages\s*$", open(triggers).read(), re.M) is not None,
              "shared-mime-info watches /usr/share/mime/packages")

    p = subprocess.run(["lintian", "--fail-on", "error", "--no-tag-display-limit", deb], capture_output=True,
                       text=True)
    report = [line for line in p.stdout.splitlines() if re.match(r"[EWIP]: ", line)]
    for line in report:
        print("lintian:", line)
    check(p.returncode == 0 and not any(line.startswith("E:") for line in report),
          "lintian reports errors (exit %d): %s" % (p.returncode, p.stderr.strip()))
    print("lintian: %d error(s), %d warning(s)" % (sum(l.startswith("E:") for l in report),
                                                  sum(l.startswith("W:") for l in report)))

    if plugin_debs:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "plugins"))
        from plugin_debs import check_plugin_debs  # noqa: E402
        check_plugin_debs(checks, plugin_debs, VERSION, arch, work)

checks.exit()
