"""mgmtfetch's command line against the stand-in server, one case per line of
tests.json. Placeholders in arguments and expected output:
  {http}  127.0.0.1:<plain port>     {https} 127.0.0.1:<TLS port ending in 443>
  {v6}    ::1:<plain port>          {host}  localhost:<the {http} port>
  {usage} the usage text            {version}, {version6} the servers' default texts
Keys: args, rules (installed on every server), stdout (exact), exit (default 0),
stderr (substring; without it stderr must be empty, but for a trace),
requests (count), paths (exact list), path (every request's path), tls (every
request's), max_seconds, trace (the -w job's, see mgmttest.check_trace: the
case runs untraced, then traced in JSON and in text).
"""

import json
import os
import tempfile
import time
import unittest

from mgmttest import MODES, Standin, check_trace, events, load, run_client, traced

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "tests.json")) as f:
    CASES = json.load(f)
USAGE = ("\n\t\tversion: 1.0 \t(c) the mgmtfetch authors\n\n    -a | --address\t\tserver addr;\n"
         "    -w | --version\t\tserver version;\n    -d | --download\t\tdownload client pack"
         " from server;\n    -t | --timeout\t\tset timeout to server;\n")
TEXTS = {"version": "mgmt 4.2.1\n", "version6": "mgmt 4.2.1 on ::1\n"}
SERVERS = {}


def setUpModule():
    SERVERS["main"] = Standin(version_text=TEXTS["version"]).start()
    try:
        SERVERS["v6"] = Standin(listen="::1", https=False,
                                version_text=TEXTS["version6"]).start()
    except RuntimeError:
        pass    # no IPv6 loopback here: those cases are skipped


def tearDownModule():
    for server in SERVERS.values():
        server.stop()


class CommandLineTest(unittest.TestCase):
    def check(self, case):
        if "{v6}" in json.dumps(case["args"]) and "v6" not in SERVERS:
            self.skipTest("no IPv6 loopback")
        main, v6 = SERVERS["main"], SERVERS.get("v6")
        case = load(case, dict(TEXTS, usage=USAGE, http=main.addr(), https=main.addr(tls=True),
                               host=f"localhost:{main.http_port}",
                               v6=v6.addr() if v6 else "::1:1"), {})
        for mode in MODES if "trace" in case else (None,):
            with self.subTest(trace=mode):
                self.run_case(case, mode)

    def run_case(self, case, mode):
        for server in SERVERS.values():
            server.reset()
            if case.get("rules"):
                server.rules(case["rules"])
        with tempfile.TemporaryDirectory(prefix="cli-test-") as cwd:
            trace = os.path.join(cwd, "trace")
            began = time.monotonic()
            rc, out, err = run_client(case["args"], cwd=cwd, timeout=30,
                                      env=dict(os.environ, **traced(mode, trace)))
            took = time.monotonic() - began
            if mode:
                check_trace(self, case["trace"], "-w", rc, events(mode, trace, err))
            self.assertEqual(os.listdir(cwd), [], "a query writes no files")
        seen = [r for s in SERVERS.values() for r in s.requests()]
        self.assertEqual(out.decode("latin-1"), case.get("stdout", ""))
        self.assertEqual(rc, case.get("exit", 0))
        err = err.decode("latin-1")
        if "stderr" in case:
            self.assertIn(case["stderr"], err)
        elif mode != "text":
            self.assertEqual(err, "")
        got = {"requests": len(seen), "paths": [r["path"] for r in seen],
               "path": {r["path"] for r in seen}, "tls": {r["tls"] for r in seen}}
        for key in sorted(got.keys() & case.keys()):
            want = {case[key]} if key in ("path", "tls") else case[key]
            self.assertEqual(got[key], want, f"{key}: {got['paths']}")
        self.assertLessEqual(took, case.get("max_seconds", 20))


for _case in CASES:
    setattr(CommandLineTest, "test_" + _case["name"],
            lambda self, case=_case: self.check(case))

if __name__ == "__main__":
    unittest.main(verbosity=2)
