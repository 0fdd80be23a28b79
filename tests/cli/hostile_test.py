#!/usr/bin/env python3
"""Hundreds of malformed -a, -d, -t arguments, in a namespace whose loopback is
down: each run exits 0 or 255, prints only whole usage texts, leaves no file.
HOSTILE_SEED picks another set of generated cases."""

import ctypes
import os
import random
import socket
import subprocess
import sys
import tempfile
import unittest

from mgmttest import BINARY, require_netns

SEED = int(os.environ.get("HOSTILE_SEED", "6"))
LONG = 100_000  # below the kernel's 128 KiB limit on one argument
ALL_BYTES = bytes(range(1, 256))
TOKENS = [b":", b"%", b"[", b"]", b"/", b".", b"fe80:", b"fe80::", b"443", b"65535",
          b"%25", b"/linuxsetup", b"http://", b"https://", b"..", b"127.0.0.1", b"::1",
          b"-", b"@", b"#", b"?", b"\\", b" "]
# Texts that every option gets in turn.
FIXED = [b"", b":", b"%", b"[", b"/", b"fe80:", b"fe80::", b"fe80::1%", b"fe80::1%lo:443",
    b"fe80::1.2:443", b"[::1]:443", b"::1", b"127.0.0.1:443", b"%25", b"-w", b"--",
    ALL_BYTES, ALL_BYTES[::-1], b"fe80:" + ALL_BYTES, b"a" * LONG, b":" * LONG,
    b"%" * LONG, b"[" * LONG, b"/" * LONG, b"fe80:" * (LONG // 5),
    b"fe80:" + b":" * LONG, b"fe80::1" + b"%" * LONG + b":443",
    b"127.0.0.1:" + b"9" * LONG, b"/linuxsetup" * (LONG // 11),
    b"http://127.0.0.1:443/linuxsetup/" + b"x" * LONG,
    b"-2147483649", b"99999999999999999999", b"0x10", b" 7", b"1e9"]


def enter_empty_netns():
    """Moves this process, and so every child, into a new network namespace."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x40000000) != 0:  # CLONE_NEWNET
        sys.exit(f"unshare(CLONE_NEWNET): {os.strerror(ctypes.get_errno())}")
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"]:
        sys.exit(f"the new namespace has interfaces {names}")


def hostile_text(rng):
    return b"".join(bytes([rng.randint(1, 255)]) if rng.random() < 0.4 else rng.choice(TOKENS)
                    for _ in range(rng.choice([0, 1, 3, 8, 20, 60, 300, 3000])))


def url(rng):
    name = rng.choice([b"", b".", b"..", b"x" * 300, ALL_BYTES.replace(b"/", b""),
                       b".mgmtfetch-XXXXXX", b"-", b"p.bin?v=2",
                       hostile_text(rng).replace(b"/", b"")])
    return (rng.choice([b"http://", b"https://", b"", b"//", b"/"]) + hostile_text(rng)
            + b"/linuxsetup" + rng.choice([b"/", b"", b"//", b"/../../"]) + name)


def cases():
    rng = random.Random(SEED)
    for option in (b"-a", b"-d", b"-t"):
        for text in FIXED:
            yield [b"-t", b"1", option, text, b"-w"]
    for text in FIXED[:8]:
        yield [b"-t", b"1", b"-d", b"http://" + text + b"/linuxsetup/p.bin", b"-w"]
    items = [lambda: [b"-a", hostile_text(rng)], lambda: [b"-w"], lambda: [b"-d", url(rng)],
        lambda: [b"-d", hostile_text(rng)], lambda: [hostile_text(rng)],
        lambda: [b"-t", rng.choice(FIXED[-5:] + [b"1", b"0", b"-1", b""])],
        lambda: [rng.choice([b"-x", b"-", b"--address", b"-wxd"])]]
    for _ in range(220):
        argv = [b"-t", b"1"]
        for _ in range(rng.randint(1, 6)):
            argv += rng.choice(items)()
        if rng.random() < 0.5:
            argv.append(b"-w")
        if rng.random() < 0.1:
            argv.append(rng.choice([b"-a", b"-d", b"-t"]))  # argument missing
        yield argv


def entries(path):
    return set(os.listdir(path))


class HostileArguments(unittest.TestCase):
    def test_malformed_arguments(self):
        with tempfile.TemporaryDirectory(prefix="mgmtfetch-hostile-") as base:
            dirs = [os.path.join(base, d) for d in ("work", "home", "tmp")]
            list(map(os.mkdir, dirs))
            env = dict(os.environ, HOME=dirs[1], TMPDIR=dirs[2])

            def run(argv):
                return subprocess.run([BINARY.encode()] + argv, cwd=dirs[0], env=env,
                                      stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            usage = run([b"-x"]).stdout
            self.assertIn(b"-a | --address", usage)
            # Places a stray write would most likely land in.
            watched = ["/", "/tmp", os.path.dirname(BINARY),
                       os.environ.get("MGMTFETCH_SOURCE_DIR", "/")]
            before = {d: entries(d) for d in watched}
            failures, targets, count = [], set(), 0
            for count, argv in enumerate(cases(), 1):
                # Names that a -d in these runs could write.
                targets |= {os.fsdecode(a.rsplit(b"/", 1)[-1]) for a in argv
                            if b"/linuxsetup" in a}
                try:
                    done = run(argv)
                    out, err = done.stdout, done.stderr
                    problems = [p for p, bad in [
                        (f"exit status {done.returncode}", done.returncode not in (0, 255)),
                        (f"stdout {out[:80]!r}", out != usage * (len(out) // len(usage))),
                        (err[-2000:], b"Sanitizer" in err or b"runtime error" in err)] if bad]
                except subprocess.TimeoutExpired:
                    problems = ["hung"]
                left = set().union(*map(entries, dirs)) | (entries(base) - {"work", "home", "tmp"})
                if left:
                    problems.append(f"files left: {sorted(left)}")
                for name in entries(dirs[0]):
                    os.remove(os.path.join(dirs[0], name))
                if problems:
                    failures.append(([a[:40] for a in argv], problems))
            for d in watched:
                new = {n for n in entries(d) - before[d]
                       if n.startswith(".mgmtfetch") or n in targets}
                if new:
                    failures.insert(0, (d, f"stray files {sorted(new)}"))
            self.assertGreater(count, 300)
            self.assertEqual(failures[:10], [], f"{len(failures)} of {count} runs failed")


if __name__ == "__main__":
    require_netns()
    enter_empty_netns()
    unittest.main()
