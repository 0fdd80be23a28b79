"""mgmtfetch under hostile conditions on loopback: answers far larger than a
version text, a standard output that nobody reads, and a file-size limit."""

import glob
import os
import resource
import shutil
import subprocess
import tempfile
import unittest

from standin import ENDLESS, MEMORY_GUARD, RSS_SLACK_KIB, Standin, generated_body, run_measured

BINARY = os.path.abspath(os.environ.get("MGMTFETCH") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "mgmtfetch"))
VERSION = b"mgmt 1.0\n"
LIMIT = 1 << 20
SERVER = None


def setUpModule():
    global SERVER
    SERVER = Standin(https=False, version_text=VERSION.decode()).start()


def tearDownModule():
    SERVER.stop()


class LimitsTest(unittest.TestCase):
    def setUp(self):
        SERVER.reset()
        self.cwd = tempfile.mkdtemp(prefix="limits-test-")
        self.addCleanup(shutil.rmtree, self.cwd, ignore_errors=True)

    def test_oversized_version_answer_is_a_failed_attempt(self):
        _, out, flat = run_measured(BINARY, ["-a", SERVER.addr(), "-w"])
        self.assertEqual(out, VERSION)
        rows = [  # rule, -t, printed, attempts
            # Printed up to the first NUL byte, as any version text.
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

    def test_closed_stdout_ends_nothing(self):
        url = SERVER.url("/linuxsetup/a.run")
        rows = [  # version rule, package rule, exit status
            ({}, {}, 0),
            ({"body": "v" * 300_000}, {}, 0),  # past any stdio buffer
            ({"body": "v" * 300_000}, {"status": 404}, 255),
        ]
        for version, package, status in rows:
            with self.subTest(version=str(version)[:20], package=package):
                SERVER.reset()
                SERVER.rules([dict(version, path="/version.info"),
                              dict(package, prefix="/linuxsetup/")])
                read, write = os.pipe()
                os.close(read)
                with open(write, "wb") as stdout:
                    done = subprocess.run([BINARY, "-a", SERVER.addr(), "-w", "-d", url],
                                          cwd=self.cwd, stdin=subprocess.DEVNULL,
                                          stdout=stdout, timeout=60)
                self.assertEqual(done.returncode, status)
                self.assertEqual(os.listdir(self.cwd), ["a.run"] if status == 0 else [])
                shutil.rmtree(self.cwd)
                os.mkdir(self.cwd)

    def test_file_size_limit_fails_the_download_cleanly(self):
        url = SERVER.url("/linuxsetup/a.run")
        SERVER.rules([{"prefix": "/linuxsetup/", "body_size": 1_000_000}])
        target = os.path.join(self.cwd, "a.run")
        for limit, status, size in ((65536, 255, 3), (4 << 20, 0, 1_000_000)):
            with self.subTest(limit=limit):
                shutil.rmtree(self.cwd)
                os.mkdir(self.cwd)
                with open(target, "wb") as f:
                    f.write(b"old")

                def preexec(limit=limit):
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
                done = subprocess.run([BINARY, "-d", url], cwd=self.cwd, timeout=60,
                                      stdin=subprocess.DEVNULL, capture_output=True,
                                      preexec_fn=preexec)
                self.assertEqual(done.returncode, status)
                self.assertEqual(os.path.getsize(target), size)
                self.assertEqual(glob.glob(os.path.join(self.cwd, ".mgmtfetch-*")), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
