#!/usr/bin/python3
"""Runs the console sessions of one Markdown page and checks their output.

The page stays the one source: every fenced block tagged ```console is read
from it, written as a cram transcript into the output folder (NAME.t, for a
look after a failure) and run with Debian's cram in one bash session, in a
fresh temporary folder whose entries point into the source tree, with the
tools under test first on PATH.  Each page gets private network, mount and
pid namespaces (so korv's default ports and paths like /tmp/phone are the
page's own, and every process it leaves behind dies with it); that takes
root, so without root the page is skipped (exit 77) and says why.

Conventions (docs/doctest.md):
  $ CMD          a command; `> MORE` continues it
  lines after    its output, compared line by line; a line ending in
                 " (glob)" matches * and ?, one ending in " (re)" is a Python
                 regular expression, a line "..." stands for any lines
  [N]            the command exits with status N (cram's notation); a
                 command that fails without showing it fails the page
  CMD &          runs in the background; its output goes to bg.log in the
                 output folder, not into the transcript
```console no-run: REASON   a session no test machine can run; the reason is
                 required.
"""

import argparse
import codecs
import fcntl
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile

SKIP = 77
TIMEOUT_S = 240
FENCE = re.compile(r'^( *)(`{3,})(.*)$')
STATUS = re.compile(r'^\[(\d+)\]$')
INDENTED_SESSION = re.compile(r'^ {4,}\$ ')


class DocError(Exception):
    pass


def read_blocks(path):
    """Returns the console blocks as (first line number, lines) and counts the
    no-run ones; a fenced or indented block that shows `$ ` commands without
    the console tag, or a no-run without a reason, is an error in the page."""
    with open(path, encoding='utf-8') as f:
        lines = f.read().split('\n')
    blocks, skipped, errors = [], 0, []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            if INDENTED_SESSION.match(lines[i]):
                errors.append('%s:%d: an indented block with `$ ` commands; make it a '
                              '```console block' % (path, i + 1))
            i += 1
            continue
        # A block inside a list item is indented with the item.
        indent, fence, info = m.group(1), m.group(2), m.group(3).strip()
        start = i + 1
        i += 1
        body = []
        while i < len(lines) and not lines[i].lstrip(' ').startswith(fence):
            line = lines[i]
            body.append(line[len(indent):] if line.startswith(indent) else line.lstrip(' '))
            i += 1
        i += 1
        words = info.split(None, 1)
        tag = words[0] if words else ''
        rest = words[1] if len(words) > 1 else ''
        if tag != 'console':
            # A markdown block shows page source, sessions included.
            if tag != 'markdown' and any(l.startswith('$ ') for l in body):
                errors.append('%s:%d: a block with `$ ` commands is not tagged console'
                              % (path, start))
            continue
        if rest.startswith('no-run'):
            if not re.match(r'no-run:\s*\S', rest):
                errors.append('%s:%d: no-run needs a reason: ```console no-run: WHY'
                              % (path, start))
            skipped += 1
            continue
        if rest:
            errors.append('%s:%d: unknown console block option "%s"' % (path, start, rest))
            continue
        blocks.append((start + 1, body))
    if errors:
        raise DocError('\n'.join(errors))
    return blocks, skipped


def parse_commands(blocks, path):
    """Cuts the blocks into commands: each with its page line, its text
    lines and its expected output lines."""
    cmds = []
    for first, body in blocks:
        for n, line in enumerate(body):
            if line.startswith('$ '):
                cmds.append({'line': first + n, 'text': [line[2:]], 'want': []})
            elif line.startswith('> ') and cmds and not cmds[-1]['want'] \
                    and cmds[-1]['line'] >= first:
                cmds[-1]['text'].append(line[2:])
            elif cmds and cmds[-1]['line'] >= first:
                cmds[-1]['want'].append(line)
            elif line.strip():
                raise DocError('%s:%d: output before the first command of the block'
                               % (path, first + n))
    return cmds


def background(text):
    """A command ending in `&` keeps its output out of the transcript: it
    comes at times no transcript can fix, and a child holding cram's pipe
    open would keep the session from ending."""
    last = text[-1].rstrip()
    if not last.endswith('&') or last.endswith('&&'):
        return text
    return text[:-1] + [last[:-1].rstrip() + ' >>"$DOCTEST_BG_LOG" 2>&1 &']


def write_cram(cmds, doc, path):
    """The transcript in cram's format; returns its lines."""
    out = ['Generated from %s by tools/doctest/run_doc.py; edit the page, not this file.\n' % doc,
           "The runner's own first command names the running one if the page times out.\n",
           '  $ trap \'printf "%s\\n" "$BASH_COMMAND" > "$DOCTEST_TRACE"\' DEBUG\n']
    for c in cmds:
        out.append('%s:%d\n' % (os.path.basename(doc), c['line']))
        text = background(c['text'])
        out.append('  $ %s\n' % text[0])
        out += ['  > %s\n' % t for t in text[1:]]
        out += ['  %s\n' % w for w in c['want']]
    with open(path, 'w', encoding='utf-8') as f:
        f.writelines(out)
    return [l.encode() for l in out]


