"""Runs started with standard input, output or error closed, as daemons and
cron wrappers start programs: whatever file takes such a descriptor (the
package, the trace) must not receive what is written to it."""

import hashlib
import itertools
import os
import pathlib
import re
import tempfile
import unittest

from mgmttest import Standin, cannot, generated_body, run_client, sh, tempdir, tmpfs

# Past stdio's buffer, so that it is written before the trace file is closed.
VERSION, SIZE = "the version text " * 1000 + "\n", 100000
SERVER = Standin(version_text=VERSION)
setUpModule, tearDownModule = SERVER.start, SERVER.stop
ARGS = lambda: ["-a", SERVER.addr(), "-w", "-d", SERVER.url("/linuxsetup/a.run")]  # noqa: E731


class DescriptorsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempdir(self, "descriptors-test-")
        SERVER.reset()
        SERVER.rules([{"prefix": "/linuxsetup/", "body_size": SIZE}])

    def run_closed(self, closed, env, no_dev=False):
        """(exit status, stdout, {file left: its SHA-256}) of a run with the
        descriptors `closed`, and without /dev when `no_dev`."""
        cwd = tempfile.mkdtemp(dir=self.dir)
        prefix = (tmpfs(where="/dev") if no_dev else []) + sh(
            "exec " + " ".join(f"{fd}>&-" for fd in closed) + '; exec "$@"')
        rc, out, _ = run_client(ARGS(), cwd=cwd, env=dict(os.environ, **env), prefix=prefix)
        if rc == 77:
            cannot(self, "needs root for a tmpfs")
        return rc, out.decode(), {name: hashlib.sha256(pathlib.Path(cwd, name).read_bytes())
                                  .hexdigest() for name in os.listdir(cwd)}

    def test_closed_standard_descriptors(self):
        digest = hashlib.sha256(generated_body(SIZE)).hexdigest()
        sums, trace = os.path.join(self.dir, "SUMS"), os.path.join(self.dir, "trace")
        with open(sums, "w") as f:
            f.write(digest + "  a.run\n")
        closed_sets = [c for n in range(4) for c in itertools.combinations((0, 1, 2), n)]
        for closed, where, listed in itertools.product(closed_sets, ("", "1", trace), ("", sums)):
            with self.subTest(closed=closed, trace=where, listed=bool(listed)):
                got = self.run_closed(closed, {"MGMTFETCH_TRACE": where,
                                               "MGMTFETCH_SHA256SUMS": listed})
                self.assertEqual(got, (0, "" if 1 in closed else VERSION, {"a.run": digest}))
                if where == trace:
                    with open(trace) as f:
                        lines = f.read().splitlines()
                    os.remove(trace)
                    self.assertEqual([t for t in lines if not re.match(r"\d+\.\d{3} \[\d+\] ", t)],
                                     [])
                    self.assertIn(" end status=0 ", lines[-1])

    def test_without_dev_null(self):
        # Nothing to fill a closed descriptor with: no run at all rather than
        # one whose files take its place. With all three open, nothing to fill.
        for closed, status, files in (((2,), 255, []), ((), 0, ["a.run"])):
            with self.subTest(closed=closed):
                rc, _, left = self.run_closed(closed, {}, no_dev=True)
                self.assertEqual((rc, list(left)), (status, files))


if __name__ == "__main__":
    unittest.main()
