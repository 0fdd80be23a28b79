"""mgmtfetch -d with MGMTFETCH_SHA256SUMS: a package lands only with the digest
the list gives it, a list that cannot say fails the -d before any request, and
a package already there is not fetched again."""

import hashlib
import os
import pathlib
import shutil
import tempfile
import unittest

from standin import Standin, generated_body, header, run_client

BINARY = os.path.abspath(os.environ.get("MGMTFETCH") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "mgmtfetch"))
PKG, OLD, MTIME = "/linuxsetup/a.run", b"old package", 1_000_000_000
VERSION = b"mgmt-standin 1.0\n"
# The -w after the -d prints the version only when it gets all 10 attempts,
# that is when the -d took none.
TENTH_ANSWERS = [{"path": "/version.info", "empty": True, "times": 9}, {"path": "/version.info"}]
SERVER = Standin(https=False)
setUpModule, tearDownModule = SERVER.start, SERVER.stop


def line(body, name="a.run", mark=" "):
    return f"{hashlib.sha256(body).hexdigest()} {mark}{name}\n"


class VerifyTest(unittest.TestCase):
    def setUp(self):
        self.cwd = tempfile.mkdtemp(prefix="verify-test-")
        self.lists = tempfile.mkdtemp(prefix="verify-test-lists-")
        for d in (self.cwd, self.lists):
            self.addCleanup(shutil.rmtree, d, True)
        self.addCleanup(os.umask, os.umask(0o002))

    def test_verified_downloads(self):
        size, cut = 200000, 70000
        whole, other = generated_body(size), generated_body(size, "other")
        v1 = dict(prefix="/linuxsetup/", body_size=size)
        cut_once = dict(v1, times=1, close_after=cut)
        r1 = f"bytes={cut}-"
        good, bad = line(whole), line(other)
        missing, empty = os.path.join(self.lists, "absent"), ""
        # name, rules, the variable (str: the list file's text; a list of one
        # str: the variable's value itself), a.run before (None: absent), exit
        # status, a.run after, Range of each package request, /version.info
        # requests, command prefix.
        rows = [
            ("listed", [v1], good, None, 0, whole, [None], 9),
            ("wrong file there", [v1], good, OLD, 0, whole, [None], 9),
            ("already there", [v1], good, whole, 0, whole, [], 10),
            ("already there through a symlink", [v1], good, whole, 0, whole, [None], 9,
             ["sh", "-c", 'mv a.run v.run && ln -s v.run a.run && exec "$@"', "sh"]),
            ("mismatch every time", [v1], bad, OLD, 255, OLD, [None] * 10, 0),
            ("mismatch once", [dict(v1, times=1, seed="other"), v1], good, OLD, 0, whole,
             [None, None], 8),
            ("resumed", [cut_once, v1], good, OLD, 0, whole, [None, r1], 8),
            ("resumed, then a mismatch", [cut_once, v1], bad, OLD, 255, OLD,
             [None, r1] + [None] * 8, 0),
            ("*name", [v1], line(whole, mark="*"), OLD, 0, whole, [None], 9),
            ("dir/name", [v1], line(other, "b.run") + line(whole, "pkgs/a.run"), OLD, 0, whole,
             [None], 9),
            ("upper-case hex", [v1], good.upper().replace("A.RUN", "a.run"), OLD, 0, whole,
             [None], 9),
            ("CRLF and blank lines", [v1], "\r\n" + good.replace("\n", "\r\n") + "\n", OLD, 0,
             whole, [None], 9),
            ("same digest twice", [v1], good + line(whole, "d/a.run"), OLD, 0, whole, [None], 9),
            ("variable empty", [v1], [empty], OLD, 0, whole, [None], 9),
            # The list cannot vouch for the package: nothing is fetched and
            # the budget is untouched.
            ("not listed", [v1], line(whole, "b.run") + line(whole, "xa.run"), OLD, 255, OLD,
             [], 10),
            ("malformed line", [v1], good + good[1:], OLD, 255, OLD, [], 10),
            ("two digests", [v1], good + line(other, "d/a.run"), OLD, 255, OLD, [], 10),
            ("empty list", [v1], "", OLD, 255, OLD, [], 10),
            ("missing list", [v1], [missing], OLD, 255, OLD, [], 10),
            ("list is a directory", [v1], [self.lists], None, 255, None, [], 10),
        ]
        for row in rows:
            self.check(*row)

    def check(self, name, rules, sums, before, status, after, ranges, versions, prefix=None):
        with self.subTest(name):
            shutil.rmtree(self.cwd)
            os.makedirs(self.cwd)
            target = pathlib.Path(self.cwd, "a.run")
            if before is not None:
                target.write_bytes(before)
                target.chmod(0o640)
                os.utime(target, (MTIME, MTIME))
            variable = sums[0] if isinstance(sums, list) else os.path.join(self.lists, "SUMS")
            if not isinstance(sums, list):
                pathlib.Path(variable).write_text(sums)
            SERVER.reset()
            SERVER.rules(rules + TENTH_ANSWERS)
            env = dict(os.environ, MGMTFETCH_SHA256SUMS=variable)
            args = ["-d", SERVER.url(PKG), "-a", SERVER.addr(), "-w"]
            rc, out, _ = run_client(BINARY, args, cwd=self.cwd, timeout=30, env=env,
                                    prefix=prefix)
            self.assertEqual(rc, status)
            got = [r for r in SERVER.requests() if r["path"] != "/version.info"]
            self.assertEqual(len(SERVER.requests()) - len(got), versions)
            self.assertEqual(out, VERSION if versions == 10 else b"")
            self.assertEqual([header(r, "Range") for r in got], ranges)
            # Nothing left behind; a symlink planted is replaced, its file kept.
            want = {} if after is None else {"a.run": after}
            if prefix:
                want["v.run"] = before
            self.assertEqual({p.name: p.read_bytes() for p in pathlib.Path(self.cwd).iterdir()},
                             want)
            if after is not None:
                st = target.lstat()
                untouched = status != 0 or not got
                self.assertEqual(st.st_mode & 0o777, 0o640 if untouched else 0o664)
                self.assertEqual(st.st_mtime == MTIME, untouched)


if __name__ == "__main__":
    unittest.main()
