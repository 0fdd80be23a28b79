"""-w and -d with MGMTFETCH_PINNEDPUBKEY and MGMTFETCH_CACERT, against servers
that present certificates made here: a test CA signs two, one is self-signed."""

import os
import pathlib
import random
import select
import shutil
import socket
import subprocess
import tempfile
import unittest

from mgmttest import Standin, default_package, run_client

PKG = "/linuxsetup/a.run"
PIN, CA = "MGMTFETCH_PINNEDPUBKEY", "MGMTFETCH_CACERT"
EC = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
LOCAL = "subjectAltName=IP:127.0.0.1,DNS:localhost"
# The README's command for a server's pin.
PIN_OF = ("openssl x509 -in {} -pubkey -noout | openssl pkey -pubin -outform der"
          " | openssl dgst -sha256 -binary | openssl enc -base64")
# -w answered, -d done, requests seen by -w and by -d
OK, NO = (True, True, 1, 1), (False, False, 0, 0)


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


class AuthTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="auth-test-")
        cls.addClassCleanup(shutil.rmtree, cls.dir)
        f = lambda name: os.path.join(cls.dir, name)
        openssl("req", "-x509", *EC, "-subj", "/CN=test CA", "-keyout", f("root.key"),
                "-out", f("root.pem"))
        cls.servers, cls.pins = {}, {}
        for name, san, by_ca in [("self", LOCAL, False), ("ca", LOCAL, True),
                                 ("other", "subjectAltName=DNS:other.example", True)]:
            openssl("req", "-x509", *EC, "-subj", "/CN=" + name, "-keyout", f(name + ".key"),
                    "-out", f(name + ".pem"), "-addext", san,
                    *(["-CA", f("root.pem"), "-CAkey", f("root.key"),
                       "-addext", "basicConstraints=CA:FALSE"] if by_ca else []))
            cls.pins[name] = "sha256//" + subprocess.run(
                PIN_OF.format(f(name + ".pem")), shell=True, check=True, capture_output=True,
                text=True).stdout.strip()
            server = Standin(args=["--tls-cert", f(name + ".pem"), "--tls-key", f(name + ".key")])
            cls.servers[name] = server.start()
            cls.addClassCleanup(server.stop)
        openssl("pkey", "-in", f("self.key"), "-pubout", "-out", f("self.pub"))
        open(f("empty"), "w").close()
        # A bare listener on a port the client takes for https: whatever
        # connects to it shows as a pending connection.
        for port in random.sample(range(1443, 65536, 1000), 65):
            try:
                cls.trap = socket.create_server(("127.0.0.1", port))
                break
            except OSError:
                continue
        cls.addClassCleanup(cls.trap.close)

    def run_tool(self, args, env, rules, cwd=None):
        for server in self.servers.values():
            server.reset()
            server.rules(rules)
        environ = {k: v for k, v in os.environ.items() if k not in (PIN, CA)}
        rc, out, err = run_client(["-t", "5"] + args, cwd=cwd, timeout=120,
                                  env=dict(environ, **env))
        self.assertEqual(err, b"")
        trapped = False
        while select.select([self.trap], [], [], 0)[0]:
            self.trap.accept()[0].close()
            trapped = True
        self.assertFalse(trapped, "the trap was reached")
        return rc, out, [r for s in self.servers.values() for r in s.requests()]

    def test_authentication(self):
        s, pin, f = self.servers, self.pins, lambda name: os.path.join(self.dir, name)
        root = {CA: f("root.pem")}
        plain = f"127.0.0.1:{s['self'].port()}"
        trap = f"127.0.0.1:{self.trap.getsockname()[1]}"  # no server: fail before any traffic
        at = {n: f"127.0.0.1:{s[n].port(tls=True)}" for n in s}
        to_http = [{"path": PKG, "location": f"http://{plain}/linuxsetup/b.run"}]
        rows = [  # name, variables, -a address, rules, outcome
            ("unset", {}, at["self"], [], OK),
            ("empty, plain port", {PIN: "", CA: ""}, plain, [], OK),
            ("pin", {PIN: pin["self"]}, at["self"], [], OK),
            ("second of two pins", {PIN: pin["ca"] + ";" + pin["self"]}, at["self"], [], OK),
            ("key file", {PIN: f("self.pub")}, at["self"], [], OK),
            ("wrong pin", {PIN: pin["ca"]}, at["self"], [], NO),
            ("CA signed", root, at["ca"], [], OK),
            ("CA signed, by name", root, f"localhost:{s['ca'].port(tls=True)}", [], OK),
            ("self-signed against CA", root, at["self"], [], NO),
            ("CA signed, other name", root, at["other"], [], NO),
            ("CA and pin", dict(root, **{PIN: pin["ca"]}), at["ca"], [], OK),
            ("CA and wrong pin", dict(root, **{PIN: pin["other"]}), at["ca"], [], NO),
            ("missing key file", {PIN: f("absent")}, trap, [], NO),
            ("missing CA file", {CA: f("absent")}, trap, [], NO),
            ("empty key file", {PIN: f("empty")}, trap, [], NO),
            ("CA file a directory", {CA: self.dir}, trap, [], NO),
            ("pin, plain port", {PIN: pin["self"]}, plain, [], NO),
            ("redirect to http", {}, at["self"], to_http, (True, True, 1, 2)),
            ("pin, redirect to http", {PIN: pin["self"]}, at["self"], to_http,
             (True, False, 1, 10)),
            ("redirect to ftp", {}, at["self"], [{"path": PKG, "location": f"ftp://{trap}/a.run"}],
             (True, False, 1, 10)),
            ("pin, redirects over https", {PIN: pin["self"]}, at["self"],
             [{"path": PKG, "redirect_hops": 2}], (True, True, 1, 3)),
            ("pin, redirect to another key", {PIN: pin["self"]}, at["self"],
             [{"path": PKG, "location": f"https://{at['ca']}/linuxsetup/b.run"}],
             (True, False, 1, 10)),
        ]
        for name, env, addr, rules, (answered, done, asked, fetched) in rows:
            with self.subTest(name), tempfile.TemporaryDirectory(prefix="auth-test-") as cwd:
                rc, out, seen = self.run_tool(["-a", addr, "-w"], env, rules)
                self.assertEqual((out, len(seen)),
                                 (b"mgmt-standin 1.0\n" if answered else b"", asked))
                target = pathlib.Path(cwd, "a.run")
                target.write_bytes(b"old package")
                rc, out, seen = self.run_tool(["-d", f"http://{addr}{PKG}"], env, rules, cwd)
                self.assertEqual((rc, out, len(seen)), (0 if done else 255, b"", fetched))
                self.assertEqual(os.listdir(cwd), ["a.run"])
                self.assertEqual(target.read_bytes(), default_package(seen[-1]["path"])
                                 if done else b"old package")
    def test_refused_download_leaves_the_attempts(self):
        # No attempt is spent on a download the settings refuse.
        plain, at = self.servers["self"].port(), self.servers["self"].port(tls=True)
        args = ["-d", f"http://127.0.0.1:{plain}{PKG}", "-a", f"127.0.0.1:{at}", "-w"]
        with tempfile.TemporaryDirectory(prefix="auth-test-") as cwd:
            rc, out, seen = self.run_tool(args, {PIN: self.pins["self"]}, [], cwd)
        self.assertEqual((rc, out, len(seen)), (255, b"mgmt-standin 1.0\n", 1))


if __name__ == "__main__":
    unittest.main()
