#!/usr/bin/env python3
"""The Windows release, installed and removed as a user would, under Wine.

Each run makes a fresh private prefix (64-bit with --arch win64, 32-bit with
--arch win32), and deletes it at the end.  In it:

  - the release's SHA256SUMS matches its setup program and zip, and the
    setup and the installed uninstaller carry version information;
  - before the install the shell has no thumbnail handler for the samples;
  - a silent install puts the DLLs of the prefix's bitnesses in place, each
    registered in its own registry view, with the shipped tamsorel.exe
    beside each, and writes the Programs and Features entry;
  - each installed tamsorel.exe runs from the install folder: --help, and
    an export of a sample into an RGBA PNG of the sample's size;
  - thumbhost of each bitness renders every sample, through the registry
    binding and through the shell's own lookup (--shell), byte for byte as
    tamsorel-thumb does;
  - installing again changes nothing, and repairs a missing file;
  - the entry's QuietUninstallString, run as a deployment tool runs it,
    returns when the uninstall is done: the files (tamsorel.exe too) are
    gone and the registry is as it was before the install, apart from the
    empty keys that the registration scripts never remove;
  - a setup whose registration fails exits 2 and leaves the same clean
    state: the x64 DLL's in the 64-bit prefix, the x86 DLL's in the 32-bit
    one and, where the 64-bit prefix installs both, the x86 DLL's there too;
  - a table of rows in each prefix, with stand-ins of the prefix's own
    bitness, each ending with the registry as before the install and no
    install folder: the release upgraded by a later setup
    while a process holds its DLL (exit 0, every sample renders through the
    shell at once, the held copy gone after a restart); stand-in DLLs that
    register a marker of their version (v1, v2) and one whose registration
    fails, for a plain upgrade, a failed upgrade (v2 kept whole, exit 2), a
    refused silent downgrade and /DOWNGRADE, an upgrade over a held v1; one
    install location (/D= kept by a later default run, moved by /D=
    elsewhere, untouched by a failed install into a third folder, created
    parent folders removed); uninstall then install in sequence, also with
    the DLL held and a restart after; an install folder whose x64\ was
    deleted; /D= targets that are refused (a folder with the user's files,
    a missing drive, a file, a drive root, a path too long) with exit 2,
    nothing written and the user's files byte-identical; other spellings
    of the install folder (its short name, "\.\", "..\", a doubled
    backslash, letter case, a trailing backslash) given with /D= or
    recorded in the entry by an earlier setup, each a repair in place; a
    failed upgrade that cannot put the previous DLL back, whose message
    says so and what is registered; another program's entries in
    PendingFileRenameOperations kept byte for byte over install, upgrade,
    uninstall and an install that takes back the uninstaller's own
    entries;
  - the release's DLLs are the current build's, stripped (a stale dist/ is
    refused), and SHA256SUMS covers every release file;
  - /D= installs into another folder, from which the uninstaller removes it
    with the parent folder the setup made, and no ~nsu*.tmp folder is left.

The release's setup is a 32-bit program.  Where 32-bit programs run, both
prefixes are tested with it.  On a machine that cannot run 32-bit programs
at all, the 64-bit prefix is tested with the 64-bit, x64-only build of the
same setup script instead (and says so), and the 32-bit prefix is skipped.

Install and uninstall times are printed as figures.  Exit status 77 (skipped)
when the release has not been made (./run dist) or the prefix's bitness
cannot run here.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "thumbnailer"))
from thumbnailer_support import frame_size, read_png  # noqa: E402

SKIP = 77
REBOOT_REQUIRED = 3010
CLSID = "{062ab647-ea2f-4a58-9156-7ac33789ebf8}"
PROPERTIES_CLSID = "{95133135-5dc9-4d6f-9069-6861c1142bdd}"
WIC_DECODER_CLSID = "{229c1a6f-eed6-4dae-9942-50f981afbbec}"
WIC_DECODERS = "{7ed96837-96f0-4812-b211-f13c24117ed3}"  # WIC's decoder category
PREVIEW_CLSID = "{6e603337-6d05-4fcc-bae0-adcf8e18b5df}"
PREVIEW_BINDING = "{8895b1c6-b41f-4c1c-a562-0d564250836f}"
# The preview host the preview handler names: the one of the system's own
# bitness, or the one for 32-bit handlers on 64-bit Windows.
NATIVE_PREVIEW_HOST = "{6d2b5079-2f0b-48dd-ab7f-97cec514d30b}"
WOW64_PREVIEW_HOST = "{534a1e02-d58f-44f0-b58b-36cbed287c7c}"
UNINSTALL_KEY = r"software\microsoft\windows\currentversion\uninstall\tamsorel"
EXTENSIONS = (".c16", ".s16", ".spr")

# Keys that the registration scripts mark as never removed: unregistering
# leaves them, empty, when the install created them, in either registry view
# (the 32-bit one lives under Wow6432Node on 64-bit Windows).
NEVER_REMOVED = set()
for _classes, _software in ((r"software\classes", "software"),
                            (r"software\classes\wow6432node", r"software\wow6432node")):
    NEVER_REMOVED |= {_classes + r"\appid",
                      _software + r"\microsoft\windows\currentversion\shell extensions",
                      _software + r"\microsoft\windows\currentversion\shell extensions\approved"}
    NEVER_REMOVED |= {_classes + r"\systemfileassociations",
                      _software + r"\microsoft\windows\currentversion\previewhandlers",
                      _software + r"\microsoft\windows\currentversion\propertysystem",
                      _software + r"\microsoft\windows\currentversion\propertysystem\propertyhandlers"}
    for _ext in EXTENSIONS:
        NEVER_REMOVED |= {_classes + "\\" + _ext, _classes + "\\" + _ext + r"\shellex",
                          _classes + r"\systemfileassociations" + "\\" + _ext,
                          _classes + r"\systemfileassociations" + "\\" + _ext + r"\shellex"}

# The shell's list of blocked extensions: Wine's shell creates it, empty, the
# first time its lookup finds a handler (the test's thumbnails, not the setup).
SHELL_CREATED = {
    r"software\microsoft\windows\currentversion\shell extensions\blocked",
    r"software\wow6432node\microsoft\windows\currentversion\shell extensions\blocked",
    r"hkcu\software\microsoft\windows\currentversion\shell extensions\blocked",
}

# What Wine itself changes in a prefix while programs run, install or no
# install: the record of the last session, the font, device and network
# caches.
WINE_BOOKKEEPING = re.compile(
    r"^(software\\wine\\|software\\microsoft\\windows nt\\currentversion\\(fonts|networkcards)|"
    r"system\\currentcontrolset\\control\\session manager\\environment$|"
    r"software\\microsoft\\windows\\currentversion\\explorer\\|"
    r"hardware\\|system\\currentcontrolset\\(control\\)?(video|class|enum|services\\(winebus|wineusb|hidclass))|"
    r"software\\microsoft\\cryptography\\rng)")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Prefix:
    """A private Wine prefix with its own wineserver."""

    def __init__(self, path, arch, source):
        self.path = path
        self.arch = arch
        self.wine_run = os.path.join(source, "cmake", "wine-run")
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=path, TAMSOREL_WINEPREFIX=path, WINEDEBUG="-all",
                        WINEARCH=arch, WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")

    def run(self, lane, program, *args, timeout=300):
        """Runs a Windows program of the given bitness ("win32"/"win64") and
        returns when it ended.  Its output goes through a file, not a pipe:
        services that Wine starts on its behalf inherit the output and live
        as long as the prefix has processes."""
        with tempfile.TemporaryFile() as output:
            status = subprocess.run([self.wine_run, lane, program, *args], env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=subprocess.STDOUT, timeout=timeout).returncode
            output.seek(0)
            return subprocess.CompletedProcess(program, status, output.read().decode("utf-8", "replace"))

    def start(self, lane, program, *args):
        """Starts a Windows program with pipes for its standard streams."""
        return subprocess.Popen([self.wine_run, lane, program, *args], env=self.env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)

    def create(self):
        shutil.rmtree(self.path, ignore_errors=True)
        self.run("win64" if self.arch == "win64" else "win32", "wineboot", "-i", timeout=600)
        self.settle()
        check(os.path.exists(os.path.join(self.path, "system.reg")), "wineboot made no prefix in " + self.path)

    def settle(self):
        """Waits until every process and the wineserver of the prefix ended,
        which also writes the registry to its files."""
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=600)

    def delete(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)

    def unix(self, windows_path):
        """The Unix path of a C: path inside the prefix."""
        check(windows_path[:3].lower() == "c:\\", "not on drive C: " + windows_path)
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def registry(self):
        """HKLM and HKCU as {key: {value name: data}}, keys in lower case;
        HKCU keys are prefixed with "hkcu\\"."""
        self.settle()
        keys = read_registry_file(os.path.join(self.path, "system.reg"))
        for name, values in read_registry_file(os.path.join(self.path, "user.reg")).items():
            keys["hkcu\\" + name] = values
        return keys


def unescape(text):
    """Wine's registry-file escapes: \\0 is a NUL (between the strings of a
    multi-string), any other escaped character stands for itself."""
    return re.sub(r"\\(.)", lambda match: "\0" if match.group(1) == "0" else match.group(1), text)


def read_registry_file(path):
    keys = {}
    current = None
    pending = ""
    with open(path, encoding="utf-8", errors="replace") as registry:
        for line in registry:
            line = pending + line.rstrip("\n")
            pending = ""
            if line.startswith("["):
                current = keys.setdefault(unescape(line[1:line.rindex("]")]).lower(), {})
                continue
            if current is None or not line or line[0] in "#;":
                continue
            if line.endswith("\\"):  # hex data continues on the next line
                pending = line[:-1].rstrip() if not line.startswith(" ") else line[:-1].strip()
                continue
            if line.startswith("@="):
                name, data = "@", line[2:]
            else:
                match = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line.strip())
                if not match:
                    continue
                name, data = unescape(match.group(1)).lower(), match.group(2)
            current[name] = data
    return keys


def string_value(keys, key, name):
    data = keys.get(key.lower(), {}).get(name.lower())
    if data is None or not data.startswith('"'):
        return None
    return unescape(data[1:-1])


def registry_difference(before, after):
    """How `after` differs from `before`, without Wine's own bookkeeping:
    a list of (key, value name or None for the key itself, before, after)."""
    changes = []
    for key in sorted(set(before) | set(after)):
        bare = key[5:] if key.startswith("hkcu\\") else key
        if WINE_BOOKKEEPING.match(bare):
            continue
        if key not in after or key not in before:
            changes.append((key, None, before.get(key), after.get(key)))
            continue
        for name in sorted(set(before[key]) | set(after[key])):
            if before[key].get(name) != after[key].get(name):
                changes.append((key, name, before[key].get(name), after[key].get(name)))
    return changes


def describe(change):
    key, name, old, new = change
    if name is None:
        return ("added key %s %r" % (key, new)) if old is None else ("removed key %s" % key)
    return "value %s\\%s: %r -> %r" % (key, name, old, new)


PENDING_RENAMES = r"system\currentcontrolset\control\session manager"


def allowed_leftover(change):
    """An empty key that the registration scripts never remove or that the
    shell made, or the uninstaller's own temporary copy, which Windows
    deletes at the next restart (every NSIS uninstaller runs from such a
    copy)."""
    key, name, old, new = change
    if name is None:
        return old is None and (key in NEVER_REMOVED or key in SHELL_CREATED) and not new
    if key == PENDING_RENAMES and name == "pendingfilerenameoperations" and old is None:
        paths = [path for path in unescape(new.partition(":")[2].strip('"')).split("\0") if path]
        return bool(paths) and all(re.search(r"\\temp\\(~nsu[^\\]*\.tmp(\\un\.exe)?|ns[^\\]*\.tmp)$", path, re.I) or
                                   re.search(r"\\tamsorel\.(dll|exe)\.old\d$", path, re.I)
                                   for path in paths)
    return False


def carries_version(path, version):
    """Whether an executable has a version resource with `version`."""
    with open(path, "rb") as program:
        data = program.read()
    return "VS_VERSION_INFO".encode("utf-16-le") in data and \
        ("ProductVersion\0" + version).encode("utf-16-le") in data


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def stamp_free(image):
    """A stripped DLL without what stripping it again changes: strip writes
    the current time into the PE header, which changes the header checksum
    and the debug file, whose CRC the debug link holds."""
    data = bytearray(image)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    check(data[pe:pe + 4] == b"PE\0\0", "not a PE image")
    data[pe + 8:pe + 12] = bytes(4)             # TimeDateStamp
    data[pe + 24 + 64:pe + 24 + 68] = bytes(4)  # CheckSum
    link = data.rfind(b"Tamsorel.dll.debug\0")
    check(link > 0, "the DLL has no debug link")
    crc = (link + len("Tamsorel.dll.debug") + 1 + 3) & ~3
    data[crc:crc + 4] = bytes(4)
    return bytes(data)


class Release:
    def __init__(self, args):
        self.args = args
        self.version = args.version
        self.dist = args.dist or os.path.join(args.source, "dist")
        self.setup = os.path.join(self.dist, "Tamsorel-%s-setup.exe" % self.version)
        self.zip = os.path.join(self.dist, "Tamsorel-%s.zip" % self.version)

    def available(self):
        return os.path.exists(self.setup) and os.path.exists(self.zip)

    def check_sums(self):
        """SHA256SUMS lists every release file in dist/ (setup, zip, the Linux
        package when there is one) with its digest."""
        with open(os.path.join(self.dist, "SHA256SUMS")) as sums:
            listed = dict(reversed(line.split()) for line in sums if line.strip())
        released = [os.path.join(self.dist, name) for name in os.listdir(self.dist)
                    if name.endswith((".exe", ".zip", ".deb"))]
        check(self.setup in released and self.zip in released, "no setup or zip in " + self.dist)
        for path in released:
            with open(path, "rb") as release_file:
                digest = hashlib.sha256(release_file.read()).hexdigest()
            check(listed.get(os.path.basename(path)) == digest, "SHA256SUMS does not match " + path)

    def check_built(self, work):
        """The DLLs in the zip (and so, by check_installed, in the setup) are
        the current build's, stripped as ./run dist strips them: a dist/ made
        from an older build is refused."""
        built_dlls = (os.path.join(self.args.bin64, "Tamsorel.dll"), os.path.join(self.args.bin32, "Tamsorel.dll"))
        for built, arch, triplet in zip(built_dlls, ("x64", "x86"), ("x86_64", "i686")):
            debug = os.path.join(work, "Tamsorel.dll.debug")
            stripped = os.path.join(work, "stripped-" + arch + ".dll")
            subprocess.run([triplet + "-w64-mingw32-objcopy", "--only-keep-debug", built, debug], check=True)
            subprocess.run([triplet + "-w64-mingw32-strip", "--strip-all", "-o", stripped, built], check=True)
            subprocess.run([triplet + "-w64-mingw32-objcopy", "--add-gnu-debuglink=" + debug, stripped], check=True)
            with open(stripped, "rb") as current:
                digest = hashlib.sha256(stamp_free(current.read())).hexdigest()
            shipped = hashlib.sha256(stamp_free(self.shipped_dll(arch))).hexdigest()
            check(digest == shipped, "%s/Tamsorel.dll in %s is not the stripped %s (%s, built %s): make the release "
                  "again with ./run dist" % (arch, self.zip, built, shipped[:12], digest[:12]))

    def shipped_dll(self, arch):
        return self.shipped(arch, "Tamsorel.dll")

    def shipped(self, arch, name):
        with zipfile.ZipFile(self.zip) as archive:
            return archive.read(arch + "/" + name)

    def make_setup(self, work, name, x64_only, dll=None, arch="x64", version=None):
        """A setup made by the release's script from the release's files:
        x64_only gives the 64-bit x64-only build, dll a stand-in shipped in
        place of the release's DLL for arch ("x64" or "x86"); version
        replaces the release's version."""
        stage = os.path.join(work, name + "-stage")
        shutil.rmtree(stage, ignore_errors=True)
        with zipfile.ZipFile(self.zip) as archive:
            archive.extractall(stage)
        if dll:
            shutil.copyfile(dll, os.path.join(stage, arch, "Tamsorel.dll"))
        out = os.path.join(work, name + ".exe")
        options = ["-DTARGET=amd64-unicode", "-DX64_ONLY"] if x64_only else []
        subprocess.run(["makensis", "-V2", "-DVERSION=" + (version or self.version), "-DSTAGE=" + stage, "-DOUTFILE=" + out,
                        *options, os.path.join(self.args.source, "packaging", "windows", "Tamsorel.nsi")],
                       check=True, stdout=subprocess.DEVNULL)
        return out


