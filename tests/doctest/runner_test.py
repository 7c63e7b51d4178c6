#!/usr/bin/python3
"""The doc runner against small pages: it must pass a page whose sessions
print what it shows, and fail (naming the page line) one whose output or exit
status differs, one that times out, and pages that break the block rules.
Runs as root like the runner itself; otherwise it skips and says why."""

import os
import subprocess
import sys
import tempfile
import time

SKIP = 77
RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tools', 'doctest', 'run_doc.py')
FAILS = []


def run(work, name, page, *extra):
    path = os.path.join(work, name)
    with open(path, 'w') as f:
        f.write(page)
    p = subprocess.run([RUNNER, '--bin', '/usr/bin', '--src', work,
                        '--out', os.path.join(work, 'out')] + list(extra) + [path],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return p.returncode, p.stdout


def expect(what, cond, output):
    if not cond:
        FAILS.append('%s\n--- runner output:\n%s' % (what, output))


GOOD = '''# A page
Text around the blocks is not run.
```console
$ echo "pid $$" | sed 's/[0-9][0-9]*/42/'
pid 42
$ printf 'a\\nb\\nc\\nd\\n'
a
...
d
$ date +%s
[0-9]+ (re)
$ echo korv-1234.log
korv-*.log (glob)
$ for i in 1 2; do
>   echo "$i"
> done
1
2
$ sh -c 'exit 3'
[3]
```
- A session in a list item is indented with it:

  ```console
  $ echo indented
  indented
  ```

Page source, shown and not run:
````markdown
```console
$ echo not run
```
````

A file format, not a session:
```
timeout 10000
connect work
```
'''


def pages_that_pass(work):
    rc, out = run(work, 'good.md', GOOD)
    expect('a page printing what it shows passes', rc == 0 and '7 commands ran as shown' in out, out)
    rc, out = run(work, 'none.md', '# Only prose\n```console no-run: needs a phone\n$ adb shell\n```\n')
    expect('a page without runnable sessions passes and says so',
           rc == 0 and 'no console sessions' in out and '1 marked no-run' in out, out)


def pages_that_fail(work):
    rc, out = run(work, 'output.md', GOOD.replace('pid 42', 'pid 43'))
    expect('a differing output line fails and is shown with its page line',
           rc == 1 and 'output.md:4: $ echo' in out and '| pid 43' in out and '| pid 42' in out, out)
    rc, out = run(work, 'status.md', GOOD.replace('[3]\n', ''))
    expect('an exit status the page does not show fails',
           rc == 1 and 'exit status 3, the page shows 0' in out, out)
    rc, out = run(work, 'missing.md', GOOD.replace('a\n...\nd\n', 'a\n...\nc\n'))
    expect('"..." does not hide a last line that differs', rc == 1 and 'missing.md:6' in out, out)
    rc, out = run(work, 'silent.md', '```console\n$ echo unexpected\n```\n')
    expect('output where the page shows none fails', rc == 1 and '(no output)' in out, out)
    rc, out = run(work, 'hang.md', '```console\n$ sleep 60\n```\n', '--timeout', '2')
    expect('a command that hangs fails by name after the time-out',
           rc == 1 and 'timed out after 2 s in: sleep 60' in out, out)


def pages_that_break_rules(work):
    rc, out = run(work, 'untagged.md', '```\n$ echo hi\nhi\n```\n')
    expect('a session block without the console tag is refused',
           rc == 1 and 'untagged.md:1' in out and 'not tagged console' in out, out)
    rc, out = run(work, 'indented.md', 'A session as an indented block:\n\n    $ echo hi\n    hi\n')
    expect('an indented block with commands is refused',
           rc == 1 and 'indented.md:3' in out and 'indented block' in out, out)
    rc, out = run(work, 'noreason.md', '```console no-run\n$ adb shell\n```\n')
    expect('no-run without a reason is refused', rc == 1 and 'needs a reason' in out, out)


def sessions_are_private(work):
    """Two pages at once may both listen on port 8010 and write /tmp/phone;
    what a page leaves running dies with it."""
    page = '''```console
$ echo mine > /tmp/phone; cat /tmp/phone
mine
$ python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 8010)); print("bound")'
bound
$ sleep 311.7 &
```
'''
    procs = []
    for n in range(2):
        path = os.path.join(work, 'private%d.md' % n)
        with open(path, 'w') as f:
            f.write(page)
        procs.append(subprocess.Popen([RUNNER, '--bin', '/usr/bin', '--src', work, '--out',
                                       os.path.join(work, 'out'), path],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    for p in procs:
        out = p.communicate()[0]
        expect('a page has its own /tmp and ports', p.returncode == 0, out)
    time.sleep(0.5)
    left = subprocess.run(['pgrep', '-f', '^sleep 311.7$'], stdout=subprocess.PIPE, text=True).stdout
    expect('a background process of a page ends with the page', left == '', left)
    expect('the /tmp a page wrote is not the machine\'s', not os.path.exists('/tmp/phone')
           or open('/tmp/phone').read() != 'mine\n', '/tmp/phone written')


def tree_below_tmp():
    """A clone in /tmp, or in a mkdtemp folder, stays visible to its pages
    over their fresh /tmp."""
    with tempfile.TemporaryDirectory(prefix='runner-test-') as work:
        with open(os.path.join(work, 'data.txt'), 'w') as f:
            f.write('from the tree\n')
        rc, out = run(work, 'tmp.md', '```console\n$ cat data.txt\nfrom the tree\n```\n')
        expect('a page of a tree below /tmp sees the tree', rc == 0, out)


def main():
    if os.geteuid() != 0:
        print('skipped: the runner needs root for its namespaces (run as root)')
        return SKIP
    with tempfile.TemporaryDirectory(prefix='runner-test-', dir=os.getcwd()) as work:
        pages_that_pass(work)
        pages_that_fail(work)
        pages_that_break_rules(work)
        sessions_are_private(work)
    tree_below_tmp()
    for f in FAILS:
        print('FAIL: ' + f)
    return 1 if FAILS else 0


if __name__ == '__main__':
    sys.exit(main())
