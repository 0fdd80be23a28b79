"""A link-local server, end to end: the client has dead links d1..d3 (no
address at their peers: neighbour discovery fails, a connect waits out its
time-out), addressed only where a case asks, then live links l1..l3 to
stand-ins on fe80::1, all on the same ports (HTTP on 80)."""

import contextlib
import json
import os
import tempfile
import time
import unittest

from mgmttest import (ENDLESS, MEMORY_GUARD, RSS_SLACK_KIB, Netns, Standin, default_package,
                      events, header, require_netns, run_client, run_measured, spend, table,
                      tempdir, traced)

PROBE = "/support/getuseraddressbyurl"
DEAD, LIVE = ("d1", "d2", "d3"), ("l1", "l2", "l3")


def post(**rule):
    return [dict(rule, method="POST", path=PROBE)]


REFUSE = post(status=404)


class LinkLocal(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        stack = contextlib.ExitStack()
        cls.addClassCleanup(stack.close)
        cls.client = stack.enter_context(Netns("ll"))
        dead = stack.enter_context(Netns("dead"))
        cls.servers, https, cls.named = [], True, "l3"
        for i, name in enumerate(DEAD + LIVE):
            peer = dead if name in DEAD else stack.enter_context(Netns(name))
            cls.client.ip("link", "add", name, "type", "veth", "peer", "name", f"p{i}",
                          "address", f"02:00:00:00:00:0{i}", "netns", peer.name)
            cls.client.ip("link", "set", name, "up")
            peer.ip("link", "set", f"p{i}", "up")
            if peer is dead:
                continue
            cls.live(name, i)
            peer.ip("addr", "add", "fe80::1/64", "dev", f"p{i}", "nodad")
            server = stack.enter_context(Standin(listen=f"fe80::1%p{i}", http=80, https=https,
                                                 version_text=f"version of {name}\n",
                                                 prefix=peer.exec))
            https = server.https_port
            cls.servers.append(server)

    @classmethod
    def live(cls, name, i):
        """Fixed neighbour entry: a fresh veth's first discovery is at times
        answered only a second later, letting the next link's probe overtake."""
        cls.client.ip("addr", "replace", f"fe80::c:{i}/64", "dev", name, "nodad")
        cls.client.ip("neigh", "replace", "fe80::1", "lladdr", f"02:00:00:00:00:0{i}",
                      "dev", name, "nud", "permanent")

    def dead_links(self, on):
        for i, name in enumerate(DEAD):
            self.client.ip("addr", *(("replace", f"fe80::c:{i}/64", "dev", name, "nodad")
                                     if on else ("flush", "dev", name)))

    def rename(self, name):
        self.client.ip("link", "set", self.named, "down")
        self.client.ip("link", "set", self.named, "name", name)
        self.client.ip("link", "set", name, "up")
        self.live(name, 5)
        type(self).named = name

    def rules(self, *rules):
        for server, r in zip(self.servers, rules + ((),) * 3):
            server.reset()
            if r:
                server.rules(r)

    def fetch(self, *args, t=2, cwd=None, env=None):
        return run_client(["-t", str(t), *args], cwd=cwd, timeout=60,
                          prefix=self.client.exec, env=env)[:2]

    def seen(self):
        """Per server: (method, path, body, TLS) of each request; raced or
        not, every probe has the same headers."""
        seen = [s.requests() for s in self.servers]
        for r in sum(seen, []):
            if r["method"] == "POST":
                self.assertEqual([h for h, _ in r["headers"]],
                                 ["Host", "Accept", "Content-Length", "Content-Type"])
        return [[(r["method"], r["path"], r["body"], r["tls"]) for r in s] for s in seen]

    def probe(self, name, port, tls=False):
        return ("POST", PROBE, f'{{"ip":[fe80::1%{name}:{port}]}}', tls)

    def test_w_picks_the_first_link_that_answers(self):
        """Rows of linklocal.json: dead links ahead or not, -t, TLS or not,
        what l1.. answer a probe, variables, the winner (0: none), how many
        live links see a probe, bounds in seconds (wide enough for valgrind;
        probes in turn would wait out three time-outs), and for a row traced
        (in JSON) each link's probe outcome and the discovery's link and ms
        bounds. A key pinned that no server has fails every TLS handshake, and
        HTTP is not tried."""
        self.addCleanup(self.dead_links, False)
        path = os.path.join(tempdir(self), "trace")
        for row in table(os.path.join(os.path.dirname(__file__), "linklocal.json"),
                         pin="sha256//" + "A" * 43 + "="):
            tls, winner, probed = row.get("tls", False), row["winner"], row["probed"]
            port = self.servers[0].port(tls)
            with self.subTest(row["name"]):
                self.dead_links(row.get("dead", False))
                self.rules(*(post(**answer) for answer in row.get("probes", [])))
                start = time.monotonic()
                out = self.fetch("-a", f"fe80::1:{port}", "-w", t=row["t"], env=dict(
                    os.environ, **row.get("env", {}), **traced("json" if "trace" in row else None,
                                                               path)))
                low, high = row["seconds"]
                self.assertTrue(low <= time.monotonic() - start < high)
                self.assertEqual(out, (0, f"version of l{winner}\n".encode() if winner
                                       else b""))
                self.assertEqual(self.seen(), [
                    [self.probe(f"l{k}", port, tls)] * (k <= probed)
                    + [("GET", "/version.info", "", tls)] * (k == winner) for k in (1, 2, 3)])
                if "trace" in row:
                    seen = events("json", path, b"")
                    self.assertEqual([[e["interface"], e["outcome"]] for e in seen
                                      if e["event"] == "probe"], row["trace"]["probes"])
                    found = [[e["interface"], e["ms"]] for e in seen if e["event"] == "discovery"]
                    name, low, high = row["trace"]["discovery"]
                    self.assertTrue(len(found) == 1 and found[0][0] == name
                                    and low <= found[0][1] < high, found)

    def test_w_and_d_use_the_link_found_not_a_proxy(self):
        """Nine failures leave only the tenth attempt of the run's budget, so
        any unit taken by the probes loses the answer. A fleet's proxy on the
        client's loopback: a proxied request (probes included) would reach it
        as an absolute URI or a CONNECT, and it would answer instead."""
        nine = [spend(9), spend(9, "/linuxsetup/p.bin")]
        with Standin(http=True, https=False, prefix=self.client.exec) as proxy:
            via = f"http://127.0.0.1:{proxy.http_port}"
            for tls, found, variable in ((False, True, "http_proxy"), (True, True, "https_proxy"),
                                         (True, False, "all_proxy")):
                port, env = self.servers[0].port(tls), dict(os.environ, **{variable: via})
                with self.subTest(tls=tls, found=found), tempfile.TemporaryDirectory() as cwd:
                    self.rules(REFUSE, nine if found else REFUSE, [] if found else REFUSE)
                    proxy.reset()
                    w = self.fetch("-a", f"fe80::1:{port}", "-w", cwd=cwd, env=env)
                    d = self.fetch("-d", f"http://fe80::1:{port}/linuxsetup/p.bin", cwd=cwd,
                                   env=env)
                    self.assertEqual((w, d, os.listdir(cwd), proxy.requests()), (
                        ((0, b"version of l2\n"), (0, b""), ["p.bin"], []) if found
                        else ((0, b""), (255, b""), [], [])))
                    p = [[self.probe(f"l{k}", port, tls)] for k in (1, 2, 3)]
                    self.assertEqual(self.seen(), [
                        p[0] * 2, p[1] + [("GET", "/version.info", "", tls)] * 10 + p[1]
                        + [("GET", "/linuxsetup/p.bin", "", tls)] * 10, []] if found
                        else [p[k] * 2 for k in (0, 1, 2)])
                    if found:
                        with open(os.path.join(cwd, "p.bin"), "rb") as f:
                            self.assertTrue(f.read() == default_package("/linuxsetup/p.bin"))
                        # The zone is the client's own business: libcurl leaves
                        # it out of the Host header of [fe80::1%25l2] (and port 80).
                        self.assertEqual({header(r, "Host") for r in self.servers[1].requests()},
                                         {f"[fe80::1]:{port}" if tls else "[fe80::1]"})
            # Any other server is still reached through the fleet's proxy.
            for variable, port, method, target in (
                    ("http_proxy", 80, "GET", "http://127.0.0.2/version.info"),
                    ("https_proxy", 443, "CONNECT", "127.0.0.2:443")):
                with self.subTest(variable=variable, port=port):
                    proxy.reset()
                    self.fetch("-a", f"127.0.0.2:{port}", "-w",
                               env=dict(os.environ, **{variable: via}))
                    self.assertEqual({(r["method"], r["path"]) for r in proxy.requests()},
                                     {(method, target)})

    def test_interface_names(self):
        """l3 renamed: a name libcurl would misread as l1's must not reach l1."""
        index = json.loads(self.client.ip("-j", "link", "show", "l1"))[0]["ifindex"]
        self.addCleanup(self.rename, "l3")
        for name, reached in (("eth0.100", True), ("br-mgmt", True), ("mgmt_0", True),
                              ("l1]#", False), (str(index), False), (f"+{index}", False)):
            with self.subTest(name=name):
                self.rename(name)
                self.rules(REFUSE, REFUSE)
                self.assertEqual(self.fetch("-a", "fe80::1:80", "-w"),
                                 (0, b"version of l3\n" if reached else b""))
                self.assertEqual(self.seen(), [
                    [self.probe("l1", 80)], [self.probe("l2", 80)],
                    [self.probe(name, 80), ("GET", "/version.info", "", False)] * reached])

    def test_d_checks_locally_before_probing(self):
        """A -d that must fail for local reasons (the budget spent, a target
        that is a directory) sends no probe."""
        url = "http://fe80::1:80/linuxsetup/"
        with tempfile.TemporaryDirectory() as cwd:
            os.mkdir(os.path.join(cwd, "x.run"))
            for args in (["-a", "127.0.0.1:1", "-w", "-d", url + "y.run"], ["-d", url + "x.run"]):
                with self.subTest(args=args):
                    self.rules()
                    self.assertEqual(self.fetch(*args, cwd=cwd), (255, b""))
                    self.assertEqual((self.seen(), os.listdir(cwd)), ([[], [], []], ["x.run"]))

    def test_oversized_probe_answer_is_no_answer(self):
        self.rules()
        _, out, flat = run_measured(["-a", "fe80::1:80", "-w"],
                                    prefix=self.client.exec)
        self.assertEqual(out, b"version of l1\n")
        for rule, t in (({"body_size": 200_000_000}, "2"), (ENDLESS, "2"), (ENDLESS, "0")):
            with self.subTest(rule=str(rule)[:30], t=t):
                self.rules(post(**rule), REFUSE, REFUSE)
                rc, out, peak = run_measured(["-t", t, "-a", "fe80::1:80", "-w"],
                                             prefix=self.client.exec, limits=MEMORY_GUARD)
                self.assertEqual((rc, out), (0, b""))
                self.assertEqual([len(s) for s in self.seen()], [1, 1, 1])
                self.assertLess(peak, flat + RSS_SLACK_KIB, "peak RSS in KiB")


if __name__ == "__main__":
    require_netns()
    unittest.main()
