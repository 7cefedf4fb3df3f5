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
  - installing again changes nothing;
  - (64-bit) installing again while a process holds the x64 DLL loaded, as
    Explorer does, exits with 3010 and replaces the DLL at the next restart;
  - a silent uninstall removes the files (tamsorel.exe too) and leaves the
    registry as it was before the install, apart from the empty keys that
    the registration scripts never remove;
  - (64-bit) a setup whose x64 registration fails exits non-zero and leaves
    the same clean state;
  - /D= installs into another folder, from which the uninstaller removes it.

The release's setup is a 32-bit program.  On a machine that cannot run
32-bit programs at all, the 64-bit prefix is tested with the 64-bit,
x64-only build of the same setup script instead (and says so), and the
32-bit prefix is skipped.

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
    for _ext in EXTENSIONS:
        NEVER_REMOVED |= {_classes + "\\" + _ext, _classes + "\\" + _ext + r"\shellex"}

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
        return bool(paths) and all(re.search(r"\\temp\\~nsu[^\\]*\.tmp(\\un\.exe)?$", path, re.I)
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


class Release:
    def __init__(self, args):
        self.args = args
        self.version = args.version
        self.dist = os.path.join(args.source, "dist")
        self.setup = os.path.join(self.dist, "Tamsorel-%s-setup.exe" % self.version)
        self.zip = os.path.join(self.dist, "Tamsorel-%s.zip" % self.version)

    def available(self):
        return os.path.exists(self.setup) and os.path.exists(self.zip)

    def check_sums(self):
        """SHA256SUMS lists the setup and the zip with their digests."""
        with open(os.path.join(self.dist, "SHA256SUMS")) as sums:
            listed = dict(reversed(line.split()) for line in sums if line.strip())
        for path in (self.setup, self.zip):
            with open(path, "rb") as release_file:
                digest = hashlib.sha256(release_file.read()).hexdigest()
            check(listed.get(os.path.basename(path)) == digest, "SHA256SUMS does not match " + path)

    def shipped_dll(self, arch):
        return self.shipped(arch, "Tamsorel.dll")

    def shipped(self, arch, name):
        with zipfile.ZipFile(self.zip) as archive:
            return archive.read(arch + "/" + name)

    def make_setup(self, work, name, x64_only, failing_x64):
        """A setup made by the release's script from the release's files:
        x64_only gives the 64-bit x64-only build, failing_x64 ships a DLL whose
        registration fails in place of the x64 one."""
        stage = os.path.join(work, name + "-stage")
        shutil.rmtree(stage, ignore_errors=True)
        with zipfile.ZipFile(self.zip) as archive:
            archive.extractall(stage)
        if failing_x64:
            shutil.copyfile(self.args.failing_dll, os.path.join(stage, "x64", "Tamsorel.dll"))
        out = os.path.join(work, name + ".exe")
        options = ["-DTARGET=amd64-unicode", "-DX64_ONLY"] if x64_only else []
        subprocess.run(["makensis", "-V2", "-DVERSION=" + self.version, "-DSTAGE=" + stage, "-DOUTFILE=" + out,
                        *options, os.path.join(self.args.source, "packaging", "windows", "Tamsorel.nsi")],
                       check=True, stdout=subprocess.DEVNULL)
        return out


class InstallerTest:
    def __init__(self, args, release, prefix, runs_32bit):
        self.args = args
        self.release = release
        self.prefix = prefix
        self.x64 = args.arch == "win64"      # the x64 DLL is installed
        self.x86 = runs_32bit                # the x86 DLL is installed
        self.setup_lane = "win32" if runs_32bit else "win64"
        self.install_dir = r"C:\Program Files\Tamsorel"
        self.hosts = ([("win64", args.thumbhost64)] if self.x64 else []) + \
                     ([("win32", args.thumbhost32)] if self.x86 else [])
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
            server = string_value(keys, view + "\\" + CLSID + r"\inprocserver32", "@")
            wanted = self.install_dir + "\\" + arch + r"\Tamsorel.dll"
            check(server is not None and server.lower() == wanted.lower(),
                  "%s: InprocServer32 is %r, not %r" % (view, server, wanted))
        for ext in EXTENSIONS:
            binding = string_value(keys, r"software\classes" + "\\" + ext + r"\shellex\{bb2e617c-0920-11d1-9a0b-00c04fc2d6c1}", "@")
            check(binding is not None and binding.lower() == CLSID, "%s is not bound to the handler" % ext)

        entry = keys.get(UNINSTALL_KEY)
        check(entry is not None, "no Programs and Features entry in the native registry view")
        quoted = '"%s\\uninstall.exe"' % self.install_dir
        expected = {"displayname": "Tamsorel", "displayversion": self.release.version,
                    "publisher": "The Tamsorel developers", "installlocation": self.install_dir,
                    "uninstallstring": quoted, "quietuninstallstring": quoted + " /S"}
        for name, value in expected.items():
            got = string_value(keys, UNINSTALL_KEY, name)
            check(got == value, "Programs and Features %s is %r, not %r" % (name, got, value))
        for name in ("nomodify", "norepair"):
            check(entry.get(name) == "dword:00000001", "Programs and Features %s is %r" % (name, entry.get(name)))
        size = entry.get("estimatedsize", "")
        check(size.startswith("dword:") and int(size[6:], 16) > 0, "EstimatedSize is %r" % size)
        if self.x64:
            check(UNINSTALL_KEY.replace("software\\", "software\\wow6432node\\", 1) not in keys,
                  "the Programs and Features entry went to the 32-bit view")
        return keys

    def check_replaced_at_restart(self, setup):
        """Installs again while a process holds the installed x64 DLL: the
        setup must say that a restart is needed and leave the new copy to be
        renamed then; Wine's restart (wineboot -r) carries the rename out."""
        dll = self.install_dir + r"\x64\Tamsorel.dll"
        holder = self.prefix.start("win64", self.args.hold_library, dll)
        try:
            loaded = holder.stdout.readline().strip()
            check(loaded == "loaded", "hold_library could not load %s: %s" % (dll, loaded))
            # The prefix does not settle while the DLL is held; the setup
            # itself has ended when run() returns.
            status, output = self.install(setup, "install over a loaded DLL", settle=False)
            check(status == REBOOT_REQUIRED & 0xFF,
                  "a setup over a loaded DLL exited with %d, not %d (restart needed)" % (status, REBOOT_REQUIRED))
        finally:
            holder.stdin.close()
            holder.wait(timeout=120)
        check(os.path.exists(self.prefix.unix(dll + ".new")), "no new copy waits beside the loaded DLL")
        self.prefix.run("win64", "wineboot", "-r", timeout=300)
        self.prefix.settle()
        check(not os.path.exists(self.prefix.unix(dll + ".new")), "the restart did not put the new copy in place")
        with open(self.prefix.unix(dll), "rb") as replaced:
            check(replaced.read() == self.release.shipped_dll("x64"), "after the restart the DLL is not the shipped one")

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

    def check_clean(self, baseline, when):
        folder = self.prefix.unix(self.install_dir)
        check(not os.path.exists(folder), "%s, %s is still there: %s" % (when, self.install_dir,
                                                                       sorted(os.listdir(folder)) if os.path.isdir(folder) else ""))
        left = [describe(change) for change in registry_difference(baseline, self.prefix.registry())
                if not allowed_leftover(change)]
        check(not left, "%s, the registry differs from before the install:\n  %s" % (when, "\n  ".join(left)))

    def run(self):
        if self.x86:
            setup = self.release.setup
        else:
            print("this machine cannot run 32-bit programs: testing the 64-bit x64-only build of the setup script")
            setup = self.release.make_setup(self.args.work, "x64-only-setup", x64_only=True, failing_x64=False)
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
        if self.x64:
            self.check_replaced_at_restart(setup)
            self.check_installed()

        self.uninstall()
        self.check_clean(baseline, "after the uninstall")
        self.check_shell_has_no_handler("after the uninstall")

        if self.x64:
            failing = self.release.make_setup(self.args.work, "failing-setup", x64_only=not self.x86, failing_x64=True)
            status, output = self.install(failing, "failing install")
            check(status == 2, "a setup whose registration fails exited with %d" % status)
            self.check_clean(baseline, "after a failed registration")

        # Another folder, chosen with /D=.
        self.install_dir = r"C:\Tools\Tamsorel"
        status, output = self.install(setup, "install with /D=", folder=self.install_dir)
        check(status == 0, "the setup with /D= failed (%d): %s" % (status, output))
        self.check_installed()
        self.check_tool()
        self.uninstall()
        self.check_clean(baseline, "after the uninstall from the /D= folder")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=("win64", "win32"), required=True)
    for option in ("--source", "--version", "--thumbhost64", "--thumbhost32", "--thumb", "--failing-dll",
                   "--hold-library", "--work"):
        parser.add_argument(option, required=True)
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
    for tool in (args.thumbhost64, args.thumbhost32, args.thumb):
        if not os.path.exists(tool):
            print("missing %s: build the win64, win32 and native lanes" % tool)
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
