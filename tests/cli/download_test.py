"""mgmtfetch -d against the stand-in server: what lands on disk, what is sent,
how attempts draw on the run's budget of 10, what a digest list allows, and
what the trace says of it. One scenario a row of downloads.json:

  name; rules (before the -w answers: nine fail, the tenth is the version);
  args (default: -d URL -a SERVER -w) or url (the -d URL in the default);
  sh or tmpfs (a command prefix: sh(script), tmpfs(options)); env;
  sums (the text of the MGMTFETCH_SHA256SUMS list); before (a.run planted,
  null for none; default "old package"); exit (default 0); files (names
  whose contents change: a.run, or others that appear); ranges (the Range
  of each package request, or how many requests without one); versions
  (/version.info requests); if_range (the end of If-Range, default '"');
  stdout (default the version when -w had all 10 attempts); trace (see
  mgmttest.check_trace: each such row runs untraced, then traced in JSON and
  in text, and meets every other expectation each time).
DOWNLOAD_ROWS="name|name..." runs only those rows (a slow checker's choice)."""

import hashlib
import os
import pathlib
import shutil
import signal
import stat
import struct
import subprocess
import time
import unittest

from mgmttest import (BINARY, MODES, VERSION, Standin, cannot, check_trace, events, free_port,
                      generated_body, header, pkg, run_client, sh, spend, started, table, tempdir,
                      tmpfs, traced)

PKG, OLD, MTIME = "/linuxsetup/a.run", b"old package", 1_000_000_000
ONLY = [n for n in os.environ.get("DOWNLOAD_ROWS", "").split("|") if n]
SERVER = Standin()
setUpModule, tearDownModule = SERVER.start, SERVER.stop


def drip(size=100000, **rule):
    # 1 kB every 50 ms: 100 kB take about 5 s, far past a 1 s time-out.
    return pkg(body_size=size, drip={"chunk": 1000, "interval": 0.05}, **rule)


