"""Test-side handle on standin/mgmt-standin, the stand-in management server.
A server started with a command prefix (["ip", "netns", "exec", "ns1"]) is
controlled through it too."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.environ.get("MGMTFETCH_SOURCE_DIR",
                            os.path.abspath(os.path.join(os.path.dirname(__file__), "../..")))
SERVER = os.path.join(SOURCE_DIR, "standin", "mgmt-standin")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
BLOCK = 65536


def generated_body(size, seed=0, seed_from=None):
    """The body of the rule {"body_size": size, "seed": seed, "seed_from": seed_from}."""
    body = b"".join(hashlib.shake_128(f"{seed}:{k}".encode()).digest(BLOCK)
                    for k in range(-(-size // BLOCK)))[:size]
    return body[:seed_from[0]] + generated_body(size, seed_from[1])[seed_from[0]:] if seed_from \
        else body


def default_package(path):
    # Without --package-dir: 64 KiB seeded by the path without its query.
    return generated_body(BLOCK, path.split("?", 1)[0])


def header(record, name):
    """First value of header `name` (any case) in a recorded request, or None."""
    return next((v for k, v in record["headers"] if k.lower() == name.lower()), None)


# Also run verbatim (python3 -c) under a prefix, the arguments as a JSON list.
_CONTROL = r"""
import http.client, json, sys
def control(host, port, method, path, data):
    c = http.client.HTTPConnection(host, port, timeout=30)
    try:
        c.request(method, path, body=data)
        r = c.getresponse()
        return r.status, r.read().decode()
    finally:
        c.close()
if __name__ == "__main__":
    print(json.dumps(control(*json.loads(sys.argv[1]))))
"""
_control_ns = {}
exec(_CONTROL, _control_ns)


class Standin:
    """One mgmt-standin process. http / https: True = a free port (for https
    one ending in 443, so mgmtfetch uses TLS on it), an int = that port,
    False/None = no listener."""

    def __init__(self, listen="127.0.0.1", http=True, https=True, name=None,
                 version_text=None, package_dir=None, prefix=None, args=()):
        self.listen, self.prefix = listen, list(prefix or [])
        self.http_port = self.https_port = self.proc = None
        self._tmp = tempfile.mkdtemp(prefix="standin-test-")
        self._log = open(os.path.join(self._tmp, "log"), "w+b")
        self.cmd = self.prefix + [SERVER, "--listen", listen,
                                  "--ready-file", os.path.join(self._tmp, "ready")]
        for flag, value in (("--http-port", http), ("--https-port", https), ("--name", name),
                            ("--version-text", version_text), ("--package-dir", package_dir)):
            if value is not None and value is not False:
                self.cmd += [flag, "0" if value is True else str(value)]
        self.cmd += list(args)

    def start(self):
        ready = os.path.join(self._tmp, "ready")
        self.proc = subprocess.Popen(self.cmd, stdin=subprocess.DEVNULL,
                                     stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self._log.seek(0)
                output = self._log.read().decode(errors="replace")
                self.stop()
                raise RuntimeError(f"mgmt-standin did not start: {self.cmd}\n{output}")
            time.sleep(0.02)
        with open(ready) as f:
            ports = json.load(f)
        self.http_port, self.https_port = ports["http"], ports["https"]
        return self

    def stop(self):
        """SIGTERM, then SIGKILL after 5 s. Safe to call twice."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()
        shutil.rmtree(self._tmp, ignore_errors=True)

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    def port(self, tls=False):
        return self.https_port if tls else self.http_port

    def addr(self, tls=False):
        """As -a takes it: "fe80::1:P", without brackets or zone."""
        return f"{self.listen.split('%', 1)[0]}:{self.port(tls)}"

    def url(self, path="/", tls=False):
        host = self.listen.replace("%", "%25")
        host = f"[{host}]" if ":" in host else host
        return f"{'https' if tls else 'http'}://{host}:{self.port(tls)}{path}"

    def control(self, method, path, payload=None):
        """The decoded JSON answer of /__standin/<path>, over plain HTTP."""
        where = [self.listen, self.http_port, method, "/__standin/" + path,
                 None if payload is None else json.dumps(payload)]
        if self.prefix:
            status, body = json.loads(subprocess.run(
                self.prefix + [PYTHON, "-c", _CONTROL, json.dumps(where)],
                capture_output=True, timeout=60, check=True).stdout)
        else:
            status, body = _control_ns["control"](*where)
        answer = json.loads(body)
        if status != 200:
            raise RuntimeError(f"control {method} {path}: {status} {answer}")
        return answer

    def rules(self, rules):
        """Replaces the script (a list of rule dicts); all use counts restart."""
        self.control("POST", "rules", rules)

    def reset(self):
        """Drops the rules and the request record."""
        self.control("POST", "reset")

    def requests(self):
        """The record of non-control requests, oldest first (list of dicts)."""
        return self.control("GET", "requests")

    def until(self, done, timeout=10):
        """The record once done(record) holds, or as it is after `timeout` s."""
        deadline = time.monotonic() + timeout
        while not done(record := self.requests()) and time.monotonic() < deadline:
            time.sleep(0.02)
        return record

    def settled(self):
        """The record once no answer is still going out (each has its "gone")."""
        return self.until(lambda record: all(r["gone"] is not None for r in record))
