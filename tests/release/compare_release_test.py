#!/usr/bin/env python3
"""compare_release.py, which the release check runs on two dist/ folders,
over small releases made here: the same bytes pass; each kind of difference
a release can carry (a file too many, a PE time stamp, bytes in a section,
the data after a setup program's sections, zip entry times and order, a
Debian package's tar entry times and programs) fails and is named where it
lies.

Usage: compare_release_test.py COMPARE_RELEASE_PY C_COMPILER
"""
import gzip
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

COMPARE, CC = sys.argv[1], sys.argv[2]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED: " + message)
    return condition


def pe_image(timestamp=0x5F000000, rdata=b"constant data\0\0\0", overlay=b""):
    """A 32-bit PE image with .text and .rdata, and data after them (as a
    setup program carries its files)."""
    sections = [(b".text", b"\x55\x89\xe5\xc3" * 8), (b".rdata", rdata)]
    optional_size = 0xE0
    table = 0x40 + 24 + optional_size
    raw = (table + 40 * len(sections) + 0x1FF) & ~0x1FF
    header = bytearray(raw)
    header[:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x40)
    header[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", header, 0x44, 0x14C, len(sections), timestamp, 0, 0, optional_size, 0x2102)
    optional = 0x40 + 24
    struct.pack_into("<H", header, optional, 0x10B)                 # PE32
    struct.pack_into("<I", header, optional + 28, 0x400000)         # ImageBase
    struct.pack_into("<II", header, optional + 32, 0x1000, 0x200)   # section and file alignment
    struct.pack_into("<HH", header, optional + 48, 4, 0)            # subsystem version
    struct.pack_into("<I", header, optional + 56, 0x1000 * (len(sections) + 1))  # SizeOfImage
    struct.pack_into("<I", header, optional + 60, raw)              # SizeOfHeaders
    struct.pack_into("<H", header, optional + 68, 2)                # GUI subsystem
    struct.pack_into("<I", header, optional + 92, 16)               # NumberOfRvaAndSizes
    body = b""
    for i, (name, data) in enumerate(sections):
        padded = data + bytes(-len(data) % 0x200)
        struct.pack_into("<8sIIII", header, table + 40 * i, name, len(data), 0x1000 * (i + 1), len(padded),
                         raw + len(body))
        struct.pack_into("<I", header, table + 40 * i + 36, 0x40000040)
        body += padded
    return bytes(header) + body + overlay


def zipped(entries):
    """entries: (name, date_time, data)."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, date_time, data in entries:
            info = zipfile.ZipInfo(name, date_time)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return out.getvalue()


def deb(files, mtime=1700000000):
    """A Debian package (ar) whose data.tar.gz holds files: name -> bytes."""
    def tar_gz(members):
        raw = io.BytesIO()
        with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as archive:
            for name, data in members.items():
                info = tarfile.TarInfo(name)
                info.size, info.mtime, info.mode, info.uname, info.gname = len(data), mtime, 0o755, "root", "root"
                archive.addfile(info, io.BytesIO(data))
        return gzip.compress(raw.getvalue(), mtime=0)

    def member(name, data):
        header = b"%-16s%-12d%-6d%-6d%-8s%-10d`\n" % (name.encode(), 1700000000, 0, 0, b"100644", len(data))
        return header + data + (b"\n" if len(data) & 1 else b"")

    return b"!<arch>\n" + member("debian-binary", b"2.0\n") + \
        member("control.tar.gz", tar_gz({"./control": b"Package: tool\n"})) + \
        member("data.tar.gz", tar_gz(files))


work = tempfile.mkdtemp(prefix="compare-release-")
try:
    # A small ELF program and where its .text lies, by readelf.
    source = os.path.join(work, "tool.c")
    with open(source, "w") as f:
        f.write("int main(void) { return 42; }\n")
    program = os.path.join(work, "tool")
    subprocess.run([CC, "-O1", "-o", program, source], check=True)
    with open(program, "rb") as f:
        elf = f.read()
    sections = subprocess.run(["readelf", "-S", "-W", program], capture_output=True, text=True, check=True).stdout
    text_offset = int(re.search(r"\]\s+\.text\s+\S+\s+\S+\s+([0-9a-f]+)", sections).group(1), 16)
    elf_changed = bytearray(elf)
    elf_changed[text_offset + 2] ^= 0xFF

    # The PE fixture is an image binutils reads, with .rdata where it says.
    pe = pe_image()
    with open(os.path.join(work, "image.dll"), "wb") as f:
        f.write(pe)
    headers = subprocess.run(["objdump", "-h", os.path.join(work, "image.dll")], capture_output=True, text=True)
    rdata = re.search(r"\.rdata\s+\S+\s+\S+\s+\S+\s+([0-9a-f]+)", headers.stdout)
    check(headers.returncode == 0 and rdata is not None, "objdump reads the PE fixture: " + headers.stderr)
    rdata_offset = int(rdata.group(1), 16) if rdata else 0
    check(pe[rdata_offset:rdata_offset + 8] == b"constant", ".rdata lies where objdump says")

    when, later = (2024, 1, 2, 3, 4, 6), (2024, 1, 2, 3, 4, 8)
    release = {
        "Tamsorel-1.0-setup.exe": pe_image(overlay=b"installer data" * 10),
        "Tamsorel-1.0.zip": zipped([("x64/Tamsorel.dll", when, pe), ("README.txt", when, b"read me\r\n")]),
        "tool_1.0_amd64.deb": deb({"./usr/bin/tool": elf}),
        "symbols/x64/Tamsorel.dll.debug": pe_image(rdata=b"debug information"),
    }

    # (case, changes to the second release, exit status, what the report says)
    cases = [
        ("the same bytes", {}, 0, [r"the 4 release files are the same"]),
        ("a file of an older release", {"Tamsorel-0.9.zip": b"PK old"}, 1,
         [r"DIFFERS Tamsorel-0\.9\.zip: only in .*second"]),
        ("a symbol file missing", {"symbols/x64/Tamsorel.dll.debug": None}, 1,
         [r"DIFFERS symbols/x64/Tamsorel\.dll\.debug: only in .*first"]),
        ("a link time in the PE header", {"symbols/x64/Tamsorel.dll.debug": pe_image(0x6000000,
                                                                                      rdata=b"debug information")},
         1, [r"Tamsorel\.dll\.debug: first difference at byte 0x4[89a-f] in the PE header's TimeDateStamp"]),
        ("a path in a section", {"symbols/x64/Tamsorel.dll.debug": pe_image(rdata=b"debug informatioN")}, 1,
         [r"Tamsorel\.dll\.debug: first difference at byte 0x%x in section \.rdata of the PE image \(at 0x10 "
          % (rdata_offset + 16)]),
        ("a link time and a path", {"symbols/x64/Tamsorel.dll.debug": pe_image(0x6000000,
                                                                                 rdata=b"debug informatioN")},
         1, [r"PE header's TimeDateStamp", r"also at byte 0x%x in section \.rdata of the PE image \(at 0x10 "
             % (rdata_offset + 16)]),
        ("the files of a setup program", {"Tamsorel-1.0-setup.exe": pe_image(overlay=b"installer dat4" * 10)}, 1,
         [r"setup\.exe: first difference at byte 0x[0-9a-f]+ in the data after the PE image's sections "
          r"\(at 0xd of it\)"]),
        ("a zip entry's time", {"Tamsorel-1.0.zip": zipped([("x64/Tamsorel.dll", later, pe),
                                                             ("README.txt", when, b"read me\r\n")])}, 1,
         [r"zip entry x64/Tamsorel\.dll: time 2024-01-02 03:04:06 against 2024-01-02 03:04:08"]),
        ("zip entries in another order", {"Tamsorel-1.0.zip": zipped([("README.txt", when, b"read me\r\n"),
                                                                      ("x64/Tamsorel.dll", when, pe)])}, 1,
         [r"zip entries in another order"]),
        ("a program in a zip entry", {"Tamsorel-1.0.zip": zipped([("x64/Tamsorel.dll", when, pe_image(7)),
                                                                  ("README.txt", when, b"read me\r\n")])}, 1,
         [r"zip entry x64/Tamsorel\.dll: first difference at byte 0x4[89a-f] in the PE header's TimeDateStamp"]),
        ("a package's file times", {"tool_1.0_amd64.deb": deb({"./usr/bin/tool": elf}, mtime=1700000100)}, 1,
         [r"data\.tar\.gz: tar entry \./usr/bin/tool: time 2023-11-14 22:13:20 UTC against 2023-11-14 22:15:00 UTC"]),
        ("a packaged program", {"tool_1.0_amd64.deb": deb({"./usr/bin/tool": bytes(elf_changed)})}, 1,
         [r"data\.tar\.gz: tar entry \./usr/bin/tool: first difference at byte 0x%x in section \.text of the ELF "
          r"file \(at 0x2 of it\)" % (text_offset + 2)]),
    ]

    for number, (name, changes, status, expected) in enumerate(cases):
        first, second = os.path.join(work, "%d-first" % number), os.path.join(work, "%d-second" % number)
        for root, files in ((first, release), (second, dict(release, **changes))):
            for relative, data in files.items():
                if data is None:
                    continue
                path = os.path.join(root, relative)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(data)
        p = subprocess.run([sys.executable, COMPARE, first, second], capture_output=True, text=True)
        report = p.stdout + p.stderr
        check(p.returncode == status, "%s: exit status %d, want %d\n%s" % (name, p.returncode, status, report))
        for pattern in expected:
            check(re.search(pattern, report) is not None, "%s: the report says /%s/:\n%s" % (name, pattern, report))

    empty = os.path.join(work, "empty")
    os.makedirs(empty)
    p = subprocess.run([sys.executable, COMPARE, empty, empty], capture_output=True, text=True)
    check(p.returncode == 2 and "nothing to compare" in p.stderr, "two empty folders are no release: " + p.stderr)
finally:
    shutil.rmtree(work, ignore_errors=True)

print("%d failures" % len(failures) if failures else "all cases passed")
sys.exit(1 if failures else 0)
