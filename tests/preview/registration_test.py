#!/usr/bin/env python3
"""The preview handler's registry entries under Wine: what regsvr32 writes
for it and takes away again, and that a run of its script that fails at its
very end leaves none of them behind (the interpreter's rollback).

usage: registration_test.py --dll DLL --regscript REGSCRIPT --script PREVIEW.rgs
                            --work DIR [--wow64] -- EMULATOR...

--wow64: the DLL is a 32-bit one in a 64-bit prefix, whose class names the
32-bit preview host; reg.exe then runs as a 32-bit program too and sees the
same (32-bit) view of the registry."""
import argparse
import os
import subprocess
import sys

CLSID = '{6E603337-6D05-4FCC-BAE0-ADCF8E18B5DF}'
NAME = 'Tamsorel Sprite Preview'
PREVIEW_BINDING = '{8895b1c6-b41f-4c1c-a562-0d564250836f}'
NATIVE_HOST = '{6d2b5079-2f0b-48dd-ab7f-97cec514d30b}'
WOW64_HOST = '{534A1E02-D58F-44f0-B58B-36CBED287C7C}'
HANDLERS = r'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\PreviewHandlers'
CLASS_KEY = 'HKCR\\CLSID\\' + CLSID


def winpath(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


class Wine:
    def __init__(self, emulator, work):
        self.emulator = emulator
        self.work = work

    def run(self, *args):
        return subprocess.run(self.emulator + list(args), capture_output=True, text=True, errors='replace')

    def snapshot(self):
        """Every value below the keys the handler's registration touches, as
        {(KEY, NAME): data} with KEY and NAME in upper case (NAME None for
        the default value): three exports instead of a query per value."""
        values = {}
        for root in (CLASS_KEY, r'HKCR\SystemFileAssociations', HANDLERS):
            export = os.path.join(self.work, 'export.reg')
            if os.path.exists(export):
                os.remove(export)
            if self.run('reg', 'export', root, winpath(export), '/y').returncode != 0:
                continue  # the key is not there
            with open(export, 'rb') as f:
                text = f.read().decode('utf-16')
            key = None
            for line in text.splitlines():
                if line.startswith('[') and line.endswith(']'):
                    key = line[1:-1].replace('HKEY_CLASSES_ROOT', 'HKCR').replace('HKEY_LOCAL_MACHINE', 'HKLM').upper()
                    values[(key, '(KEY)')] = ''
                elif key and '=' in line:
                    name, _, data = line.partition('=')
                    name = None if name == '@' else name.strip('"').upper()
                    values[(key, name)] = data.strip('"').replace('\\\\', '\\')
        return values


def expected(dll, host=NATIVE_HOST):
    """Every value the handler's registration writes: (key, name, data)."""
    entries = [
        (CLASS_KEY, None, NAME),
        (CLASS_KEY, 'AppID', host),
        (CLASS_KEY, 'DisplayName', NAME),
        (CLASS_KEY + r'\InprocServer32', None, dll),
        (CLASS_KEY + r'\InprocServer32', 'ThreadingModel', 'Apartment'),
        (HANDLERS, CLSID, NAME),
    ]
    for ext in ('.spr', '.s16', '.c16'):
        entries.append((r'HKCR\SystemFileAssociations\%s\shellex\%s' % (ext, PREVIEW_BINDING), None, CLSID))
    return entries


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--dll', required=True)
    parser.add_argument('--regscript', required=True)
    parser.add_argument('--script', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('--wow64', action='store_true')
    parser.add_argument('emulator', nargs='+')
    options = parser.parse_args()
    host = WOW64_HOST if options.wow64 else NATIVE_HOST
    os.makedirs(options.work, exist_ok=True)
    wine = Wine(options.emulator, options.work)
    dll = winpath(options.dll)
    failures = []

    def check(condition, text):
        if not condition:
            failures.append(text)

    def absent(values, when, entries):
        for key, name, _ in entries:
            check((key.upper(), name.upper() if name else None) not in values,
                  '%s: %s\\%s is still there' % (when, key, name or '(default)'))

    result = wine.run('regsvr32', '/s', dll)
    check(result.returncode == 0, 'regsvr32 failed: %d %s' % (result.returncode, result.stderr.strip()))
    values = wine.snapshot()
    for key, name, data in expected(dll, host):
        got = values.get((key.upper(), name.upper() if name else None))
        check(got is not None and got.lower() == data.lower(),
              'after registering: %s\\%s is %r, not %r' % (key, name or '(default)', got, data))

    result = wine.run('regsvr32', '/u', '/s', dll)
    check(result.returncode == 0, 'regsvr32 /u failed: %d' % result.returncode)
    values = wine.snapshot()
    absent(values, 'after unregistering', expected(dll))
    check((CLASS_KEY.upper(), '(KEY)') not in values, 'after unregistering: the class key is still there')

    # Another handler's binding for .spr, then the script with a bad token at
    # the end of its one block: the block fails once all of it is written,
    # and the rollback must put back exactly what was there.
    other = '{11111111-2222-3333-4444-555555555555}'
    spr_binding = r'HKCR\SystemFileAssociations\.spr\shellex\%s' % PREVIEW_BINDING
    wine.run('reg', 'add', spr_binding, '/ve', '/d', other, '/f')
    with open(options.script, 'rb') as source:
        text = source.read()
    text = text.replace(b'\r\n', b'\n').rstrip()
    check(text.endswith(b'\n}'), 'the script no longer ends with its block\'s closing brace')
    text = text[:-1] + b"\tstray = q 'x'\n}\n"
    broken = os.path.join(options.work, 'preview-broken.rgs')
    with open(broken, 'wb') as target:
        target.write(text)
    result = wine.run(options.regscript, '--register', winpath(broken), 'MODULE=' + dll, 'PREVIEWHOST=' + NATIVE_HOST)
    check(not result.stdout.startswith('S_OK'), 'the broken script ran: %s' % result.stdout.strip())
    values = wine.snapshot()
    absent(values, 'after a failed run of the script',
           [e for e in expected(dll) if not e[0].upper().startswith(spr_binding.upper())])
    check((CLASS_KEY.upper(), '(KEY)') not in values, 'after a failed run: the class key is still there')
    check(values.get((spr_binding.upper(), None)) == other,
          'after a failed run: the other handler\'s .spr binding is %r' % values.get((spr_binding.upper(), None)))
    wine.run('reg', 'delete', r'HKCR\SystemFileAssociations\.spr\shellex\%s' % PREVIEW_BINDING, '/f')

    for failure in failures:
        print('FAILED: ' + failure)
    if not failures:
        print('preview registration: %d entries written and removed; a failed run put back what was there'
              % len(expected(dll)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
