"""MGMTFETCH_RETRY_WAIT against real failures of the stand-in server on
loopback: what crossed the wire (request times and counts), what landed, and
the exit status, paced and unpaced."""

import email.utils
import hashlib
import os
import pathlib
import signal
import threading
import time
import unittest

from mgmttest import (BINARY, Netns, Standin, cannot, events, free_port, generated_body, run_client,
                      started, table, tempdir, traced)

PKG, SIZE = "/linuxsetup/a.run", 200000
TABLE = os.path.join(os.path.dirname(__file__), "pacing.json")
PACED = {"MGMTFETCH_RETRY_WAIT": "8"}
IGNORED = ("mgmtfetch: MGMTFETCH_RETRY_WAIT={} is ignored: give whole seconds from 1 to 3600\n")
SERVER = Standin(https=False)
setUpModule, tearDownModule = SERVER.start, SERVER.stop


def pkg(**rule):
    return dict(prefix="/linuxsetup/", body_size=SIZE, **rule)


def env(**extra):
    base = {k: v for k, v in os.environ.items() if not k.startswith("MGMTFETCH_")}
    return dict(base, **extra)


def gaps(times):
    return [round(b - a, 3) for a, b in zip(times, times[1:])]


class PacingTest(unittest.TestCase):
    def setUp(self):
        self.cwd = tempdir(self, "pacing-test-")

    def fetch(self, rules, extra=None, args=None):
        """(exit status, stdout, stderr, request times, a.run or None); the
        directory is left empty."""
        SERVER.reset()
        SERVER.rules(list(rules))
        code, out, err = run_client(args or ["-d", SERVER.url(PKG)], cwd=self.cwd,
                                    env=env(**(extra or {})))
        times = [r["time"] for r in SERVER.requests()]
        path = os.path.join(self.cwd, "a.run")
        landed = open(path, "rb").read() if os.path.exists(path) else None
        self.assertEqual(os.listdir(self.cwd), ["a.run"] if landed is not None else [])
        if landed is not None:
            os.remove(path)
        return code, out, err.decode(), times, landed

    def sums(self, *bodies):
        path = self.cwd + ".sums"
        with open(path, "w") as f:
            f.writelines(hashlib.sha256(b).hexdigest() + "  a.run\n" for b in bodies)
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))
        return path

    def test_server_up_late(self):
        # Nothing listens for the first 2 s: unpaced, the budget is gone at
        # once; paced, the package lands once the server is up.
        for name, extra, status, requests in (("unpaced", {}, 255, 0), ("paced", PACED, 0, 1)):
            with self.subTest(name):
                port, began = free_port(), time.monotonic()
                client = started(self, [BINARY, "-d", f"http://127.0.0.1:{port}{PKG}"],
                                 cwd=self.cwd, env=env(**extra))
                while time.monotonic() < began + 2 and client.poll() is None:
                    time.sleep(0.01)
                took = time.monotonic() - began
                with Standin(http=port, https=False) as late:
                    client.wait(60)
                    self.assertEqual((client.returncode, len(late.requests())),
                                     (status, requests))
                if not extra:
                    self.assertLess(took, 1.0)
                self.assertEqual(os.listdir(self.cwd), ["a.run"] if status == 0 else [])
                self.cwd = tempdir(self, "pacing-test-")

    def test_retry_after(self):
        # A 503 asks for a wait: at least what it says, at most three times
        # as long, and never past the cap. Rows of pacing.json: least and most
        # gap with 0.5 s of slack.
        date = email.utils.formatdate(time.time() + 2, usegmt=True)
        for row in table(TABLE, "retry_after", date=date, http=SERVER.addr()):
            with self.subTest(row["name"]):
                code, out, _, times, landed = self.fetch(
                    row["rules"], {"MGMTFETCH_RETRY_WAIT": row["cap"]}, row.get("args"))
                self.assertEqual((code, len(times), bool(landed or out)), (0, 2, True))
                least, most = row["gap"]
                self.assertTrue(least <= gaps(times)[0] <= most, gaps(times))

    def test_resume_follows_at_once_when_paced(self):
        rules = [pkg(close_after=80000, times=4), pkg()]
        code, _, _, times, landed = self.fetch(rules, PACED)
        self.assertEqual((code, landed, len(times)), (0, generated_body(SIZE), 5))
        self.assertTrue(all(g < 0.4 for g in gaps(times)), gaps(times))

    def test_bad_values(self):
        for value in ("abc", "-1", "99999"):
            with self.subTest(value):
                code, _, err, times, _ = self.fetch([pkg(status=503, times=2)],
                                                    {"MGMTFETCH_RETRY_WAIT": value})
                self.assertEqual((code, len(times), err), (0, 3, IGNORED.format(value)))
                self.assertLess(times[-1] - times[0], 0.5)
                # Said even by a run without a job, as an unusable trace is.
                done = run_client(["-a", "127.0.0.1"],
                                  env=env(MGMTFETCH_RETRY_WAIT=value))
                self.assertEqual(done, (0, b"", IGNORED.format(value).encode()))

    def test_sigterm_during_a_wait(self):
        SERVER.reset()
        SERVER.rules([pkg(status=503, headers={"Retry-After": "5"})])
        client = started(self, [BINARY, "-d", SERVER.url(PKG)], cwd=self.cwd, env=env(**PACED))
        SERVER.until(bool)
        time.sleep(0.3)  # inside the 5 s wait
        client.send_signal(signal.SIGTERM)
        sent = time.monotonic()
        client.wait(5)
        self.assertLess(time.monotonic() - sent, 0.5)
        self.assertEqual((client.returncode, len(SERVER.requests())), (-signal.SIGTERM, 1))
        self.assertEqual(os.listdir(self.cwd), [])

    def test_wrong_digest(self):
        # Unpaced, the same wrong package twice ends the -d; another wrong
        # one does not. Paced, the server may be mid-rollout: it goes on.
        # Bytes dropped (cut with nothing to resume them by) leave the
        # digest too: the whole package after them is not taken for wrong.
        good = generated_body(SIZE)
        for row in table(TABLE, "wrong_digest"):
            with self.subTest(row["name"]):
                extra = dict(PACED if row["paced"] else {}, MGMTFETCH_SHA256SUMS=self.sums(good))
                code, _, _, times, landed = self.fetch(row["rules"], extra)
                self.assertEqual((code, len(times)), (row["exit"], row["requests"]))
                self.assertEqual(landed, good if row["exit"] == 0 else None)

    def test_wait_events_in_both_formats(self):
        trace = os.path.join(tempdir(self), "trace")
        rules = [pkg(status=503, times=1, headers={"Retry-After": "1"}), pkg(status=500, times=1)]
        for mode in ("json", "text"):
            with self.subTest(mode):
                err = self.fetch(rules, dict(PACED, **traced(mode, trace)))[2]
                waits = [e for e in events(mode, trace, err.encode()) if e["event"] == "wait"]
                self.assertEqual([(w["job"], w["reason"], str(w["attempt"])) for w in waits],
                                 [("-d", "retry-after", "2"), ("-d", "backoff", "3")])
                ms = [int(w["ms"]) for w in waits]
                self.assertTrue(1000 <= ms[0] <= 3000 and 500 <= ms[1] <= 3 * ms[0], waits)


