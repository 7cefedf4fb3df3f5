#!/usr/bin/env python3
"""Compares two release folders (dist/ of two builds of the same sources)
file by file and says where they part.

Usage: compare_release.py FIRST SECOND

Every file of either folder (sub-folders too, such as symbols/) must be in
both with the same bytes.  For a file that differs it names the first
differing offset and what lies there: the PE header field or section of a
Windows image, the section of an ELF file, the entry of a zip, the member of
a Debian package and the entry of its tar archives (time, mode, owner or
content; a differing program inside is looked into again).

Exit status: 0 when the folders hold the same files with the same bytes,
1 when they differ, 2 when there is nothing to compare.
"""
import gzip
import hashlib
import io
import lzma
import os
import re
import struct
import sys
import tarfile
import time
import zipfile

MAX_LINES = 12  # per file: the first differences say enough


def files_of(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = path
    return found


def first_difference(a, b):
    """The first offset at which a and b differ (the shorter one's length when
    one is the start of the other), or None."""
    if a == b:
        return None
    n = min(len(a), len(b))
    step = 4096
    for start in range(0, n, step):
        if a[start:start + step] != b[start:start + step]:
            for i in range(start, min(start + step, n)):
                if a[i] != b[i]:
                    return i
    return n


def later_differences(a, b, offset):
    """The starts of the runs of differing bytes after the first one, in
    files of one length."""
    at, n, step = offset, len(a), 4096
    inside = True
    while at < n:
        if not inside and a[at:at + step] == b[at:at + step]:
            at += step
            continue
        end = min(at + step, n)
        for i in range(at, end):
            differs = a[i] != b[i]
            if differs and not inside:
                yield i
            inside = differs
        at = end


# --- PE images (Tamsorel.dll, tamsorel.exe, their .debug files, the setup)

PE_FIELDS = (  # (offset from the "PE\0\0" signature, size, name)
    (4, 2, "Machine"), (6, 2, "NumberOfSections"), (8, 4, "TimeDateStamp"),
    (12, 4, "PointerToSymbolTable"), (16, 4, "NumberOfSymbols"), (20, 2, "SizeOfOptionalHeader"),
    (22, 2, "Characteristics"), (24 + 64, 4, "CheckSum"),
)


def pe_place(data, offset):
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    sections, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, pe + 6)
    table = pe + 24 + optional_size
    for field_offset, size, name in PE_FIELDS:
        if pe + field_offset <= offset < pe + field_offset + size:
            return "the PE header's %s" % name
    if offset < table:
        return "the PE headers"
    last_end = 0
    for i in range(sections):
        entry = table + 40 * i
        if entry + 40 > len(data):
            break
        name = data[entry:entry + 8].rstrip(b"\0").decode("latin-1")
        size, pointer = struct.unpack_from("<II", data, entry + 16)
        if offset < entry + 40 and offset >= entry:
            return "the section table (entry of %s)" % name
        if pointer <= offset < pointer + size:
            return "section %s of the PE image (at 0x%x of it)" % (name, offset - pointer)
        last_end = max(last_end, pointer + size)
    if offset >= last_end:
        return "the data after the PE image's sections (at 0x%x of it)" % (offset - last_end)
    return "the PE image, outside every section"


# --- ELF files (the Linux programs and plug-ins inside the packages)

def elf_place(data, offset):
    if data[:4] != b"\x7fELF" or len(data) < 0x40:
        return None
    wide, little = data[4] == 2, data[5] == 1
    order = "<" if little else ">"
    if wide:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", data, 0x3A)
        header_size = 0x40
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", data, 0x2E)
        header_size = 0x34
    if offset < header_size:
        return "the ELF header"
    sections = []
    for i in range(shnum):
        entry = shoff + i * shentsize
        if entry + shentsize > len(data):
            return "the ELF file (its section headers lie beyond its end)"
        if wide:
            name, kind, _, _, at, size = struct.unpack_from(order + "IIQQQQ", data, entry)
        else:
            name, kind, _, _, at, size = struct.unpack_from(order + "IIIIII", data, entry)
        sections.append((name, kind, at, size))
    if shoff <= offset < shoff + shnum * shentsize:
        return "the ELF section headers"
    names_at = sections[shstrndx][2] if shstrndx < len(sections) else None

    def name_of(index):
        if names_at is None:
            return "#%d" % index
        start = names_at + sections[index][0]
        return data[start:data.index(b"\0", start)].decode("latin-1")

    for i, (_, kind, at, size) in enumerate(sections):
        if kind != 8 and at <= offset < at + size:  # 8: SHT_NOBITS holds no bytes
            return "section %s of the ELF file (at 0x%x of it)" % (name_of(i), offset - at)
    return "the ELF file, outside every section (program headers or padding)"


# --- archives: zip, ar (.deb), tar, gzip

def gzip_place(data, offset):
    if data[:2] != b"\x1f\x8b":
        return None
    if 4 <= offset < 8:
        return "the gzip header's time"
    return "the gzip stream" if offset >= 10 else "the gzip header"


