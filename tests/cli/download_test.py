"""mgmtfetch -d against the stand-in server: what lands on disk, what is sent,
and how attempts draw on the run's budget of 10."""

import glob
import os
import resource
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import time
import unittest

from standin import Standin, default_package, generated_body, header, run_client

BINARY = os.path.abspath(os.environ.get("MGMTFETCH") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "mgmtfetch"))
PKG = "/linuxsetup/a.run"
EMPTY_VERSION = {"path": "/version.info", "empty": True}
SERVER = None


def setUpModule():
    global SERVER
    SERVER = Standin().start()


def tearDownModule():
    SERVER.stop()


def hops(n):
    return [{"prefix": "/linuxsetup/", "redirect_hops": n}]


def drip(body_size=100000, **extra):
    # 1 kB every 50 ms: 100 kB take about 5 s, far past a 1 s time-out.
    return dict(prefix="/linuxsetup/", body_size=body_size,
                drip={"chunk": 1000, "interval": 0.05}, **extra)


class DownloadTest(unittest.TestCase):
    def setUp(self):
        SERVER.reset()
        self.cwd = tempfile.mkdtemp(prefix="download-test-")

    def tearDown(self):
        try:
            self.clear()
        finally:
            shutil.rmtree(self.cwd, ignore_errors=True)

    def clear(self):
        """Checks that no temporary file was left, then empties the directory."""
        self.assertEqual(glob.glob(os.path.join(self.cwd, ".mgmtfetch-*")), [])
        shutil.rmtree(self.cwd)
        os.mkdir(self.cwd)

    def run_tool(self, *args, umask=0o022):
        old = os.umask(umask)
        try:
            return run_client(BINARY, args, cwd=self.cwd, timeout=30)[0]
        finally:
            os.umask(old)

    def path(self, name="a.run"):
        return os.path.join(self.cwd, name)

    def read(self, name="a.run"):
        with open(self.path(name), "rb") as f:
            return f.read()

    def plant(self, content=b"old package", mode=0o640, name="a.run"):
        with open(self.path(name), "wb") as f:
            f.write(content)
        os.chmod(self.path(name), mode)

    def counts(self):
        paths = [r["path"] for r in SERVER.requests()]
        versions = paths.count("/version.info")
        return len(paths) - versions, versions

    def test_outcomes(self):
        s, url = SERVER.addr(), SERVER.url(PKG)
        big = 5 * 2**20 + 3
        # name, rules, args before -d, args after it, exit status, content
        # (None: no file; "default": the server's own package), requests of
        # the package (redirect hops included) and of /version.info.
        rows = [
            ("multi-MiB body", [{"prefix": "/linuxsetup/", "body_size": big, "seed": 7}],
             [], [], 0, generated_body(big, 7), 1, 0),
            ("404", [{"prefix": "/linuxsetup/", "status": 404}], [], [], 255, None, 10, 0),
            ("500", [{"prefix": "/linuxsetup/", "status": 500}], [], [], 255, None, 10, 0),
            # Only a 2xx other than 204 and 205 carries a package, a 206 only
            # when asked for.
            ("204", [{"prefix": "/linuxsetup/", "status": 204, "empty": True}],
             [], [], 255, None, 10, 0),
            ("205", [{"prefix": "/linuxsetup/", "status": 205}], [], [], 255, None, 10, 0),
            ("304", [{"prefix": "/linuxsetup/", "status": 304, "empty": True}],
             [], [], 255, None, 10, 0),
            ("300", [{"prefix": "/linuxsetup/", "status": 300}], [], [], 255, None, 10, 0),
            ("302 without Location", [{"prefix": "/linuxsetup/", "status": 302}],
             [], [], 255, None, 10, 0),
            ("206 not asked for", [{"prefix": "/linuxsetup/", "mislabel": True}],
             [], [], 255, None, 10, 0),
            ("201", [{"prefix": "/linuxsetup/", "status": 201, "body": "made"}],
             [], [], 0, b"made", 1, 0),
            ("5 redirects", hops(5), [], [], 0, "default", 6, 0),
            # One unit left: the hop that is refused is never asked for.
            ("6 redirects", hops(6) + [dict(EMPTY_VERSION, times=8)],
             ["-a", s, "-w"], [], 255, None, 6, 9),
            # Resumed each time, but 10 cuts of 5000 bytes leave it unfinished.
            ("cut off, always",
             [{"prefix": "/linuxsetup/", "body_size": 200000, "close_after": 5000}],
             [], [], 255, None, 10, 0),
            ("dripped past -t once, then whole", [drip(times=1, validators="none")],
             ["-t", "1"], [], 0, "default", 2, 0),
            ("dripped past -t on the last unit",
             [dict(EMPTY_VERSION, times=8), drip()],
             ["-t", "1", "-a", s, "-w"], [], 255, None, 1, 9),
            ("third attempt leaves 7 units to -w",
             [{"prefix": "/linuxsetup/", "times": 2, "status": 500}, EMPTY_VERSION],
             [], ["-a", s, "-w"], 0, "default", 3, 7),
            ("budget spent by -w", [EMPTY_VERSION], ["-a", s, "-w"], [], 255, None, 0, 10),
            ("-a ignored", [], ["-a", "127.0.0.1:1"], [], 0, "default", 1, 0),
        ]
        for name, rules, before, after, status, content, pkg, ver in rows:
            for planted in (False, True) if content is None else (False,):
                with self.subTest(name, planted=planted):
                    SERVER.reset()
                    SERVER.rules(rules)
                    if planted:
                        self.plant()
                    self.assertEqual(self.run_tool(*before, "-d", url, *after), status)
                    self.assertEqual(self.counts(), (pkg, ver))
                    if content is None and planted:
                        self.assertEqual(self.read(), b"old package")
                        self.assertEqual(os.stat(self.path()).st_mode & 0o777, 0o640)
                    elif content is None:
                        self.assertEqual(os.listdir(self.cwd), [])
                    else:
                        self.assertEqual(self.read(), default_package(PKG)
                                         if content == "default" else content)
                    self.clear()

    def test_resume(self):
        s, size, cut = SERVER.addr(), 200000, 70000
        v1 = {"prefix": "/linuxsetup/", "body_size": size}
        whole, r1, r2 = generated_body(size), f"bytes={cut}-", f"bytes={2 * cut}-"

        def cut_once(**extra):
            return dict(v1, times=1, close_after=cut, **extra)
        # name, rules, over TLS, args after -d, content (None: no file), Range
        # of each package request (None: none), If-Range kind, units taken
        rows = [
            ("ETag", [dict(v1, close_after=cut)], False, [], whole, [None, r1, r2], '"', 3),
            ("over TLS", [dict(v1, close_after=cut)], True, [], whole, [None, r1, r2], '"', 3),
            ("Last-Modified only", [cut_once(validators="last-modified"), v1], False, [],
             whole, [None, r1], "GMT", 2),
            ("weak ETag", [cut_once(validators="weak"), dict(v1, validators="weak")], False,
             [], whole, [None, r1], "GMT", 2),
            ("no validator", [cut_once(validators="none"), v1], False, [], whole,
             [None, None], None, 2),
            ("changed package", [cut_once(), dict(v1, seed="v2", body_size=150000)], False,
             [], generated_body(150000, "v2"), [None, r1, None], '"', 2),
            ("changed to the kept length", [cut_once(), dict(v1, seed="v2", body_size=cut)],
             False, [], generated_body(cut, "v2"), [None, r1, None], '"', 2),
            ("ranges ignored", [cut_once(), dict(v1, ranges=False)], False, [], whole,
             [None, r1, None], '"', 2),
            ("mislabelled 206", [cut_once(), dict(v1, mislabel=True)], False, [], None,
             [None, r1] + [None] * 9, '"', 10),
            ("new version every request", [dict(v1, close_after=cut, change=True)], False,
             [], None, [None] + [r1, None] * 9, '"', 10),
            ("across a redirect", [{"path": PKG, "location": "/linuxsetup/b.run"},
                                   dict(cut_once(), prefix="/linuxsetup/b"), v1],
             False, [], whole, [None, None, r1, r1], '"', 2),
            ("validator only on a redirect",
             [{"path": PKG, "location": "/linuxsetup/b.run", "headers": {"ETag": '"r"'}},
              dict(cut_once(validators="none"), prefix="/linuxsetup/b"), v1],
             False, [], whole, [None, None, None, None], None, 2),
            ("206 short of the end", [cut_once(), dict(v1, times=1, headers={
                "Content-Length": "30000", "Content-Range": f"bytes {cut}-99999/{size}"}), v1],
             False, [], whole, [None, r1, None], '"', 2),
            ("next -d starts afresh", [cut_once(), v1], False, ["-d", SERVER.url(PKG)],
             whole, [None, r1, None], '"', 3),
        ]
        for name, rules, tls, after, content, ranges, validator, units in rows:
            with self.subTest(name):
                SERVER.reset()
                SERVER.rules(rules + [EMPTY_VERSION])
                self.assertEqual(self.run_tool("-d", SERVER.url(PKG, tls=tls), *after,
                                               "-a", s, "-w"), 255 if content is None else 0)
                self.assertEqual(self.counts()[1], 10 - units)
                got = [r for r in SERVER.requests() if r["path"] != "/version.info"]
                self.assertEqual([header(r, "Range") for r in got], ranges)
                for r in got:
                    value = header(r, "If-Range")
                    self.assertEqual(value is not None, header(r, "Range") is not None)
                    self.assertTrue(value is None or value.endswith(validator))
                if content is None:
                    self.assertEqual(os.listdir(self.cwd), [])
                else:
                    self.assertEqual(self.read(), content)
                self.clear()

    def test_slow_server_needs_several_attempts_not_several_packages(self):
        size = 300000
        SERVER.rules([dict(drip(size), drip={"chunk": 10000, "interval": 0.1})])
        self.assertEqual(self.run_tool("-t", "1", "-d", SERVER.url(PKG)), 0)
        self.assertEqual(self.read(), generated_body(size))
        sent = [r["sent"] for r in SERVER.requests()]
        self.assertGreater(len(sent), 1)
        self.assertLess(sum(sent), size * 1.2)

    def test_url_rewriting(self):
        plain, tls = SERVER.port(), SERVER.port(tls=True)
        # given URL, file name, path asked of the server, fetched over TLS
        rows = [
            (f"https://127.0.0.1:{plain}{PKG}", "a.run", PKG, False),
            (f"http://127.0.0.1:{tls}{PKG}", "a.run", PKG, True),
            (f"http://127.0.0.1:{plain}/linuxsetup/pkg.run?v=2", "pkg.run?v=2",
             "/linuxsetup/pkg.run?v=2", False),
            (f"http://127.0.0.1:1/127.0.0.1:{plain}{PKG}", "a.run", PKG, False),
            (f"http://127.0.0.1:{plain}/linuxsetup2/x/b.run", "b.run", "/linuxsetup2/x/b.run",
             False),
        ]
        for url, name, path, over_tls in rows:
            with self.subTest(url):
                SERVER.reset()
                SERVER.rules([{"prefix": "/linuxsetup2/", "status": 200, "body": "second"}])
                self.assertEqual(self.run_tool("-d", url), 0)
                (record,) = SERVER.requests()
                self.assertEqual((record["method"], record["path"], record["tls"]),
                                 ("GET", path, over_tls))
                self.assertEqual(os.listdir(self.cwd), [name])
                self.assertEqual(self.read(name), b"second" if "2/" in path
                                 else default_package(path))
                self.clear()

    def test_ipv6_loopback(self):
        with Standin(listen="::1", https=False) as v6:
            self.assertEqual(self.run_tool("-d", f"http://::1:{v6.port()}{PKG}"), 0)
            (record,) = v6.requests()
            self.assertEqual((record["path"], record["local"][0]), (PKG, "::1"))
        self.assertEqual(self.read(), default_package(PKG))

    def test_local_failures_are_not_retried(self):
        base = f"127.0.0.1:{SERVER.port()}"
        url, big = f"http://{base}{PKG}", f"http://{base}/linuxsetup/big.run"
        rules = [EMPTY_VERSION, {"path": "/linuxsetup/big.run", "body_size": 2**20}]
        # The directory becomes a tmpfs mounted with these options, in a
        # mount namespace of its own; what is left in it goes to stdout.
        tmpfs = lambda options: ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o "$0" none '
                                 '"$PWD" && cd "$PWD" && "$@"; rc=$?; ls -A; exit $rc', options]
        size_limit = ["sh", "-c", "ulimit -f 64; trap '' XFSZ; exec \"$@\"", "sh"]
        # URL, what is planted, prefix, requests of the package = units taken
        rows = [(f"http://{base}/setup/a.run", None, None, 0),
                (f"http://{base}/LinuxSetup/a.run", None, None, 0),
                (f"{base}/linuxsetup/a.run", None, None, 0),
                ("/linuxsetup/a.run", None, None, 0),
                (f"http://{base}/linuxsetup/", None, None, 0),
                (f"http://{base}/linuxsetup/.", None, None, 0),
                (f"http://{base}/linuxsetup/..", None, None, 0),
                (f"http://{base}/linuxsetup/{'x' * 256}", None, None, 0),
                (f"http://{base}/linuxsetup/a b.run", None, None, 0),
                (url, "directory", None, 0),
                (url, None, tmpfs("ro"), 0),
                (big, None, tmpfs("size=64k"), 1),
                (big, None, size_limit, 1),
                (big, "immutable", None, 1)]
        # Mounts and immutable files need root (and a filesystem that has them).
        can_mount = subprocess.run(["unshare", "-m", "mount", "-t", "tmpfs", "none", self.cwd],
                                   capture_output=True).returncode == 0
        for url, planted, prefix, units in rows:
            with self.subTest(url[-30:], planted=planted, prefix=prefix):
                SERVER.reset()
                SERVER.rules(rules)
                if prefix and prefix[0] == "unshare" and not can_mount:
                    self.skipTest("cannot mount")
                if planted == "directory":
                    os.mkdir(self.path("big.run" if url == big else "a.run"))
                elif planted:
                    self.plant(name="big.run")
                    if subprocess.run(["chattr", "+i", self.path("big.run")]).returncode:
                        self.skipTest("cannot make a file immutable")
                try:
                    rc, out, _ = run_client(BINARY, ["-d", url, "-a", SERVER.addr(), "-w"],
                                            cwd=self.cwd, prefix=prefix)
                finally:
                    if planted == "immutable":
                        subprocess.run(["chattr", "-i", self.path("big.run")], check=True)
                self.assertEqual(rc, 255)
                self.assertEqual(self.counts(), (units, 10 - units))
                left = out.split() if prefix and prefix[0] == "unshare" else os.listdir(self.cwd)
                self.assertEqual(left, ["a.run"] if planted == "directory" else
                                 ["big.run"] if planted else [])
                if planted == "immutable":
                    self.assertEqual(self.read("big.run"), b"old package")
                self.clear()

    def test_last_download_sets_exit_status(self):
        SERVER.rules([{"path": "/linuxsetup/bad.run", "status": 404}])
        good, bad = SERVER.url("/linuxsetup/good.run"), SERVER.url("/linuxsetup/bad.run")
        # A URL without "/linuxsetup" fails without spending the budget.
        unusable = SERVER.url("/setup/bad.run")
        for first, second, status in [(unusable, good, 0), (good, unusable, 255),
                                      (good, bad, 255)]:
            with self.subTest(first=first, second=second):
                self.assertEqual(self.run_tool("-d", first, "-d", second), status)
                self.assertEqual(os.listdir(self.cwd), ["good.run"])
                self.clear()

    def test_mode_as_a_plain_create(self):
        # A default ACL (owner rw, user nobody rw, group r, mask rw, other
        # none) overrides the umask, and the file inherits it whole.
        undef = 0xFFFFFFFF
        acl = struct.pack("<I" + "HHI" * 5, 2, 1, 6, undef, 2, 6, 65534, 4, 4, undef,
                          0x10, 6, undef, 0x20, 0, undef)
        for umask, mode, planted, default_acl in [
                (0o022, 0o644, False, False), (0o077, 0o600, False, False),
                (0o002, 0o664, True, False), (0o077, 0o660, False, True)]:
            with self.subTest(umask=oct(umask), planted=planted, acl=default_acl):
                if default_acl:
                    os.setxattr(self.cwd, "system.posix_acl_default", acl)
                if planted:
                    self.plant(mode=0o400)
                self.assertEqual(self.run_tool("-d", SERVER.url(PKG), umask=umask), 0)
                self.assertEqual(os.lstat(self.path()).st_mode, stat.S_IFREG | mode)
                if default_acl:
                    self.assertEqual(os.getxattr(self.path(), "system.posix_acl_access"), acl)
                self.clear()

    def test_planted_symlink_is_replaced_not_followed(self):
        outside = tempfile.mkdtemp(prefix="download-victim-")
        self.addCleanup(shutil.rmtree, outside)
        victim = os.path.join(outside, "victim")
        with open(victim, "wb") as f:
            f.write(b"victim")
        for target in (victim, os.path.join(outside, "absent")):
            with self.subTest(target=target):
                os.symlink(target, self.path())
                self.assertEqual(self.run_tool("-d", SERVER.url(PKG)), 0)
                self.assertFalse(os.path.islink(self.path()))
                self.assertEqual(self.read(), default_package(PKG))
                self.assertEqual(sorted(os.listdir(outside)), ["victim"])
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), b"victim")
                self.clear()

    def test_signal_mid_download_leaves_nothing(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT,
                    signal.SIGKILL):
            with self.subTest(sig.name):
                SERVER.reset()
                SERVER.rules([drip(body_size=30000)])
                proc = subprocess.Popen(
                    [BINARY, "-t", "30", "-d", SERVER.url(PKG)], cwd=self.cwd,
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
                try:
                    deadline = time.monotonic() + 10
                    while not SERVER.requests():
                        self.assertLess(time.monotonic(), deadline, "no transfer began")
                        time.sleep(0.02)
                    time.sleep(0.3)   # part of the body is on disk by now
                    # Where the filesystem allows, the file has no name yet.
                    self.assertEqual(os.listdir(self.cwd), [])
                    proc.send_signal(sig)
                    self.assertEqual(proc.wait(10), -sig)
                finally:
                    proc.kill()
                    proc.wait()
                self.assertEqual(os.listdir(self.cwd), [])


if __name__ == "__main__":
    unittest.main()