class Helpers:
    """The helper programs and stand-in DLLs one Windows lane built."""

    def __init__(self, bin_dir):
        self.thumbhost = os.path.join(bin_dir, "thumbhost.exe")
        self.hold_library = os.path.join(bin_dir, "hold_library.exe")
        self.run_uninstall_string = os.path.join(bin_dir, "run_uninstall_string.exe")
        self.stand_in = {name: os.path.join(bin_dir, name, "Tamsorel.dll")
                         for name in ("failing_registration", "losing_previous", "marker_v1", "marker_v2")}

    def missing(self):
        return [path for path in (self.thumbhost, self.hold_library, self.run_uninstall_string,
                                  *self.stand_in.values()) if not os.path.exists(path)]


class InstallerTest:
    def __init__(self, args, release, prefix, runs_32bit):
        self.args = args
        self.release = release
        self.prefix = prefix
        self.x64 = args.arch == "win64"      # the x64 DLL is installed
        self.x86 = runs_32bit                # the x86 DLL is installed
        self.setup_lane = "win32" if runs_32bit else "win64"
        # The prefix's own bitness: its helpers, and the DLL the rows'
        # stand-ins replace.
        self.lane = args.arch
        self.arch = "x64" if self.x64 else "x86"
        self.helpers = Helpers(args.bin64 if self.x64 else args.bin32)
        self.install_dir = r"C:\Program Files\Tamsorel"
        self.hosts = ([("win64", Helpers(args.bin64).thumbhost)] if self.x64 else []) + \
                     ([("win32", Helpers(args.bin32).thumbhost)] if self.x86 else [])
        self.samples = sorted(os.path.join(args.source, "samples", name)
                              for name in os.listdir(os.path.join(args.source, "samples"))
                              if name.endswith(EXTENSIONS))
        self.figures = []

    def timed(self, what, *command, settle=True):
        start = time.monotonic()
        result = self.prefix.run(self.setup_lane, *command, timeout=600)
        if settle:
            self.prefix.settle()  # the uninstaller goes on in a copy of itself
        seconds = time.monotonic() - start
        self.figures.append("%s %.1f s" % (what, seconds))
        return result

    def install(self, setup, what, settle=True, folder=None):
        """The setup's exit code (as far as Unix passes it on: its low byte).
        `folder` is given with /D=, which must come last."""
        options = ["/S"] + (["/D=" + folder] if folder else [])
        result = self.timed(what, setup, *options, settle=settle)
        return result.returncode, result.stdout

    def uninstall(self):
        uninstaller = self.install_dir + r"\uninstall.exe"
        check(os.path.exists(self.prefix.unix(uninstaller)), "no uninstall.exe was installed")
        result = self.timed("uninstall", uninstaller, "/S")
        check(result.returncode == 0, "the uninstaller failed (%d): %s" % (result.returncode, result.stdout))

    def expected_bmp(self, sprite):
        out = os.path.join(self.args.work, "expected-" + os.path.basename(sprite) + ".bmp")
        subprocess.run([self.args.thumb, sprite, out], check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as expected:
            return expected.read()

    def thumbnail(self, lane, host, mode, sprite):
        out = os.path.join(self.args.work, "%s-%s-%s.bmp" % (lane, mode.strip("-") or "registry",
                                                             os.path.basename(sprite)))
        if os.path.exists(out):
            os.remove(out)
        options = [mode] if mode else []
        result = self.prefix.run(lane, host, *options, windows_path(sprite), windows_path(out))
        data = None
        if os.path.exists(out):
            with open(out, "rb") as produced:
                data = produced.read()
        return result, data

    def check_shell_has_no_handler(self, when):
        sprite = self.samples[0]
        for lane, host in self.hosts:
            result, data = self.thumbnail(lane, host, "--shell", sprite)
            check(result.returncode == 1 and data is None and "E_NOINTERFACE" in result.stdout,
                  "%s, the %s shell still hands out a thumbnail handler: %s" % (when, lane, result.stdout))

    def check_installed(self):
        present = {}
        for arch in ("x86", "x64"):
            path = self.prefix.unix(self.install_dir + "\\" + arch + r"\Tamsorel.dll")
            present[arch] = os.path.exists(path)
            # The command-line tool lies beside each installed DLL, and only there.
            for name in ("Tamsorel.dll", "tamsorel.exe"):
                path = self.prefix.unix(self.install_dir + "\\" + arch + "\\" + name)
                check(os.path.exists(path) == present[arch], "%s\\%s installed: %s, %s\\Tamsorel.dll: %s"
                      % (arch, name, os.path.exists(path), arch, present[arch]))
                if present[arch]:
                    with open(path, "rb") as installed:
                        check(installed.read() == self.release.shipped(arch, name),
                              "%s\\%s is not the shipped one" % (arch, name))
        uninstaller = self.prefix.unix(self.install_dir + r"\uninstall.exe")
        check(os.path.exists(uninstaller) and carries_version(uninstaller, self.release.version),
              "uninstall.exe is missing or has no version information")
        check(present["x86"] == self.x86, "x86\\Tamsorel.dll installed: %s" % present["x86"])
        check(present["x64"] == self.x64, "x64\\Tamsorel.dll installed: %s, on %s" % (present["x64"], self.args.arch))

        keys = self.prefix.registry()
        # The native view holds the native DLL; on 64-bit Windows the 32-bit
        # view (Wow6432Node) holds the x86 one.
        views = [(r"software\classes\clsid", "x64" if self.x64 else "x86")]
        if self.x64 and self.x86:
            views.append((r"software\classes\wow6432node\clsid", "x86"))
        for view, arch in views:
            wanted = self.install_dir + "\\" + arch + r"\Tamsorel.dll"
            for clsid in (CLSID, PROPERTIES_CLSID, PREVIEW_CLSID, WIC_DECODER_CLSID):
                server = string_value(keys, view + "\\" + clsid + r"\inprocserver32", "@")
                check(server is not None and server.lower() == wanted.lower(),
                      "%s\\%s: InprocServer32 is %r, not %r" % (view, clsid, server, wanted))
            # WIC finds the decoder through its category, in the same view.
            listed = string_value(keys, view + "\\" + WIC_DECODERS + r"\instance" + "\\" + WIC_DECODER_CLSID, "clsid")
            check(listed is not None and listed.lower() == WIC_DECODER_CLSID,
                  "%s: the WIC decoder category lists %r" % (view, listed))
            container = string_value(keys, view + "\\" + WIC_DECODER_CLSID, "containerformat")
            check(container is not None, "%s: the WIC decoder has no ContainerFormat" % view)
            host = string_value(keys, view + "\\" + PREVIEW_CLSID, "appid")
            wanted_host = WOW64_PREVIEW_HOST if "wow6432node" in view else NATIVE_PREVIEW_HOST
            check(host is not None and host.lower() == wanted_host, "%s: the preview handler's AppID is %r" % (view, host))
            # Registration writes the property schema beside the DLL.
            schema = self.prefix.unix(self.install_dir + "\\" + arch + r"\Tamsorel.propdesc")
            check(os.path.exists(schema), "%s\\Tamsorel.propdesc is missing" % arch)
        handlers = r"software\microsoft\windows\currentversion"
        for ext in EXTENSIONS:
            bound = {
                handlers + r"\propertysystem\propertyhandlers" + "\\" + ext: PROPERTIES_CLSID,
                r"software\classes\systemfileassociations" + "\\" + ext + r"\shellex" + "\\" + PREVIEW_BINDING: PREVIEW_CLSID,
            }
            for key, clsid in bound.items():
                value = string_value(keys, key, "@")
                check(value is not None and value.lower() == clsid, "%s is %r, not %s" % (key, value, clsid))
            # The details pane and the Details view show the frames held
            # and, right after them, the header's claim where it differs.
            for name in ("fulldetails", "previewdetails"):
                details = string_value(keys, r"software\classes\systemfileassociations" + "\\" + ext, name)
                check(details is not None and
                      ";Tamsorel.Sprite.FrameCount;Tamsorel.Sprite.ClaimedFrameCount;" in details,
                      "%s: %s is %r" % (ext, name, details))
        check(string_value(keys, handlers + r"\previewhandlers", PREVIEW_CLSID) is not None,
              "the preview handler is not listed under PreviewHandlers")
        for ext in EXTENSIONS:
            binding = string_value(keys, r"software\classes" + "\\" + ext + r"\shellex\{bb2e617c-0920-11d1-9a0b-00c04fc2d6c1}", "@")
            check(binding is not None and binding.lower() == CLSID, "%s is not bound to the handler" % ext)

        entry = keys.get(UNINSTALL_KEY)
        check(entry is not None, "no Programs and Features entry in the native registry view")
        quoted = '"%s\\uninstall.exe"' % self.install_dir
        waits = " _?=" + self.install_dir  # runs in place, so that it returns when done
        expected = {"displayname": "Tamsorel", "displayversion": self.release.version,
                    "publisher": "The Tamsorel developers", "installlocation": self.install_dir,
                    "uninstallstring": quoted + waits, "quietuninstallstring": quoted + " /S" + waits}
        for name, value in expected.items():
            got = string_value(keys, UNINSTALL_KEY, name)
            # Windows paths do not tell letter case apart.
            check(got is not None and got.lower() == value.lower(),
                  "Programs and Features %s is %r, not %r" % (name, got, value))
        for name in ("nomodify", "norepair"):
            check(entry.get(name) == "dword:00000001", "Programs and Features %s is %r" % (name, entry.get(name)))
        size = entry.get("estimatedsize", "")
        check(size.startswith("dword:") and int(size[6:], 16) > 0, "EstimatedSize is %r" % size)
        if self.x64:
            check(UNINSTALL_KEY.replace("software\\", "software\\wow6432node\\", 1) not in keys,
                  "the Programs and Features entry went to the 32-bit view")
        return keys

    def check_rendering(self):
        for sprite in self.samples:
            expected = self.expected_bmp(sprite)
            for lane, host in self.hosts:
                for mode in ("", "--shell"):
                    result, data = self.thumbnail(lane, host, mode, sprite)
                    what = "%s thumbhost %s %s" % (lane, mode or "(registry)", os.path.basename(sprite))
                    check(result.returncode == 0, "%s failed: %s" % (what, result.stdout))
                    check(data == expected, "%s: not the bytes of tamsorel-thumb" % what)
                    if sprite.endswith(".c16"):
                        check(" 16-bit" in result.stdout, "%s: not a 16-bit bitmap: %s" % (what, result.stdout))

    def check_tool(self):
        """Each installed tamsorel.exe, run from the install folder, answers
        --help and exports a sample's first frame as an RGBA PNG."""
        sprite = self.samples[0]
        for lane, arch in ([("win64", "x64")] if self.x64 else []) + ([("win32", "x86")] if self.x86 else []):
            tool = self.install_dir + "\\" + arch + r"\tamsorel.exe"
            result = self.prefix.run(lane, tool, "--help")
            check(result.returncode == 0 and "usage: tamsorel" in result.stdout,
                  "%s --help exited %d: %s" % (tool, result.returncode, result.stdout))
            out = os.path.join(self.args.work, "tool-" + arch)
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            result = self.prefix.run(lane, tool, "export", "--frames", "1", "-o", windows_path(out),
                                     windows_path(sprite))
            stem = os.path.splitext(os.path.basename(sprite))[0]
            try:
                width, height, _ = read_png(os.path.join(out, stem + "-0001.png"))
            except (OSError, ValueError) as problem:
                width = height = problem
            check(result.returncode == 0 and (width, height) == frame_size(sprite),
                  "%s export %s exited %d, PNG: %s x %s: %s" % (tool, os.path.basename(sprite), result.returncode,
                                                                width, height, result.stdout))

    def finish_uninstall(self, install_dir):
        """A running program cannot be deleted: where Wine does not let the
        uninstaller move itself out either, it and its folders wait for the
        next restart, with nothing else left."""
        folder = self.prefix.unix(install_dir)
        if os.path.isdir(folder) and set(os.listdir(folder)) <= {"uninstall.exe", "install-record.ini"}:
            self.restart()

    def check_clean(self, baseline, when):
        folder = self.prefix.unix(self.install_dir)
        self.finish_uninstall(self.install_dir)
        check(not os.path.exists(folder), "%s, %s is still there: %s" % (when, self.install_dir,
                                                                       sorted(os.listdir(folder)) if os.path.isdir(folder) else ""))
        left = [describe(change) for change in registry_difference(baseline, self.prefix.registry())
                if not allowed_leftover(change)]
        check(not left, "%s, the registry differs from before the install:\n  %s" % (when, "\n  ".join(left)))

    # -- helpers of the upgrade and hostile-user rows --------------------

    def log_text(self):
        """The setup's and uninstaller's log, %TEMP%\\Tamsorel-setup.log."""
        text = ""
        for root, _, names in os.walk(os.path.join(self.prefix.path, "drive_c", "users")):
            if "Tamsorel-setup.log" in names:
                with open(os.path.join(root, "Tamsorel-setup.log"), encoding="utf-8", errors="replace") as log:
                    text += log.read()
        return text

    def uninstall_string(self, expect=0):
        """Runs the entry's QuietUninstallString as a deployment tool does and
        waits for it: when it returns, the uninstall must be finished."""
        result = self.timed("uninstall", self.helpers.run_uninstall_string, "QuietUninstallString", settle=False)
        check(result.returncode == expect, "the quiet uninstall exited %d: %s" % (result.returncode, result.stdout))
        return result

    def marker(self):
        """The versions whose stand-in registration is in force, with the
        paths they registered."""
        keys = self.prefix.registry()
        prefix = r"software\tamsorel.testmarker" + "\\"
        return {key[len(prefix):]: string_value(keys, key, "@") for key in keys if key.startswith(prefix)}

    def live_value(self, key, name=None):
        """A registry value read by reg.exe, for use while a process holds
        the DLL and the prefix cannot settle; None when it is missing."""
        result = self.prefix.run(self.lane, "reg", "query", key, *(["/v", name] if name else ["/ve"]))
        if result.returncode != 0:
            return None
        for line in result.stdout.splitlines():
            match = re.match(r"\s+\S.*?\s+REG_SZ\s+(.*)$", line)
            if match:
                return match.group(1).strip()
        return None

    def live_markers(self):
        return {name: self.live_value(r"HKLM\Software\Tamsorel.TestMarker" + "\\" + name) for name in ("v1", "v2")}

    def entry_version(self):
        return string_value(self.prefix.registry(), UNINSTALL_KEY, "displayversion")

    def file_bytes(self, windows):
        path = self.prefix.unix(windows)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as data:
            return data.read()

    def tree(self, windows):
        """Every file below a folder with its bytes, for before/after checks."""
        top = self.prefix.unix(windows)
        result = {}
        for root, dirs, names in os.walk(top):
            for name in dirs:
                result[os.path.relpath(os.path.join(root, name), top) + "/"] = None
            for name in names:
                with open(os.path.join(root, name), "rb") as data:
                    result[os.path.relpath(os.path.join(root, name), top)] = data.read()
        return result

    def hold(self, dll):
        holder = self.prefix.start(self.lane, self.helpers.hold_library, dll)
        loaded = holder.stdout.readline().strip()
        check(loaded == "loaded", "hold_library could not load %s: %s" % (dll, loaded))
        return holder

    @staticmethod
    def let_go(holder):
        holder.stdin.close()
        holder.wait(timeout=120)

    def restart(self):
        self.prefix.run(self.lane, "wineboot", "-r", timeout=300)
        self.prefix.settle()

    def expect_install(self, setup, what, status=0, folder=None, extra=()):
        options = ["/S", *extra] + (["/D=" + folder] if folder else [])
        result = self.timed(what, setup, *options, settle=False)
        check(result.returncode == status, "%s exited %d, not %d; log:\n%s" % (what, result.returncode, status,
                                                                              self.log_text()[-2000:]))

    def row(self, name, function, baseline):
        """One row of the table: it must end with the install removed and
        the registry as it was before."""
        start = time.monotonic()
        self.install_dir = r"C:\Program Files\Tamsorel"
        try:
            function()
            self.check_clean(baseline, "after the row '%s'" % name)
        except Failure as failure:
            raise Failure("row '%s': %s" % (name, failure))
        self.figures.append("row %s %.1f s" % (name, time.monotonic() - start))

    # -- the rows --------------------------------------------------------

    def row_release_upgrade_while_held(self):
        """The real release installed, a rebuilt setup of a higher version
        installed over it while a shell client holds the DLL: exit 0, every
        sample renders through the shell's lookup at once, and the held copy
        goes once the holder has ended and the next restart came."""
        check(self.install(self.setup, "install")[0] == 0, "the release did not install")
        dll = self.install_dir + "\\" + self.arch + r"\Tamsorel.dll"
        holder = self.hold(dll)
        try:
            self.expect_install(self.newer, "upgrade while the DLL is held")
            version = self.live_value(r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tamsorel",
                                      "DisplayVersion")
            check(version == self.newer_version, "the entry shows %r, not the new version" % version)
            self.check_rendering()
        finally:
            self.let_go(holder)
        check("Explorer shows the new version after it restarts" in self.log_text(),
              "the setup did not say when Explorer shows the new version")
        self.restart()
        folder = self.prefix.unix(self.install_dir + "\\" + self.arch)
        left = [name for name in os.listdir(folder) if ".old" in name]
        check(not left, "the held copy is still there after the restart: %s" % left)
        check(self.file_bytes(dll) == self.release.shipped_dll(self.arch), "the DLL is not the shipped one")
        self.uninstall_string()

    def row_marker_upgrades(self):
        """v1, then v2 over it (plain), then a failing v3 over v2, then v1
        again (a downgrade), and the uninstall."""
        v2 = self.helpers.stand_in["marker_v2"]
        self.expect_install(self.marker_setups["v1"], "install v1")
        check(set(self.marker()) == {"v1"}, "after installing v1 the markers are %s" % self.marker())
        self.expect_install(self.marker_setups["v2"], "upgrade to v2")
        check(set(self.marker()) == {"v2"}, "after the upgrade the markers are %s" % self.marker())
        check(self.entry_version() == "1.2.0.0", "the entry shows %s, not v2" % self.entry_version())
        dll = self.install_dir + "\\" + self.arch + r"\Tamsorel.dll"
        with open(v2, "rb") as data:
            check(self.file_bytes(dll) == data.read(), "the installed DLL is not v2's")
        before = self.tree(self.install_dir)

        self.expect_install(self.failing_setup, "failing upgrade over v2", status=2)
        check(set(self.marker()) == {"v2"}, "after the failed upgrade the markers are %s" % self.marker())
        check(self.entry_version() == "1.2.0.0", "after the failed upgrade the entry shows %s" % self.entry_version())
        check(self.tree(self.install_dir) == before, "the failed upgrade changed v2's files")
        check("previous version (1.2.0.0) is kept" in self.log_text(), "the log does not say v2 is kept")
        keys = self.prefix.registry()
        check(r"software\classes\tamsorel.partialregistration" not in keys, "the failed registration left its key")

        self.expect_install(self.marker_setups["v1"], "silent downgrade", status=1)
        check(set(self.marker()) == {"v2"} and self.tree(self.install_dir) == before,
              "a refused downgrade changed the install")
        check("refused: Tamsorel 1.2.0.0 is installed, newer than 1.1.0.0" in self.log_text(),
              "the log does not say why the downgrade was refused")
        self.expect_install(self.marker_setups["v1"], "downgrade with /DOWNGRADE", extra=["/DOWNGRADE"])
        check(set(self.marker()) == {"v1"}, "after /DOWNGRADE the markers are %s" % self.marker())
        self.uninstall_string()
        check(not self.marker(), "the uninstall left the markers %s" % self.marker())

    def row_marker_upgrade_while_held(self):
        """v2 over a held v1: exit 0, v2's registration in force at once; the
        held copy goes with the next setup once nothing holds it."""
        self.expect_install(self.marker_setups["v1"], "install v1")
        dll = self.install_dir + "\\" + self.arch + r"\Tamsorel.dll"
        holder = self.hold(dll)
        try:
            self.expect_install(self.marker_setups["v2"], "v2 over a held v1")
            marker = self.live_markers()
            check(marker["v1"] is None and (marker["v2"] or "").lower() == dll.lower(),
                  "with v1 held the markers are %s" % marker)
        finally:
            self.let_go(holder)
        self.expect_install(self.marker_setups["v2"], "repair")
        folder = self.prefix.unix(self.install_dir + "\\" + self.arch)
        check(sorted(os.listdir(folder)) == ["Tamsorel.dll", "tamsorel.exe"],
              "the held copy is still there: %s" % sorted(os.listdir(folder)))
        self.uninstall_string()

    def row_one_location(self):
        """/D= install, then a default run: updated where it is; then /D=
        another folder: moved, the first folder and its parents gone."""
        first, second = r"C:\Tools\Sub\Tamsorel", r"C:\Other\Tamsorel"
        self.expect_install(self.marker_setups["v1"], "install with /D=", folder=first)
        self.expect_install(self.marker_setups["v2"], "default run over a /D= install")
        marker = self.marker()
        check(set(marker) == {"v2"} and marker["v2"].lower().startswith(first.lower()),
              "a default run did not update the /D= install: %s" % marker)
        check(not os.path.exists(self.prefix.unix(self.install_dir)), "a second install went to the default folder")
        self.expect_install(self.marker_setups["v2"], "move with /D=", folder=second)
        marker = self.marker()
        check(set(marker) == {"v2"} and marker["v2"].lower().startswith(second.lower()),
              "the move left the markers %s" % marker)
        check(not os.path.exists(self.prefix.unix(r"C:\Tools")), "the move left C:\\Tools (created by the setup)")
        # A failed install into yet another folder leaves this one alone.
        before = self.tree(second)
        self.expect_install(self.failing_setup, "failing install into a third folder", status=2,
                            folder=r"C:\Third\Tamsorel")
        check(self.tree(second) == before and set(self.marker()) == {"v2"} and
              self.entry_version() == "1.2.0.0", "a failed install elsewhere touched the install")
        check(not os.path.exists(self.prefix.unix(r"C:\Third")), "the failed install left C:\\Third")
        self.uninstall_string()
        self.finish_uninstall(second)
        check(not os.path.exists(self.prefix.unix(r"C:\Other")), "the uninstall left C:\\Other")

    def row_uninstall_then_install(self):
        """Uninstall and install in sequence, as deployment tools do, with
        the DLL held over the uninstall and a restart after the install."""
        check(self.install(self.setup, "install")[0] == 0, "the release did not install")
        self.uninstall_string()
        self.expect_install(self.setup, "install right after the uninstall")
        self.check_installed()
        self.check_rendering()
        dll = self.install_dir + "\\" + self.arch + r"\Tamsorel.dll"
        holder = self.hold(dll)
        try:
            self.uninstall_string()  # the held copy is moved aside and goes at the restart
        finally:
            self.let_go(holder)
        self.expect_install(self.setup, "install before the restart")
        self.restart()
        self.check_installed()
        self.check_rendering()
        self.uninstall_string()

    def row_damaged_install(self):
        """The DLL's folder (x64\\ or x86\\) deleted by hand, then the
        uninstall: every registration goes."""
        check(self.install(self.setup, "install")[0] == 0, "the release did not install")
        shutil.rmtree(self.prefix.unix(self.install_dir + "\\" + self.arch))
        self.uninstall_string()

    def short_name(self, folder):
        """The 8.3 spelling of an existing folder, as cmd's %~s gives it."""
        script = os.path.join(self.args.work, "short-name.cmd")
        with open(script, "w", newline="\r\n") as batch:
            batch.write('@for %%%%I in ("%s") do @echo %%%%~sI\n' % folder)
        result = self.prefix.run(self.lane, "cmd", "/c", windows_path(script))
        lines = result.stdout.strip().splitlines()
        short = lines[-1].strip() if lines else ""
        check(result.returncode == 0 and "~" in short and short.lower() != folder.lower(),
              "no short name for %s: %r" % (folder, result.stdout))
        return short

    def row_alias_spellings(self):
        """The install folder named by other spellings of itself, with /D=
        and, as an earlier setup may have written it, in the entry: each run
        repairs the install in place (exit 0, every file and registration
        there, the entry in the one spelling) instead of taking it for
        another folder and removing it as the install it moved away from."""
        check(self.install(self.setup, "install")[0] == 0, "the release did not install")
        spellings = [self.short_name(self.install_dir),
                     r"C:\Program Files\.\Tamsorel", r"C:\Program Files\Sub\..\Tamsorel",
                     r"C:\Program Files\\Tamsorel", r"C:\PROGRAM FILES\TAMSOREL", "C:\\Program Files\\Tamsorel\\"]
        for spelling in spellings:
            self.expect_install(self.setup, "install with /D=" + spelling, folder=spelling)
            try:
                self.check_installed()
            except Failure as failure:
                raise Failure("after /D=%s: %s" % (spelling, failure))
        result = self.prefix.run(self.lane, "reg", "add", "HKLM\\" + UNINSTALL_KEY, "/v", "InstallLocation",
                                 "/d", spellings[0], "/f")
        check(result.returncode == 0, "reg add failed: %s" % result.stdout)
        self.expect_install(self.setup, "repair of an install recorded as " + spellings[0])
        try:
            self.check_installed()
        except Failure as failure:
            raise Failure("after a repair of the install recorded as %s: %s" % (spellings[0], failure))
        self.uninstall_string()

    def row_previous_lost(self):
        """A failed upgrade whose undoing cannot put the previous DLL back
        (it vanished while the new one registered): exit 2, and the message
        says so and what is registered, instead of claiming the previous
        version is kept."""
        self.expect_install(self.marker_setups["v2"], "install v2")
        self.expect_install(self.losing_setup, "failing upgrade that loses v2's DLL", status=2)
        last = self.log_text().splitlines()[-1]
        relative = self.arch + r"\Tamsorel.dll"
        check(last.startswith("failed: registering " + relative) and "is kept" not in last and
              "the previous %s could not be put back" % relative in last, "the log ends with %r" % last)
        if self.x64 and self.x86:  # the x86 DLL of v2 is back and registered again
            registered = "registered now: " + self.install_dir + r"\x86\Tamsorel.dll"
        else:
            registered = "no Tamsorel DLL is registered now"
        check(registered.lower() in last.lower(), "the log's last line does not say %r: %r" % (registered, last))
        check(not self.marker(), "the markers %s are registered, against what the setup said" % self.marker())
        self.uninstall_string()

    # The entries another program left in PendingFileRenameOperations: a
    # delete (an empty destination), a replace ("!" before the target), and
    # a delete inside the install folder that no uninstall recorded (a
    # scanner's quarantine, say): only recorded entries are the setup's.
    FOREIGN_RENAMES = ["\\??\\C:\\Vendor\\update.tmp", "", "\\??\\C:\\Vendor\\new.dll",
                       "!\\??\\C:\\Vendor\\app.dll", "\\??\\C:\\Program Files\\Tamsorel\\x64\\scan.tmp", ""]

    def pending_renames(self):
        """PendingFileRenameOperations as its bytes (b"" when missing), read
        in the running session: the next session would carry it out."""
        out = os.path.join(self.args.work, "session-manager.reg")
        if os.path.exists(out):
            os.remove(out)
        result = self.prefix.run(self.lane, "regedit", "/E", windows_path(out),
                                 r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager")
        check(result.returncode == 0 and os.path.exists(out), "regedit /E failed: %s" % result.stdout)
        with open(out, encoding="utf-16") as exported:
            text = re.sub(r"\\\r?\n\s*", "", exported.read())
        match = re.search(r'^"PendingFileRenameOperations"=hex\(7\):([0-9a-fA-F,]*)', text, re.M)
        return bytes(int(byte, 16) for byte in match.group(1).split(",") if byte) if match else b""

    def check_foreign_renames(self, when):
        foreign = "".join(path + "\0" for path in self.FOREIGN_RENAMES).encode("utf-16-le")
        value = self.pending_renames()
        check(value.startswith(foreign) and value.endswith(b"\0\0\0\0"),
              "%s, PendingFileRenameOperations is %r" % (when, value.decode("utf-16-le", "replace")))
        return value.decode("utf-16-le").split("\0")

    def row_foreign_pending_renames(self):
        """Another program's entries in PendingFileRenameOperations survive
        byte for byte an install, an upgrade, an uninstall, and the install
        that takes back what an uninstall with the DLL held left for the
        restart.  All in one session (a process keeps it), since a new one
        starts like a restart and carries the renames out."""
        session = self.hold(r"C:\windows\system32\kernel32.dll")
        try:
            data = "".join(path + "\0" for path in self.FOREIGN_RENAMES + [""]).encode("utf-16-le")
            reg = os.path.join(self.args.work, "foreign-renames.reg")
            with open(reg, "w", encoding="utf-16") as script:
                script.write("Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]\r\n"
                             '"PendingFileRenameOperations"=hex(7):%s\r\n' % ",".join("%02x" % byte for byte in data))
            check(self.prefix.run(self.lane, "regedit", "/S", windows_path(reg)).returncode == 0, "regedit /S failed")
            check(self.pending_renames() == data, "the foreign entries were not written as given")
            self.expect_install(self.setup, "install over foreign pending renames")
            self.check_foreign_renames("after the install")
            self.expect_install(self.newer, "upgrade")
            self.check_foreign_renames("after the upgrade")
            self.uninstall_string()
            self.check_foreign_renames("after the uninstall")
            self.expect_install(self.setup, "install again")
            record = self.install_dir + "\\" + "install-record.ini"
            holder = self.hold(self.install_dir + "\\" + self.arch + r"\Tamsorel.dll")
            try:
                self.uninstall_string()
            finally:
                self.let_go(holder)
            entries = self.check_foreign_renames("after the uninstall with the DLL held")
            check(any(entry.lower() == "\\??\\" + record.lower() for entry in entries),
                  "the uninstall did not leave its record for the restart: %s" % entries)
            self.expect_install(self.setup, "install before the restart")
            entries = self.check_foreign_renames("after the install before the restart")
            check(not any(entry.lower() == "\\??\\" + record.lower() for entry in entries),
                  "the install left its own record to be deleted at the restart: %s" % entries)
            self.uninstall_string()
            self.check_foreign_renames("after the last uninstall")
        finally:
            self.let_go(session)
        self.restart()

    def row_bad_targets(self):
        """Folders that are not the setup's to use: refused, exit 2, nothing
        written, the user's files byte-identical."""
        tools = self.prefix.unix(r"C:\Tools")
        os.makedirs(tools)
        for name, data in (("README.txt", b"the user's readme\r\n"), ("LICENSE.txt", b"the user's licence\r\n"),
                           ("other.exe", b"MZ not ours"), ("uninstall.exe", b"MZ another product's uninstaller")):
            with open(os.path.join(tools, name), "wb") as user_file:
                user_file.write(data)
        with open(self.prefix.unix(r"C:\afile.txt"), "wb") as user_file:
            user_file.write(b"a file")
        before = self.tree(r"C:\Tools")
        for folder, reason in ((r"C:\Tools", "holds other files"), (r"Q:\nope\Tamsorel", "does not exist"),
                               (r"C:\afile.txt", "is a file"), (r"C:\afile.txt\Tamsorel", "is a file"),
                               ("C:\\", "root of a drive"), ("C:\\" + "x" * 240, "too long")):
            self.expect_install(self.setup, "install with /D=" + folder[:20], status=2, folder=folder)
            check(reason in self.log_text().splitlines()[-1], "/D=%s: the log's last line is %r, not about %r"
                  % (folder, self.log_text().splitlines()[-1], reason))
            check(self.tree(r"C:\Tools") == before, "/D=%s changed the user's files" % folder)
            check(not os.path.exists(self.prefix.unix(self.install_dir)), "/D=%s installed by default" % folder)
            check(UNINSTALL_KEY not in self.prefix.registry(), "/D=%s wrote an entry" % folder)
        shutil.rmtree(tools)
        os.remove(self.prefix.unix(r"C:\afile.txt"))

    def run(self):
        self.release.check_built(self.args.work)
        if self.x86:
            setup = self.release.setup
        else:
            print("this machine cannot run 32-bit programs: testing the 64-bit x64-only build of the setup script")
            setup = self.release.make_setup(self.args.work, "x64-only-setup", x64_only=True)
        self.setup = setup
        x64_only = not self.x86
        # A later release of the same build, and stand-ins of three versions.
        self.newer_version = "1.0.9.0"
        self.newer = self.release.make_setup(self.args.work, "newer-setup", x64_only, version=self.newer_version)
        stand_in = self.helpers.stand_in
        self.marker_setups = {
            name: self.release.make_setup(self.args.work, "marker-" + name, x64_only, stand_in["marker_" + name],
                                          self.arch, version)
            for name, version in (("v1", "1.1.0.0"), ("v2", "1.2.0.0"))}
        self.failing_setup = self.release.make_setup(self.args.work, "failing-v3-setup", x64_only,
                                                     stand_in["failing_registration"], self.arch, "1.3.0.0")
        self.losing_setup = self.release.make_setup(self.args.work, "losing-v3-setup", x64_only,
                                                    stand_in["losing_previous"], self.arch, "1.3.0.0")
        self.release.check_sums()
        check(carries_version(setup, self.release.version), "the setup program has no version information")
        self.prefix.create()
        # The shell's first lookup creates its (empty) list of blocked
        # extensions; the baseline is taken after it.
        self.check_shell_has_no_handler("before the install")
        baseline = self.prefix.registry()

        status, output = self.install(setup, "install")
        check(status == 0, "the setup failed (%d): %s" % (status, output))
        self.check_installed()
        self.check_tool()
        self.check_rendering()
        installed = self.prefix.registry()

        status, output = self.install(setup, "install again")
        check(status == 0, "the second setup failed (%d): %s" % (status, output))
        again = self.check_installed()
        difference = [describe(change) for change in registry_difference(installed, again)]
        check(not difference, "installing again changed the registry:\n  " + "\n  ".join(difference))
        os.remove(self.prefix.unix(self.install_dir + r"\README.txt"))
        status, output = self.install(setup, "repair")
        check(status == 0 and os.path.exists(self.prefix.unix(self.install_dir + r"\README.txt")),
              "a repair did not restore a missing file (%d)" % status)
        self.uninstall_string()
        self.check_clean(baseline, "after the uninstall")
        self.check_shell_has_no_handler("after the uninstall")

        # A failing registration of each DLL the prefix installs: the x86
        # one's runs the 32-bit regsvr32, also beside the x64 one.
        for arch in (["x64"] if self.x64 else []) + (["x86"] if self.x86 else []):
            failing = self.release.make_setup(self.args.work, "failing-%s-setup" % arch, x64_only,
                                              Helpers(self.args.bin64 if arch == "x64" else self.args.bin32)
                                              .stand_in["failing_registration"], arch)
            status, output = self.install(failing, "failing %s install" % arch)
            check(status == 2, "a setup whose %s registration fails exited with %d" % (arch, status))
            self.check_clean(baseline, "after a failed %s registration" % arch)
        for name, function in (("release upgrade while held", self.row_release_upgrade_while_held),
                               ("stand-in upgrades", self.row_marker_upgrades),
                               ("stand-in upgrade while held", self.row_marker_upgrade_while_held),
                               ("previous version lost", self.row_previous_lost),
                               ("one location", self.row_one_location),
                               ("other spellings of the folder", self.row_alias_spellings),
                               ("uninstall then install", self.row_uninstall_then_install),
                               ("foreign pending renames", self.row_foreign_pending_renames),
                               ("damaged install", self.row_damaged_install),
                               ("bad /D= targets", self.row_bad_targets)):
            self.row(name, function, baseline)

        # Another folder, chosen with /D=.
        self.install_dir = r"C:\Tools\Tamsorel"
        status, output = self.install(setup, "install with /D=", folder=self.install_dir)
        check(status == 0, "the setup with /D= failed (%d): %s" % (status, output))
        self.check_installed()
        self.check_tool()
        self.uninstall_string()
        self.check_clean(baseline, "after the uninstall from the /D= folder")
        check(not os.path.exists(self.prefix.unix(r"C:\Tools")), "the uninstall left C:\\Tools, which the setup made")
        nsu = [name for name in os.listdir(os.path.dirname(self.prefix.unix(self.log_path())))
               if name.lower().startswith("~nsu")]
        check(not nsu, "the uninstallers left %s in %%TEMP%%" % nsu)

    def log_path(self):
        for root, _, names in os.walk(os.path.join(self.prefix.path, "drive_c", "users")):
            if "Tamsorel-setup.log" in names:
                return "C:\\" + os.path.relpath(os.path.join(root, "Tamsorel-setup.log"),
                                                 os.path.join(self.prefix.path, "drive_c")).replace("/", "\\")
        raise Failure("no Tamsorel-setup.log")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=("win64", "win32"), required=True)
    for option in ("--source", "--version", "--thumb", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--bin64", required=True, help="the win64 lane's bin folder")
    parser.add_argument("--bin32", required=True, help="the win32 lane's bin folder")
    parser.add_argument("--dist", help="the release folder (default: SOURCE/dist)")
    args = parser.parse_args()

    release = Release(args)
    if not release.available():
        print("skipped: no release in %s (make it with ./run dist)" % release.dist)
        return SKIP
    wine32 = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "wine32:i386"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, universal_newlines=True).stdout.endswith("ok installed")
    # Some kernels run no 32-bit programs at all; the i386 dynamic loader
    # shows it.
    try:
        runs_32bit = wine32 and subprocess.run(["/lib/ld-linux.so.2", "--version"], stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        runs_32bit = False
    if args.arch == "win32" and not runs_32bit:
        print("skipped: a 32-bit prefix needs wine32 and a machine that runs 32-bit programs")
        return SKIP
    missing = Helpers(args.bin64).missing() + Helpers(args.bin32).missing() + \
        ([] if os.path.exists(args.thumb) else [args.thumb])
    if missing:
        print("missing %s: build the win64, win32 and native lanes" % ", ".join(missing))
        return 1

    os.makedirs(args.work, exist_ok=True)
    prefix = Prefix(tempfile.mkdtemp(prefix="prefix-", dir=args.work), args.arch, args.source)
    test = InstallerTest(args, release, prefix, runs_32bit)
    try:
        test.run()
        print("%s prefix: passed (%s)" % (args.arch, ", ".join(test.figures)))
        return 0
    except Failure as failure:
        print("%s prefix: FAILED: %s" % (args.arch, failure))
        if test.figures:
            print("figures: " + ", ".join(test.figures))
        return 1
    finally:
        prefix.delete()


if __name__ == "__main__":
    sys.exit(main())
