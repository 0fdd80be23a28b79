"""A server named by a link-local address, end to end: the client namespace
has three veth interfaces c1..c3, each leading to its own server namespace
whose stand-in listens on fe80::1%s1..s3 with the same ports. The client must
probe c1, c2, c3 in that order, stop at the first 200 with a body, and then
use that interface for -w and -d."""

import contextlib
import json
import os
import sys
import tempfile
import time
import unittest

from standin import (ENDLESS, MEMORY_GUARD, RSS_SLACK_KIB, Standin, header, run_client,
                     run_measured)

SOURCE_DIR = os.environ.get("MGMTFETCH_SOURCE_DIR", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "netif"))
import netns  # noqa: E402

MGMTFETCH = os.environ.get("MGMTFETCH", "mgmtfetch")
PROBE = "/support/getuseraddressbyurl"
REFUSE = {"method": "POST", "path": PROBE, "status": 404}


def live_neighbour(client, link, i):
    """The first neighbour discovery through a fresh veth is at times answered
    only on its retry a second later, which lets the next link's probe
    overtake this one's; a fixed entry for the server's MAC keeps it quick."""
    client.ip("neigh", "replace", "fe80::1", "lladdr", f"02:00:00:00:00:0{i}",
              "dev", link, "nud", "permanent")


