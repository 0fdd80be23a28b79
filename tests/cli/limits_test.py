"""mgmtfetch under hostile conditions on loopback: answers far larger than a
version text, a standard output that nobody reads, and a file-size limit."""

import os
import resource
import subprocess
import tempfile
import unittest

from standin import (ENDLESS, MEMORY_GUARD, RSS_SLACK_KIB, Standin, generated_body,
                     run_measured)

BINARY = os.path.abspath(os.environ.get("MGMTFETCH") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "mgmtfetch"))
LIMIT = 1 << 20
SERVER = Standin(https=False, version_text="mgmt 1.0\n")
setUpModule, tearDownModule = SERVER.start, SERVER.stop


class LimitsTest(unittest.TestCase):
    def setUp(self):
        SERVER.reset()

    def test_oversized_version_answer_is_a_failed_attempt(self):
        _, out, flat = run_measured(BINARY, ["-a", SERVER.addr(), "-w"])
        self.assertEqual(out, b"mgmt 1.0\n")
        rows = [  # rule, -t, printed (up to the first NUL byte), attempts
            ({"body_size": LIMIT}, "2", generated_body(LIMIT).split(b"\0")[0], 1),
            ({"body_size": LIMIT + 1}, "2", b"", 10),
            ({"body_size": 200_000_000}, "2", b"", 10),
            (ENDLESS, "2", b"", 10),
            (ENDLESS, "0", b"", 10),
        ]
        for rule, seconds, printed, attempts in rows:
            with self.subTest(rule=str(rule)[:40], t=seconds):
                SERVER.reset()
                SERVER.rules([dict(rule, path="/version.info")])
                rc, out, peak = run_measured(
                    BINARY, ["-t", seconds, "-a", SERVER.addr(), "-w"], limits=MEMORY_GUARD)
                self.assertEqual((rc, out == printed), (0, True))
                self.assertEqual(len(SERVER.requests()), attempts)
                self.assertLess(peak, flat + RSS_SLACK_KIB, "peak RSS in KiB")

    def test_closed_stdout_and_file_size_limit(self):
        query = ["-a", SERVER.addr(), "-w", "-d", SERVER.url("/linuxsetup/a.run")]
        big = {"path": "/version.info", "body": "v" * 300_000}  # past any stdio buffer
        pkg = {"prefix": "/linuxsetup/", "body_size": 1_000_000}
        rows = [  # args, rules, stdout closed, file-size limit, exit, size of a.run
            (query, [], True, None, 0, 65536),
            (query, [big], True, None, 0, 65536),
            (query, [big, dict(pkg, status=404)], True, None, 255, 3),
            (query[3:], [pkg], False, 65536, 255, 3),
            (query[3:], [pkg], False, 4 << 20, 0, 1_000_000),
        ]
        for args, rules, closed, limit, status, size in rows:
            with self.subTest(rules=str(rules)[:50], limit=limit), \
                    tempfile.TemporaryDirectory() as cwd:
                SERVER.reset()
                SERVER.rules(rules)
                with open(os.path.join(cwd, "a.run"), "wb") as f:
                    f.write(b"old")
                read, write = os.pipe()
                os.close(read)
                with open(write, "wb") as pipe:
                    rc = subprocess.run(
                        [BINARY] + args, cwd=cwd, stdin=subprocess.DEVNULL, timeout=60,
                        stdout=pipe if closed else subprocess.DEVNULL,
                        preexec_fn=limit and (lambda: resource.setrlimit(
                            resource.RLIMIT_FSIZE, (limit, limit)))).returncode
                # Neither signal may end the run; no temporary file is left.
                self.assertEqual((rc, os.listdir(cwd)), (status, ["a.run"]))
                self.assertEqual(os.path.getsize(os.path.join(cwd, "a.run")), size)


if __name__ == "__main__":
    unittest.main(verbosity=2)
