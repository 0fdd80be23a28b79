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

from mgmttest import VERSION, Standin, default_package, run_client, table

PKG = "/linuxsetup/a.run"
PIN, CA = "MGMTFETCH_PINNEDPUBKEY", "MGMTFETCH_CACERT"
EC = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
LOCAL = "subjectAltName=IP:127.0.0.1,DNS:localhost"
# The README's command for a server's pin.
PIN_OF = ("openssl x509 -in {} -pubkey -noout | openssl pkey -pubin -outform der"
          " | openssl dgst -sha256 -binary | openssl enc -base64")


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
        """Rows of auth.json: name, variables, the -a address (the -d URL's
        server), rules; w: requests of the -w, which prints the version when
        it had one (default 1); d: of the -d (default 1); done: whether the
        package landed. {trap} fails any that reaches it."""
        s = self.servers
        values = {"dir": self.dir, "plain": f"127.0.0.1:{s['self'].port()}",
                  "trap": f"127.0.0.1:{self.trap.getsockname()[1]}",
                  "ca_port": s["ca"].port(tls=True)}
        for n in s:
            values.update({"pin_" + n: self.pins[n], "at_" + n: f"127.0.0.1:{s[n].port(True)}"})
        for row in table(os.path.join(os.path.dirname(__file__), "auth.json"), **values):
            env, rules, addr = row.get("env", {}), row.get("rules", []), row["at"]
            with self.subTest(row["name"]), tempfile.TemporaryDirectory(prefix="auth-test-") as cwd:
                rc, out, seen = self.run_tool(["-a", addr, "-w"], env, rules)
                asked = row.get("w", 1)
                self.assertEqual((out, len(seen)), (VERSION.encode() * asked, asked))
                target = pathlib.Path(cwd, "a.run")
                target.write_bytes(b"old package")
                rc, out, seen = self.run_tool(["-d", f"http://{addr}{PKG}"], env, rules, cwd)
                done = row.get("done", True)
                self.assertEqual((rc, out, len(seen)), (0 if done else 255, b"", row.get("d", 1)))
                self.assertEqual(os.listdir(cwd), ["a.run"])
                self.assertEqual(target.read_bytes(), default_package(seen[-1]["path"])
                                 if done else b"old package")

    def test_refused_download_leaves_the_attempts(self):
        # No attempt is spent on a download the settings refuse.
        plain, at = self.servers["self"].port(), self.servers["self"].port(tls=True)
        args = ["-d", f"http://127.0.0.1:{plain}{PKG}", "-a", f"127.0.0.1:{at}", "-w"]
        with tempfile.TemporaryDirectory(prefix="auth-test-") as cwd:
            rc, out, seen = self.run_tool(args, {PIN: self.pins["self"]}, [], cwd)
        self.assertEqual((rc, out, len(seen)), (255, VERSION.encode(), 1))


if __name__ == "__main__":
    unittest.main()
