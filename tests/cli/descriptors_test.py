"""Runs started with standard input, output or error closed, as daemons and
cron wrappers start programs: whatever file takes such a descriptor (the
package, the trace) must not receive what is written to it."""

import hashlib
import itertools
import os
import re
import shutil
import tempfile
import unittest

from standin import Standin, generated_body, run_client

BINARY = os.path.abspath(os.environ.get("MGMTFETCH") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "mgmtfetch"))
# Past stdio's buffer, so that it is written before the trace file is closed.
VERSION, SIZE = "the version text " * 1000 + "\n", 100000
SERVER = Standin(version_text=VERSION)
setUpModule, tearDownModule = SERVER.start, SERVER.stop


class DescriptorsTest(unittest.TestCase):
    def test_closed_standard_descriptors(self):
        body = generated_body(SIZE)
        logs = tempfile.mkdtemp(prefix="descriptors-test-")
        self.addCleanup(shutil.rmtree, logs, True)
        sums = os.path.join(logs, "SHA256SUMS")
        with open(sums, "w") as f:
            f.write(hashlib.sha256(body).hexdigest() + "  a.run\n")
        SERVER.rules([{"prefix": "/linuxsetup/", "body_size": SIZE}])
        args = ["-a", SERVER.addr(), "-w", "-d", SERVER.url("/linuxsetup/a.run")]
        closed_sets = [c for n in range(4) for c in itertools.combinations((0, 1, 2), n)]
        for closed, trace, verify in itertools.product(closed_sets, ("", "1", "file"),
                                                       (False, True)):
            with self.subTest(closed=closed, trace=trace, verify=verify):
                cwd = tempfile.mkdtemp(dir=logs)
                path = os.path.join(cwd + ".trace")
                env = dict(os.environ, MGMTFETCH_TRACE=path if trace == "file" else trace)
                env.pop("MGMTFETCH_SHA256SUMS", None)
                if verify:
                    env["MGMTFETCH_SHA256SUMS"] = sums
                close = " ".join(f"{fd}>&-" for fd in closed)
                prefix = ["sh", "-c", f'exec {close}; exec "$@"', "sh"] if closed else None
                rc, out, err = run_client(BINARY, args, cwd=cwd, prefix=prefix, env=env)
                self.assertEqual(rc, 0)
                self.assertEqual(os.listdir(cwd), ["a.run"])
                with open(os.path.join(cwd, "a.run"), "rb") as f:
                    self.assertTrue(f.read() == body, "the package is not byte-exact")
                self.assertEqual(out.decode(), "" if 1 in closed else VERSION)
                if trace == "file":
                    with open(path) as f:
                        text = f.read()
                    self.assertNotIn("the version text", text)
                    lines = text.splitlines()
                    self.assertTrue(all(re.match(r"\d+\.\d{3} \[\d+\] \w+ ", t) for t in lines),
                                    lines)
                    self.assertIn("end status=0", lines[-1])
                elif trace == "1" and 2 not in closed:
                    self.assertIn(" end status=0 ", err.decode())

    def test_without_dev_null(self):
        # Nothing to fill a closed descriptor with: better no run than one
        # whose files take it. With all three open nothing needs filling.
        SERVER.rules([])
        url = SERVER.url("/linuxsetup/a.run")
        for close, status, files in (("2>&-", 255, []), ("", 0, ["a.run"])):
            with self.subTest(close=close):
                SERVER.reset()
                cwd = tempfile.mkdtemp(prefix="descriptors-test-")
                self.addCleanup(shutil.rmtree, cwd, True)
                script = f'mount -t tmpfs none /dev || exit 77; exec {close}; exec "$@"'
                rc, _, _ = run_client(BINARY, ["-d", url], cwd=cwd,
                                      prefix=["unshare", "-m", "sh", "-c", script, "sh"])
                if rc == 77:
                    self.skipTest("needs root for a tmpfs")
                self.assertEqual((rc, os.listdir(cwd)), (status, files))
                self.assertEqual(len(SERVER.requests()), len(files))


if __name__ == "__main__":
    unittest.main()