class DownloadTest(unittest.TestCase):
    def setUp(self):
        self.cwd, self.logs = tempdir(self, "download-test-"), tempdir(self, "download-logs-")
        self.trace = os.path.join(self.logs, "trace")
        self.addCleanup(os.umask, os.umask(0o002))
        # An immutable file left by a row that was cut short must not stay.
        self.addCleanup(subprocess.run, ["chattr", "-R", "-i", self.cwd], capture_output=True)

    def fresh(self, rules=(), before=OLD):
        """An empty directory but for the directory d.run and `before` as
        a.run (mode 0640, an old date); the server with only these rules."""
        shutil.rmtree(self.cwd)
        os.makedirs(self.path("d.run"))
        if before is not None:
            self.path("a.run").write_bytes(before)
            self.path("a.run").chmod(0o640)
            os.utime(self.path("a.run"), (MTIME, MTIME))
        SERVER.reset()
        SERVER.rules(list(rules))
        return {"a.run": before, "d.run": None} if before is not None else {"d.run": None}

    def path(self, name=""):
        return pathlib.Path(self.cwd, name)

    # Every name left, temporary files included, with what it holds.
    def listing(self):
        return {p.name: "symlink" if p.is_symlink() else None if p.is_dir() else p.read_bytes()
                for p in self.path().iterdir()}

    def test_downloads(self):
        good, other = (hashlib.sha256(generated_body(200000, s)).hexdigest() for s in (0, "other"))
        url = SERVER.url(PKG)
        rows = table(os.path.join(os.path.dirname(__file__), "downloads.json"),
                     http=SERVER.addr(), https=SERVER.addr(tls=True), url=url, lists=self.logs,
                     good=good, GOOD=good.upper(), good1=good[1:], other=other, version=VERSION)
        for row in rows:
            if ONLY and row["name"] not in ONLY:
                continue
            with self.subTest(row["name"]):
                for mode in MODES if "trace" in row else (None,):
                    self.check(row, mode, row.get("args") or
                               ["-d", row.get("url", url), "-a", SERVER.addr(), "-w"])

    def check(self, row, mode, args):
        planted = self.fresh(row.get("rules", []) + [spend(9), {"path": "/version.info"}],
                             row.get("before", OLD))
        # Held open, the planted file's inode cannot go to the new one.
        kept = open(self.path("a.run"), "rb") if "a.run" in planted else None
        if kept:
            self.addCleanup(kept.close)
        env = dict(os.environ, **row.get("env", {}), **traced(mode, self.trace))
        if "sums" in row:
            env["MGMTFETCH_SHA256SUMS"] = os.path.join(self.logs, "SUMS")
            pathlib.Path(env["MGMTFETCH_SHA256SUMS"]).write_text(row["sums"])
        prefix = sh(row["sh"]) if "sh" in row else tmpfs(row["tmpfs"]) if "tmpfs" in row else None
        rc, out, err = run_client(args, cwd=self.cwd, timeout=30, prefix=prefix, env=env)
        if rc == 77:
            cannot(self, "needs root, a tmpfs and a filesystem with immutable files")
        self.assertEqual(rc, row.get("exit", 0))
        versions = row["versions"]
        self.assertEqual(out.decode(), row.get("stdout", VERSION if versions == 10 else ""))
        if mode is None:
            self.assertEqual(err, b"")
        else:
            check_trace(self, row["trace"], "-d", rc, events(mode, self.trace, err))
        got = [r for r in SERVER.requests() if r["path"] != "/version.info"]
        self.assertEqual(len(SERVER.requests()) - len(got), versions)
        ranges = row["ranges"]
        self.assertEqual([header(r, "Range") for r in got],
                         [None] * ranges if isinstance(ranges, int) else ranges)
        for r in got:
            self.assertFalse([v for _, v in r["headers"] if any(c < " " for c in v)])
            value = header(r, "If-Range")
            self.assertEqual(value is not None, header(r, "Range") is not None)
            self.assertTrue(value is None or value.endswith(row.get("if_range", '"')))
        files = {k: v.encode() if isinstance(v, str) else v for k, v in row.get("files", {}).items()}
        self.assertEqual(self.listing(), dict(planted, **files))
        # A package that lands is a new file, made under the umask; the
        # file planted is never written to.
        st = self.path("a.run").lstat() if "a.run" in files or "a.run" in planted else None
        if st:
            self.assertEqual((stat.S_IMODE(st.st_mode), st.st_mtime == MTIME),
                             (0o640, True) if kept and st.st_ino == os.fstat(kept.fileno()).st_ino
                             else (0o664, False))

    def test_slow_server_resumes_over_attempts(self):
        # 400 kB dripped over 2 s: each 1 s attempt asks only for the rest and
        # the 64 KiB before it, so each byte comes once, but for those.
        self.fresh([pkg(body_size=400000, drip={"chunk": 20000, "interval": 0.1})])
        rc, _, _ = run_client(["-t", "1", "-d", SERVER.url(PKG)], cwd=self.cwd)
        got = SERVER.settled()
        self.assertEqual((rc, self.path("a.run").read_bytes()), (0, generated_body(400000)))
        self.assertGreater(len(got), 2)
        self.assertTrue(all(header(r, "Range") for r in got[1:]))
        self.assertLess(sum(r["sent"] for r in got), 400000 + (65536 + 40000) * len(got))

    def test_nginx_copy_under_the_same_validator_is_fetched_whole(self):
        # nginx's ETag is mtime and size: a copy of other bytes that keeps
        # both is renamed in while the first attempt is cut by -t (nginx goes
        # on sending the old file it has open). At 512 KiB/s an attempt of 1 s
        # carries about half of the package.
        if not shutil.which("nginx"):
            cannot(self, "needs nginx")
        www, new, port = pathlib.Path(self.logs, "linuxsetup"), os.urandom(1 << 20), free_port()
        www.mkdir()
        for path, body in ((www / "a.run", os.urandom(1 << 20)), (www / "new", new)):
            path.write_bytes(body)
            os.utime(path, (MTIME, MTIME))
        pathlib.Path(self.logs, "nginx.conf").write_text(f"""daemon off; master_process off;
pid {self.logs}/nginx.pid; error_log {self.logs}/error.log;
events {{ worker_connections 16; }}
http {{ log_format r '$http_range $status'; access_log {self.logs}/access.log r;
  client_body_temp_path {self.logs}/body; proxy_temp_path {self.logs}/proxy;
  fastcgi_temp_path {self.logs}/fcgi; uwsgi_temp_path {self.logs}/uwsgi;
  scgi_temp_path {self.logs}/scgi;
  server {{ listen 127.0.0.1:{port}; root {self.logs}; limit_rate 512k; }} }}""")
        nginx = started(self, ["nginx", "-e", self.logs + "/error.log", "-p", self.logs,
                               "-c", self.logs + "/nginx.conf"])
        url = f"http://127.0.0.1:{port}{PKG}"
        deadline = time.monotonic() + 10
        while subprocess.run(["curl", "-sfI", url], capture_output=True).returncode:
            self.assertIsNone(nginx.poll())
            self.assertLess(time.monotonic(), deadline, "nginx does not answer")
            time.sleep(0.02)
        os.truncate(self.logs + "/access.log", 0)
        self.fresh()
        env = dict(os.environ, **traced("json", self.trace))
        proc = started(self, [BINARY, "-t", "1", "-d", url], cwd=self.cwd, env=env)
        while b"address" not in (pathlib.Path(self.trace).read_bytes()
                                 if os.path.exists(self.trace) else b""):
            self.assertIsNone(proc.poll())
            time.sleep(0.01)
        time.sleep(0.3)
        subprocess.run(["cp", "--preserve=timestamps", www / "new", www / "swap"], check=True)
        os.rename(www / "swap", www / "a.run")
        self.assertEqual(proc.wait(30), 0)
        self.assertEqual(self.path("a.run").read_bytes(), new)
        tried = [e for e in events("json", self.trace, b"") if e["event"] == "attempt"]
        self.assertEqual([(e["outcome"], e["overlap_matched"]) for e in tried[:2]],
                         [("cut", "-"), ("stale", "no")])
        self.assertNotIn("no", [e["overlap_matched"] for e in tried[2:]])
        asked = pathlib.Path(self.logs, "access.log").read_text().splitlines()
        self.assertEqual(asked[:3], ["- 200", f"bytes={tried[1]['resumed_from'] - 65536}- 206",
                                     "- 200"])

    def test_error_page_body_is_refused_at_its_first_chunk(self):
        # 50 MiB at 64 KiB per 20 ms take 16 s to send, and with -t 0 only the
        # client's refusal ends an attempt: one that wrote the body would run
        # into the time-out here, or with an endless body fill the disk.
        for status in (404, 500):
            with self.subTest(status):
                planted = self.fresh([pkg(status=status, body_size=50 * 2**20,
                                          drip={"chunk": 65536, "interval": 0.02})])
                rc, _, _ = run_client(["-t", "0", "-d", SERVER.url(PKG)], cwd=self.cwd,
                                      timeout=10)
                self.assertEqual((rc, self.listing()), (255, planted))
                got = SERVER.settled()
                self.assertEqual([r["gone"] for r in got], [True] * 10)
                self.assertLess(max(r["sent"] for r in got), 2**20)

    def test_default_acl_is_inherited_whole(self):
        # Owner rw, user nobody rw, group r, mask rw, other none: it overrides the umask.
        undef = 0xFFFFFFFF
        acl = struct.pack("<I" + "HHI" * 5, 2, 1, 6, undef, 2, 6, 65534, 4, 4, undef,
                          0x10, 6, undef, 0x20, 0, undef)
        self.fresh()
        os.setxattr(self.cwd, "system.posix_acl_default", acl)
        self.assertEqual(run_client(["-d", SERVER.url(PKG)], cwd=self.cwd)[0], 0)
        self.assertEqual(self.path("a.run").lstat().st_mode, stat.S_IFREG | 0o660)
        self.assertEqual(os.getxattr(self.path("a.run"), "system.posix_acl_access"), acl)

    def test_killed_mid_download_leaves_nothing(self):
        # The file has no name until the package is whole, so even SIGKILL,
        # which no handler sees, leaves nothing behind.
        planted = self.fresh([drip()])
        proc = started(self, [BINARY, "-t", "30", "-d", SERVER.url(PKG)], cwd=self.cwd)
        SERVER.until(bool)
        time.sleep(0.3)   # part of the body is on disk by now
        self.assertEqual(self.listing(), planted)
        proc.kill()
        self.assertEqual(proc.wait(10), -signal.SIGKILL)
        self.assertEqual(self.listing(), planted)


if __name__ == "__main__":
    unittest.main()
