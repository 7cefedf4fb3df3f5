#!/usr/bin/env python3
"""The preview pane's work under Wine, through previewhost and the handler
linked into it: files made here for each case, then

- 65535 entries sharing one 512 x 512 frame: DoPreview decodes it once, and
  SetRect, SetFont and SetBackgroundColor decode nothing (counted through the
  handler's decoder seam); the caption says which frames are shown;
- a file whose one entry claims 65535 x 65535 pixels among real frames: the
  pane shows the real frames exactly as the same file without that entry
  does, and the caption counts the damaged entry;
- a header that claims more frames than the file holds: the caption says so;
- five 4096 x 4096 frames: the decode budget ends DoPreview's work after
  three, and the caption counts the two left out.

previewhost compares every pane it captures with the sprite core's render.

usage: pane_work_test.py --previewhost EXE --work DIR -- EMULATOR..."""
import argparse
import os
import re
import struct
import subprocess
import sys


def winpath(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def pattern(width, height, seed):
    """5-6-5 pixels that depend on the seed, every seventh or so transparent."""
    out = []
    for i in range(width * height):
        v = ((i * 2654435761 + seed * 40503) & 0xFFFFFFFF) >> 7
        out.append(0 if v % 7 == 0 else 1 + v % 65535)
    return out


def s16(entries, claimed=None):
    """An S16 file (5-6-5): entries are (width, height, pixels) or
    (width, height, None, offset) for an entry pointing at another's
    pixels or anywhere else."""
    count = len(entries) if claimed is None else claimed
    head = struct.pack('<IH', 1, count)
    at = 6 + 8 * len(entries)
    table, data = b'', b''
    for e in entries:
        if e[2] is None:
            table += struct.pack('<IHH', e[3], e[0], e[1])
        else:
            table += struct.pack('<IHH', at + len(data), e[0], e[1])
            data += struct.pack('<%dH' % len(e[2]), *e[2])
    return head + table + data


def transparent_c16(count, size):
    """A C16 file (5-6-5) of `count` transparent size x size frames, each
    with lines of its own: one transparent run and the end tag a line."""
    directory = 6 + count * (8 + 4 * (size - 1))
    out = bytearray(struct.pack('<IH', 3, count))
    for f in range(count):
        lines = directory + f * 4 * size
        out += struct.pack('<IHH', lines, size, size)
        out += struct.pack('<%dI' % (size - 1), *[lines + 4 * y for y in range(1, size)])
    out += struct.pack('<HH', size << 1, 0) * (count * size)
    return bytes(out)


class Host:
    def __init__(self, emulator, previewhost, work):
        self.emulator = emulator
        self.previewhost = previewhost
        self.work = work

    def write(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, 'wb') as f:
            f.write(data)
        return path

    def run(self, *args):
        result = subprocess.run(self.emulator + [self.previewhost] + list(args), capture_output=True)
        # Windows programs end their lines with CR LF.
        text = [out.decode('utf-8', 'replace').replace('\r\n', '\n') for out in (result.stdout, result.stderr)]
        return result.returncode, text[0], text[1]


def field(pattern_text, text):
    match = re.search(pattern_text, text, re.M)
    return match.groups() if match else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--previewhost', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('emulator', nargs='+')
    options = parser.parse_args()
    os.makedirs(options.work, exist_ok=True)
    host = Host(options.emulator, options.previewhost, options.work)
    failures = []

    def check(condition, text):
        if not condition:
            failures.append(text)

    def counted(name, data, *size):
        """previewhost --count-decodes on a file made here: its output, with
        a failure recorded when it fails."""
        path = host.write(name, data)
        status, out, err = host.run('--count-decodes', *size, winpath(path), winpath(path + '.png'))
        check(status == 0, '%s: previewhost failed (%d): %s' % (name, status, err.strip()))
        os.remove(path)
        return out

    # 65535 entries, one frame: decoded once, and never again after DoPreview.
    frame = pattern(512, 512, 3)
    shared = s16([(512, 512, frame)] + [(512, 512, None, 6 + 8 * 65535)] * 65534)
    out = counted('shared.s16', shared, '--size', '640x480', '--resize', '800x600')
    decodes = field(r'^DoPreview: (\d+) decodes, (\d+) pixels, (\d+) repeated', out)
    check(decodes == ('1', '262144', '0'), 'shared frame: DoPreview decoded %r, not one 512 x 512 frame' % (decodes,))
    later = field(r'SetRect: (\d+); SetFont: (\d+); SetBackgroundColor: (\d+)$', out)
    check(later == ('0', '0', '0'), 'shared frame: later calls decoded %r' % (later,))
    shown = field(r'^caption: frames 1\u2013(\d+) of 65535, 512 \u00d7 512, rgb565$', out)
    check(shown is not None and 1 < int(shown[0]) < 65535, 'shared frame: caption %r' % out.splitlines()[-1:])

    # One bogus entry among real frames: the same pane as without it.
    real = [(16, 16, pattern(16, 16, 1)), (24, 12, pattern(24, 12, 2)), (20, 20, pattern(20, 20, 4))]
    bogus = real[:1] + [(65535, 65535, None, 6 + 8 * 4)] + real[1:]
    alone = host.write('real.s16', s16(real))
    with_bogus = host.write('bogus.s16', s16(bogus))
    status, out, err = host.run('--size', '400x300', '--same-pane-as', winpath(alone), winpath(with_bogus),
                                winpath(with_bogus + '.png'))
    check(status == 0, 'bogus entry: the pane differs from the real frames\' own: %s' % err.strip())
    check('caption: 4 frames, 16 \u00d7 16, rgb565, 1 damaged\n' in out,
          'bogus entry: caption %r' % out.splitlines()[-1:])
    os.remove(alone)
    os.remove(with_bogus)

    # A header claiming more frames than the file holds: three 1 x 1 frames
    # sharing the file's last two bytes.
    one = [(1, 1, None, 6 + 8 * 3)] * 3
    claims = host.write('claims.s16', s16(one, claimed=9) + struct.pack('<H', 0xF800))
    status, out, err = host.run('--size', '200x150', winpath(claims), winpath(claims + '.png'))
    check(status == 0, 'claimed frames: previewhost failed: %s' % err.strip())
    check('caption: 3 frames (header claims 9), 1 \u00d7 1, rgb565\n' in out,
          'claimed frames: caption %r' % out.splitlines()[-1:])
    os.remove(claims)

    # Five 4096 x 4096 frames: three fit the budget of 64 million pixels.
    out = counted('budget.c16', transparent_c16(5, 4096), '--size', '480x360')
    decodes = field(r'^DoPreview: (\d+) decodes, (\d+) pixels, (\d+) repeated', out)
    check(decodes == ('3', str(3 * 4096 * 4096), '0'), 'budget: DoPreview decoded %r, not three frames' % (decodes,))
    check(re.search(r'^caption: 5 frames, 4096 \u00d7 4096, rgb565, 2 not decoded$', out, re.M) is not None,
          'budget: caption %r' % out.splitlines()[-1:])

    for failure in failures:
        print('FAILED: ' + failure)
    if not failures:
        print('pane work: a shared frame decoded once and nothing after DoPreview, damaged entries left out, '
              'the caption\'s counts, the decode budget')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