def unescape(line):
    """cram escapes bytes outside printable ASCII (" (esc)"); the page shows
    them as the UTF-8 text they are."""
    if not line.endswith(' (esc)'):
        return line
    raw = codecs.escape_decode(line[:-6].encode('utf-8', 'surrogateescape'))[0]
    return raw.decode('utf-8', 'replace')


def actual_outputs(postout):
    """Cuts cram's output transcript back into each command's output lines
    (the runner's trap command first)."""
    outs, cur = [], None
    for raw in postout:
        line = raw.decode('utf-8', 'replace').rstrip('\n')
        if line.startswith('  $ '):
            cur = []
            outs.append(cur)
        elif line.startswith('  > '):
            continue
        elif line.startswith('  ') and cur is not None:
            cur.append(unescape(line[2:]))
        else:
            cur = None
    return outs


def glob_re(pattern):
    out = ''
    i = 0
    while i < len(pattern):
        c = pattern[i]
        if c == '\\' and i + 1 < len(pattern) and pattern[i + 1] in '*?\\':
            out += re.escape(pattern[i + 1])
            i += 2
            continue
        out += '.*' if c == '*' else '.' if c == '?' else re.escape(c)
        i += 1
    return out


def line_matches(want, got):
    if want.endswith(' (re)'):
        try:
            return re.fullmatch(want[:-5], got) is not None
        except re.error:
            return False
    if want.endswith(' (glob)'):
        return re.fullmatch(glob_re(want[:-7]), got) is not None
    return want == got


def lines_match(want, got):
    """Ordered match where a "..." line stands for any number of lines."""
    memo = {}

    def at(i, j):
        if (i, j) in memo:
            return memo[(i, j)]
        if i == len(want):
            r = j == len(got)
        elif want[i] == '...':
            r = any(at(i + 1, k) for k in range(j, len(got) + 1))
        else:
            r = j < len(got) and line_matches(want[i], got[j]) and at(i + 1, j + 1)
        memo[(i, j)] = r
        return r
    return at(0, 0)


def split_status(lines):
    """The exit status line apart; trailing blank lines, which a Markdown
    block cannot show, are dropped."""
    while lines and not lines[-1].strip():
        lines = lines[:-1]
    if lines and STATUS.match(lines[-1]):
        status = int(STATUS.match(lines[-1]).group(1))
        lines = lines[:-1]
    else:
        status = 0
    while lines and not lines[-1].strip():
        lines = lines[:-1]
    return lines, status


def check(cmds, outs, doc):
    """Returns the failure reports, one per command whose output or status
    differs from the page."""
    fails = []
    if len(outs) != len(cmds) + 1:
        return ['%s: the session ended after %d of %d commands'
                % (doc, max(len(outs) - 1, 0), len(cmds))]
    for c, got in zip(cmds, outs[1:]):
        want_lines, want_status = split_status(c['want'])
        got_lines, got_status = split_status(got)
        if want_status == got_status and lines_match(want_lines, got_lines):
            continue
        report = ['%s:%d: $ %s' % (doc, c['line'], '\n> '.join(c['text']))]
        if want_status != got_status:
            report.append('  exit status %d, the page shows %d' % (got_status, want_status))
        report.append('  the page shows:')
        report += ['  | ' + l for l in c['want']] or ['  (no output)']
        report.append('  it printed:')
        report += ['  | ' + l for l in got] or ['  (no output)']
        fails.append('\n'.join(report))
    return fails


def loopback_up():
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        req = struct.pack('16sH14x', b'lo', 0)
        flags = struct.unpack('16sH14x', fcntl.ioctl(s, SIOCGIFFLAGS, req))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack('16sH14x', b'lo', flags | IFF_UP))


def hold_tops_below_tmp(paths):
    """The folders right below /tmp that hold any of paths (a clone in /tmp, or
    in a mkdtemp folder), each with a descriptor held open: the page's fresh
    /tmp would hide them otherwise."""
    tops = set()
    for p in paths:
        real = os.path.realpath(p)
        if real.startswith('/tmp/'):
            tops.add('/tmp/' + real[len('/tmp/'):].split('/')[0])
    return [(top, os.open(top, os.O_PATH | os.O_DIRECTORY)) for top in sorted(tops)]