class LinkLocal(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        stack = contextlib.ExitStack()
        cls.addClassCleanup(stack.close)
        cls.client = client = stack.enter_context(netns.Netns("cli"))
        cls.servers, cls.packages, ports = [], [], (True, True)
        for i in (1, 2, 3):
            ns = stack.enter_context(netns.Netns(f"srv{i}"))
            client.ip("link", "add", f"c{i}", "type", "veth", "peer", "name", f"s{i}",
                      "address", f"02:00:00:00:00:0{i}", "netns", ns.name)
            live_neighbour(client, f"c{i}", i)
            client.ip("addr", "add", f"fe80::c:{i}/64", "dev", f"c{i}", "nodad")
            ns.ip("addr", "add", "fe80::1/64", "dev", f"s{i}", "nodad")
            client.ip("link", "set", f"c{i}", "up")
            ns.ip("link", "set", f"s{i}", "up")
            packages = stack.enter_context(tempfile.TemporaryDirectory())
            cls.packages.append(os.urandom(100000 + i))
            with open(os.path.join(packages, "p.bin"), "wb") as f:
                f.write(cls.packages[-1])
            server = stack.enter_context(Standin(
                listen=f"fe80::1%s{i}", http=ports[0], https=ports[1],
                name=f"server{i}", version_text=f"version of server {i}\n",
                package_dir=packages, prefix=ns.exec))
            ports = (server.http_port, server.https_port)
            cls.servers.append(server)

    def setUp(self):
        for server in self.servers:
            server.reset()

    def fetch(self, *args, cwd=None):
        return run_client(MGMTFETCH, ["-t", "2", *args], cwd=cwd, timeout=60,
                          prefix=self.client.exec)

    def seen(self):
        """Per server: (method, path, body) of each request, with TLS or not."""
        return [[(r["method"], r["path"], r["body"], r["tls"]) for r in s.requests()]
                for s in self.servers]

    def probe(self, i, port, tls):
        return ("POST", PROBE, f'{{"ip":[fe80::1%c{i}:{port}]}}', tls)

    def test_first_interface_that_answers_serves_w_and_d(self):
        for tls in (False, True):
            port = self.servers[0].port(tls)
            with self.subTest(tls=tls), tempfile.TemporaryDirectory() as cwd:
                self.assertEqual(str(port).endswith("443"), tls)
                # Nine failures leave only the tenth attempt of the run's
                # budget, so any unit taken by the probes loses the answer.
                self.servers[0].rules([REFUSE])
                self.servers[1].rules([
                    {"path": "/version.info", "times": 9, "empty": True},
                    {"path": "/linuxsetup/p.bin", "times": 9, "status": 500}])
                rc, out, _ = self.fetch("-a", f"fe80::1:{port}", "-w", cwd=cwd)
                self.assertEqual((rc, out), (0, b"version of server 2\n"))
                rc, out, _ = self.fetch(
                    "-d", f"http://fe80::1:{port}/linuxsetup/p.bin", cwd=cwd)
                self.assertEqual((rc, out, os.listdir(cwd)), (0, b"", ["p.bin"]))
                with open(os.path.join(cwd, "p.bin"), "rb") as f:
                    self.assertTrue(f.read() == self.packages[1])
                self.assertEqual(self.seen(), [
                    [self.probe(1, port, tls)] * 2,
                    [self.probe(2, port, tls)]
                    + [("GET", "/version.info", "", tls)] * 10
                    + [self.probe(2, port, tls)]
                    + [("GET", "/linuxsetup/p.bin", "", tls)] * 10,
                    []])
                # The zone is the client's own business: libcurl leaves it
                # out of the Host header of a URL written [fe80::1%25c2].
                self.assertEqual({header(r, "Host") for r in self.servers[1].requests()},
                                 {f"[fe80::1]:{port}"})
                for server in self.servers:
                    server.reset()

    def test_only_status_200_with_a_body_selects(self):
        port = self.servers[0].port()
        self.servers[0].rules([{"method": "POST", "path": PROBE, "empty": True}])
        self.servers[1].rules([{"method": "POST", "path": PROBE, "status": 201,
                                "body": "here\n"}])
        rc, out, _ = self.fetch("-a", f"fe80::1:{port}", "-w")
        self.assertEqual((rc, out), (0, b"version of server 3\n"))
        self.assertEqual(self.seen(), [
            [self.probe(1, port, False)], [self.probe(2, port, False)],
            [self.probe(3, port, False), ("GET", "/version.info", "", False)]])

    def test_no_interface_answers(self):
        port = self.servers[0].port(tls=True)
        for server in self.servers:
            server.rules([REFUSE])
        with tempfile.TemporaryDirectory() as cwd:
            rc, out, _ = self.fetch("-a", f"fe80::1:{port}", "-w",
                                    "-d", f"https://fe80::1:{port}/linuxsetup/p.bin",
                                    cwd=cwd)
            self.assertEqual((rc, out, os.listdir(cwd)), (255, b"", []))
        # Each of -w and -d probes every interface once, and what follows
        # (an address with an empty zone) reaches no server.
        self.assertEqual(self.seen(), [[self.probe(i, port, True)] * 2 for i in (1, 2, 3)])

    def test_probe_failing_authentication_is_no_answer(self):
        # A pin that no server's key has: over TLS every probe fails its
        # handshake, and plain HTTP is not even tried.
        env = dict(os.environ, MGMTFETCH_PINNEDPUBKEY="sha256//" + "A" * 43 + "=")
        for tls in (False, True):
            address = f"fe80::1:{self.servers[0].port(tls)}"
            rc, out, _ = run_client(MGMTFETCH, ["-t", "2", "-a", address, "-w"], timeout=60,
                                    prefix=self.client.exec, env=env)
            self.assertEqual((rc, out), (0, b""))
        self.assertEqual(self.seen(), [[], [], []])


class InterfaceNames(unittest.TestCase):
    """Two links from the client: "decoy", whose server refuses probes, and
    one renamed in turn, whose server answers. A name libcurl would misread
    as another zone must not send anything through the decoy."""

    @classmethod
    def setUpClass(cls):
        stack = contextlib.ExitStack()
        cls.addClassCleanup(stack.close)
        cls.client = stack.enter_context(netns.Netns("names"))
        cls.servers = []
        for i, link in enumerate(("decoy", "named")):
            ns = stack.enter_context(netns.Netns(link))
            cls.client.ip("link", "add", link, "type", "veth", "peer", "name", "s",
                          "address", f"02:00:00:00:00:0{i}", "netns", ns.name)
            live_neighbour(cls.client, link, i)
            cls.client.ip("addr", "add", f"fe80::c:{i}/64", "dev", link, "nodad")
            ns.ip("addr", "add", "fe80::1/64", "dev", "s", "nodad")
            cls.client.ip("link", "set", link, "up")
            ns.ip("link", "set", "s", "up")
            # Port 80, where a URL cut short after its zone would land.
            cls.servers.append(stack.enter_context(Standin(
                listen="fe80::1%s", http=80, https=False, version_text=f"{link}\n",
                prefix=ns.exec)))
        cls.name = "named"

    def rename(self, name):
        self.client.ip("link", "set", self.name, "down")
        self.client.ip("link", "set", self.name, "name", name)
        self.client.ip("addr", "replace", "fe80::c:1/64", "dev", name, "nodad")
        self.client.ip("link", "set", name, "up")
        live_neighbour(self.client, name, 1)
        type(self).name = name
        for server in self.servers:
            server.reset()
        self.servers[0].rules([REFUSE])

    def bodies(self):
        return [[r["body"] for r in s.requests() if r["method"] == "POST"]
                for s in self.servers]

    def test_names(self):
        index = json.loads(self.client.ip("-j", "link", "show", "decoy"))[0]["ifindex"]
        for name, reached in (("eth0.100", True), ("br-mgmt", True), ("mgmt_0", True),
                              ("decoy]#", False), (str(index), False), (f"+{index}", False)):
            with self.subTest(name=name):
                self.rename(name)
                rc, out, _ = run_client(MGMTFETCH, ["-t", "2", "-a", "fe80::1:80", "-w"],
                                        prefix=self.client.exec)
                self.assertEqual((rc, out), (0, b"named\n" if reached else b""))
                self.assertEqual(self.bodies(), [
                    ['{"ip":[fe80::1%decoy:80]}'],
                    [f'{{"ip":[fe80::1%{name}:80]}}'] if reached else []])

    def test_oversized_probe_answer_is_no_answer(self):
        self.rename("named")
        _, out, flat = run_measured(MGMTFETCH, ["-a", "fe80::1:80", "-w"],
                                    prefix=self.client.exec)
        self.assertEqual(out, b"named\n")
        for rule, seconds in (({"body_size": 200_000_000}, "2"), (ENDLESS, "2"),
                              (ENDLESS, "0")):
            with self.subTest(rule=str(rule)[:30], t=seconds):
                self.rename("named")
                self.servers[1].rules([dict(rule, method="POST", path=PROBE)])
                rc, out, peak = run_measured(
                    MGMTFETCH, ["-t", seconds, "-a", "fe80::1:80", "-w"],
                    prefix=self.client.exec, limits=MEMORY_GUARD)
                self.assertEqual((rc, out), (0, b""))
                self.assertEqual(len(self.bodies()[1]), 1)
                self.assertLess(peak, flat + RSS_SLACK_KIB, "peak RSS in KiB")



class Staggered(unittest.TestCase):
    """Three dead links come before two live links l1 and l2, each to its own
    stand-in on fe80::1. A dead link's peer holds no address; neighbour
    discovery fails there, which does not end a probe's connect, so the probe
    waits out its time-out. Probes must not queue behind dead ones."""

    @classmethod
    def setUpClass(cls):
        stack = contextlib.ExitStack()
        cls.addClassCleanup(stack.close)
        cls.client = client = stack.enter_context(netns.Netns("stag"))
        dead = stack.enter_context(netns.Netns("dead"))
        cls.servers, port = [], True
        for i, name in enumerate(("d1", "d2", "d3", "l1", "l2")):
            peer = dead if name[0] == "d" else stack.enter_context(netns.Netns(name))
            client.ip("link", "add", name, "type", "veth", "peer", "name", f"p{i}",
                      "address", f"02:00:00:00:00:0{i}", "netns", peer.name)
            client.ip("addr", "add", f"fe80::c:{i}/64", "dev", name, "nodad")
            client.ip("link", "set", name, "up")
            peer.ip("link", "set", f"p{i}", "up")
            if peer is not dead:
                live_neighbour(client, name, i)
                peer.ip("addr", "add", "fe80::1/64", "dev", f"p{i}", "nodad")
                cls.servers.append(stack.enter_context(Standin(
                    listen=f"fe80::1%p{i}", http=port, https=False,
                    version_text=f"version of {name}\n", prefix=peer.exec)))
                port = cls.servers[0].http_port

    def test_dead_links_cost_the_stagger_not_the_time_out(self):
        t, port = 10, self.servers[0].http_port
        slow = {"method": "POST", "path": PROBE, "delay": t / 2 + 2}
        # Rules of l1 and l2; the live link that wins (0: none); bounds of the
        # whole -w in seconds, wide enough for valgrind. One probe after the
        # other would take three time-outs before l1 is even tried.
        for rules, winner, low, high in ((([], []), 1, 0, t / 2 + 1),
                                         (([slow], []), 2, 0, t / 2 + 1),
                                         (([REFUSE], [REFUSE]), 0, t, t * 1.5)):
            with self.subTest(rules=rules):
                for server, r in zip(self.servers, rules):
                    server.reset()
                    server.rules(r)
                start = time.monotonic()
                rc, out, _ = run_client(MGMTFETCH, ["-t", str(t), "-a", f"fe80::1:{port}", "-w"],
                                        timeout=60, prefix=self.client.exec)
                elapsed = time.monotonic() - start
                self.assertEqual((rc, out), (0, f"version of l{winner}\n".encode()
                                             if winner else b""))
                self.assertTrue(low <= elapsed < high, elapsed)
                # A live link after the winner is never probed; one before it
                # saw its probe even though its answer was not waited for.
                self.assertEqual(
                    [[(r["method"], r["path"], r["body"]) for r in s.requests()]
                     for s in self.servers],
                    [[("POST", PROBE, f'{{"ip":[fe80::1%l{k}:{port}]}}')] * (k <= (winner or 2))
                     + [("GET", "/version.info", "")] * (k == winner) for k in (1, 2)])
                # Raced or not, a probe is the request it always was.
                self.assertEqual([h for h, _ in self.servers[0].requests()[0]["headers"]],
                                 ["Host", "Accept", "Content-Length", "Content-Type"])


if __name__ == "__main__":
    netns.require()
    unittest.main()