class LinkDownTest(unittest.TestCase):
    """A veth link between namespaces (IPv4 link-local addresses) that goes
    down for 5 s mid-download, at -t 2: the first attempt times out with bytes
    kept, and every attempt until the link is back fails at once (no route)."""

    def test_link_down_for_5_s(self):
        size, drip = 400000, {"chunk": 20000, "interval": 0.1}  # 2 s at 200 kB/s
        for name, extra, status in (("unpaced", {}, 255), ("paced", PACED, 0)):
            with self.subTest(name):
                self.assertEqual(self.download(size, drip, extra),
                                 (status, {"big.run": True} if status == 0 else {}, True))

    def download(self, size, drip, extra):
        """(exit status, {file left: whether it is the package byte for byte},
        whether the package was asked for before the link went down)."""
        if os.geteuid() != 0:
            cannot(self, "namespaces need root")
        cwd = tempdir(self, "pacing-link-")
        with Netns("pace") as client, Netns("pace-srv") as server:
            client.ip("link", "add", "v0", "type", "veth", "peer", "name", "v1",
                      "netns", server.name)
            client.ip("addr", "add", "169.254.78.2/24", "dev", "v0")
            server.ip("addr", "add", "169.254.78.1/24", "dev", "v1")
            client.ip("link", "set", "v0", "up")
            server.ip("link", "set", "v1", "up")
            with Standin(listen="169.254.78.1", http=True, https=False,
                         prefix=server.exec) as standin:
                standin.rules([dict(prefix="/linuxsetup/", body_size=size, drip=drip)])
                url = f"http://169.254.78.1:{standin.port(False)}/linuxsetup/big.run"
                client_run = started(self, client.exec + [BINARY, "-t", "2", "-d", url],
                                     cwd=cwd, env=env(**extra))
                up = threading.Timer(5, client.ip, ("link", "set", "v0", "up"))
                try:
                    asked = bool(standin.until(bool))
                    time.sleep(0.5)  # the link goes down with the package half across
                    client.ip("link", "set", "v0", "down")
                    up.start()
                    client_run.wait(40)
                    up.join()
                finally:
                    up.cancel()
        return client_run.returncode, {name: pathlib.Path(cwd, name).read_bytes() == generated_body(
            size) for name in os.listdir(cwd)}, asked


if __name__ == "__main__":
    unittest.main()