def bind_back(held):
    """Each held folder bound again at its own path in the fresh /tmp (the
    descriptor's link as it is: canonicalised, it would name the new, empty
    folder)."""
    for top, fd in held:
        os.mkdir(top)
        subprocess.run(['mount', '--no-canonicalize', '--bind', '/proc/self/fd/%d' % fd, top],
                       check=True, pass_fds=(fd,))
        os.close(fd)


def make_workdir(src):
    """A folder that looks like the source tree to the page's relative paths
    (scenarios/, tools/, ...) while what the page writes stays in it."""
    work = tempfile.mkdtemp(prefix='korv-', dir='/tmp')
    for name in os.listdir(src):
        if name not in ('build', '.git'):
            os.symlink(os.path.join(src, name), os.path.join(work, name))
    return work


def session_env(args, work):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith('KORV_') and not k.startswith('CTEST')}
    env['PATH'] = args.bin + ':/usr/sbin:/usr/bin:/sbin:/bin'
    env['HOME'] = work
    env['DOCTEST_BG_LOG'] = os.path.join(args.out, args.name + '.bg.log')
    env['DOCTEST_TRACE'] = os.path.join(args.out, args.name + '.trace')
    return env


def on_timeout(signum, frame):
    raise TimeoutError()


def run_inside(args, cmds):
    """Runs in the page's namespaces as their pid 1: when it returns, every
    process the page started is killed."""
    import cram
    loopback_up()
    # The output folder may lie below /tmp: held open, it stays reachable
    # through pid 1's fd (this process) from every process of the page.
    out_fd = os.open(args.out, os.O_RDONLY | os.O_DIRECTORY)
    bg_log_shown = os.path.join(args.out, args.name + '.bg.log')
    args.out = '/proc/1/fd/%d' % out_fd
    held = hold_tops_below_tmp([args.src, args.bin])
    subprocess.run(['mount', '-t', 'tmpfs', '-o', 'mode=1777', 'korv-doctest', '/tmp'], check=True)
    bind_back(held)
    work = make_workdir(args.src)
    os.chdir(work)
    env = session_env(args, work)
    for k in ('DOCTEST_BG_LOG', 'DOCTEST_TRACE'):
        open(env[k], 'w').close()
    lines = write_cram(cmds, args.doc, os.path.join(args.out, args.name + '.t'))
    signal.signal(signal.SIGALRM, on_timeout)
    signal.alarm(args.timeout)
    try:
        _, postout, _ = cram.test(lines, shell=['/bin/bash', '--noprofile', '--norc'],
                                  env=env, cleanenv=True)
    except TimeoutError:
        with open(env['DOCTEST_TRACE']) as f:
            running = f.read().strip()
        fails = ['%s: timed out after %d s in: %s' % (args.doc, args.timeout, running)]
    else:
        signal.alarm(0)
        with open(os.path.join(args.out, args.name + '.t.err'), 'wb') as f:
            f.writelines(postout)
        fails = check(cmds, actual_outputs(postout), args.doc)
    if fails:
        print('\n\n'.join(fails))
        with open(env['DOCTEST_BG_LOG'], errors='replace') as f:
            bg = f.read()
        if bg:
            print('\nbackground output, its end (all of it in %s):\n%s' % (bg_log_shown, bg[-6000:]))
        return 1
    print('%s: %d command%s ran as shown' % (args.doc, len(cmds), '' if len(cmds) == 1 else 's'))
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('--bin', required=True, help='folder of the tools under test')
    p.add_argument('--src', required=True, help='source tree the page refers to')
    p.add_argument('--out', required=True, help='folder for the transcript and logs')
    p.add_argument('--timeout', type=int, default=TIMEOUT_S)
    p.add_argument('--inside', action='store_true', help=argparse.SUPPRESS)
    p.add_argument('doc')
    args = p.parse_args()
    args.bin, args.src, args.out = (os.path.abspath(d) for d in (args.bin, args.src, args.out))
    args.name = os.path.basename(args.doc)
    try:
        blocks, skipped = read_blocks(args.doc)
        cmds = parse_commands(blocks, args.doc)
    except DocError as e:
        print(e)
        return 1
    if args.inside:
        return run_inside(args, cmds)
    if not cmds:
        print('%s: no console sessions to run (%d marked no-run)' % (args.doc, skipped))
        return 0
    if os.geteuid() != 0:
        print('%s: skipped: running the sessions needs root (private network, mount and pid '
              'namespaces, so that they can use korv\'s ports and /tmp as a reader does)' % args.doc)
        return SKIP
    os.makedirs(args.out, exist_ok=True)
    argv = ['unshare', '--net', '--mount', '--pid', '--fork', '--kill-child', '--mount-proc',
            sys.executable, os.path.abspath(__file__), '--inside'] + sys.argv[1:]
    return subprocess.run(argv).returncode


if __name__ == '__main__':
    sys.exit(main())
