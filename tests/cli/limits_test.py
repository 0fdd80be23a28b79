"""mgmtfetch under hostile conditions on loopback: answers far larger than a
version text, and a standard output that nobody reads."""

import os
import subprocess
import tempfile
import unittest

from mgmttest import (BINARY, ENDLESS, MEMORY_GUARD, RSS_SLACK_KIB, Standin, generated_body,
                      run_measured)

LIMIT = 1 << 20
SERVER = Standin(https=False, version_text="mgmt 1.0\n")
setUpModule, tearDownModule = SERVER.start, SERVER.stop


class LimitsTest(unittest.TestCase):
    def setUp(self):
        SERVER.reset()

    def test_oversized_version_answer_is_a_failed_attempt(self):
        _, out, flat = run_measured(["-a", SERVER.addr(), "-w"])
        self.assertEqual(out, b"mgmt 1.0\n")
        rows = [  # rule, -t, printed (up to the first NUL byte), attempts
            ({"body_size": LIMIT}, "2", generated_body(LIMIT).split(b"\0")[0], 1),
            ({"body_size": LIMIT + 1}, "2", b"", 10),
            # No time-out: only the size limit can end it.
            (ENDLESS, "0", b"", 10),
        ]
        for rule, seconds, printed, attempts in rows:
            with self.subTest(rule=str(rule)[:40], t=seconds):
                SERVER.reset()
                SERVER.rules([dict(rule, path="/version.info")])
                rc, out, peak = run_measured(
                    ["-t", seconds, "-a", SERVER.addr(), "-w"], limits=MEMORY_GUARD)
                self.assertEqual((rc, out == printed), (0, True))
                self.assertEqual(len(SERVER.requests()), attempts)
                self.assertLess(peak, flat + RSS_SLACK_KIB, "peak RSS in KiB")

    def test_version_text_to_a_closed_pipe_does_not_end_the_run(self):
        # Past any stdio buffer, so the write fails before the -d.
        SERVER.rules([{"path": "/version.info", "body": "v" * 300_000}])
        read, write = os.pipe()
        os.close(read)
        with tempfile.TemporaryDirectory() as cwd, open(write, "wb") as pipe:
            rc = subprocess.run(
                [BINARY, "-a", SERVER.addr(), "-w", "-d", SERVER.url("/linuxsetup/a.run")],
                cwd=cwd, stdin=subprocess.DEVNULL, stdout=pipe, timeout=60).returncode
            self.assertEqual((rc, os.listdir(cwd)), (0, ["a.run"]))
            self.assertEqual(os.path.getsize(os.path.join(cwd, "a.run")), 65536)


if __name__ == "__main__":
    unittest.main(verbosity=2)