def unix_time(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def compare_entries(kind, first, second, lines, where):
    """first, second: ordered lists of (name, {attribute: value}, content or
    None).  Appends what differs to lines."""
    names_a, names_b = [e[0] for e in first], [e[0] for e in second]
    if names_a != names_b:
        only_a = [n for n in names_a if n not in names_b]
        only_b = [n for n in names_b if n not in names_a]
        if only_a or only_b:
            lines.append("%s%s entries only in the first: %s; only in the second: %s"
                         % (where, kind, only_a or "none", only_b or "none"))
        else:
            lines.append("%s%s entries in another order: %s against %s" % (where, kind, names_a, names_b))
    second_by_name = {e[0]: e for e in second}
    for name, attributes, content in first:
        if name not in second_by_name:
            continue
        _, other_attributes, other_content = second_by_name[name]
        for key in attributes:
            if attributes[key] != other_attributes.get(key):
                lines.append("%s%s entry %s: %s %s against %s" % (where, kind, name, key, attributes[key],
                                                                  other_attributes.get(key)))
        if content is not None and content != other_content:
            lines.extend(describe(content, other_content or b"", "%s%s entry %s: " % (where, kind, name)))


def zip_entries(data):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return [(info.filename,
                 {"time": "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time,
                  "mode": "0o%o" % (info.external_attr >> 16), "system": info.create_system,
                  "extra fields": info.extra.hex() or "none", "compression": info.compress_type},
                 archive.read(info)) for info in archive.infolist()]


def ar_entries(data):
    entries, at = [], 8
    while at + 60 <= len(data):
        header = data[at:at + 60]
        name = header[:16].decode("latin-1").strip()
        size = int(header[48:58].decode("latin-1").strip() or 0)
        entries.append((name, {"time": unix_time(int(header[16:28].strip() or 0)),
                               "owner": "%s/%s" % (header[28:34].decode().strip(), header[34:40].decode().strip()),
                               "mode": header[40:48].decode().strip()},
                        data[at + 60:at + 60 + size]))
        at += 60 + size + (size & 1)
    return entries


def unpacked(name, data):
    """The bytes of a compressed member, or None when its compression is
    not one this script reads."""
    try:
        if name.endswith(".gz"):
            return gzip.decompress(data)
        if name.endswith(".xz"):
            return lzma.decompress(data)
    except (OSError, lzma.LZMAError, EOFError):
        return None
    if name.endswith(".tar"):
        return data
    return None


def tar_entries(data):
    entries = []
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:") as archive:
        for member in archive.getmembers():
            content = archive.extractfile(member).read() if member.isfile() else None
            entries.append((member.name, {"time": unix_time(member.mtime), "mode": "0o%o" % member.mode,
                                          "owner": "%s:%s (%d:%d)" % (member.uname, member.gname, member.uid,
                                                                       member.gid),
                                          "type": member.type, "link": member.linkname}, content))
    return entries


def describe(a, b, where=""):
    """Lines that say where a and b (the bytes of one file or archive entry
    in each release) differ."""
    offset = first_difference(a, b)
    if offset is None:
        return []
    lines = []
    size = "" if len(a) == len(b) else ", %d bytes against %d" % (len(a), len(b))
    def place_of(at):
        return pe_place(a, at) or elf_place(a, at) or gzip_place(a, at)

    place = place_of(offset)
    lines.append("%sfirst difference at byte 0x%x%s%s" % (where, offset, " in " + place if place else "", size))
    if place and len(a) == len(b):
        # Where else the bytes differ, one line per part of the file.
        def part(where_in):
            return re.sub(r" \(at 0x[0-9a-f]+ of it\)$", "", where_in)

        seen = {part(place)}
        for at in later_differences(a, b, offset):
            other = place_of(at)
            if other and part(other) not in seen:
                seen.add(part(other))
                lines.append("%salso at byte 0x%x in %s" % (where, at, other))
                if len(seen) > 6:
                    break
    try:
        if a[:4] == b"PK\3\4" and b[:4] == b"PK\3\4":
            compare_entries("zip", zip_entries(a), zip_entries(b), lines, where)
        elif a[:8] == b"!<arch>\n" and b[:8] == b"!<arch>\n":
            first, second = ar_entries(a), ar_entries(b)
            others = {name: content for name, _, content in second}
            # A member that is a tar archive on both sides and unpacks
            # differently is described by its entries (times, modes, owners,
            # contents) rather than by its compressed bytes.
            looked_into = []
            for i, (name, attributes, content) in enumerate(first):
                if name in others and content != others[name]:
                    one, other = unpacked(name, content), unpacked(name, others[name])
                    if one is not None and other is not None and one != other:
                        first[i] = (name, attributes, None)
                        looked_into.append((name, one, other))
            compare_entries("ar", first, second, lines, where)
            for name, one, other in looked_into:
                compare_entries("tar", tar_entries(one), tar_entries(other), lines, "%s%s: " % (where, name))
    except (zipfile.BadZipFile, tarfile.TarError, ValueError, struct.error, UnicodeDecodeError) as error:
        lines.append("%scannot look inside (%s)" % (where, error))
    return lines


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    first, second = argv[1], argv[2]
    files_a, files_b = files_of(first), files_of(second)
    if not files_a:
        print("compare_release: %s holds no files: nothing to compare" % first, file=sys.stderr)
        return 2
    differing = 0
    for name in sorted(set(files_a) | set(files_b)):
        if name not in files_b:
            print("DIFFERS %s: only in %s" % (name, first))
            differing += 1
            continue
        if name not in files_a:
            print("DIFFERS %s: only in %s" % (name, second))
            differing += 1
            continue
        with open(files_a[name], "rb") as one, open(files_b[name], "rb") as other:
            a, b = one.read(), other.read()
        if a == b:
            print("   same  %s  %s" % (hashlib.sha256(a).hexdigest()[:16], name))
            continue
        differing += 1
        lines = describe(a, b)
        print("DIFFERS %s: %s" % (name, lines[0]))
        for line in lines[1:MAX_LINES]:
            print("          " + line)
        if len(lines) > MAX_LINES:
            print("          ... and %d more differences" % (len(lines) - MAX_LINES))
    total = len(set(files_a) | set(files_b))
    if differing:
        print("%d of %d release files differ between %s and %s" % (differing, total, first, second))
        return 1
    print("the %d release files are the same in %s and %s" % (total, first, second))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
