"""Test-side handle on standin/mgmt-standin, the stand-in management server.

    with Standin(name="A") as s:
        s.rules([{"prefix": "/linuxsetup/", "times": 2, "status": 500}])
        rc, out, err = run_client(MGMTFETCH, ["-d", s.url("/linuxsetup/p.bin", tls=True)])
        assert [r["path"] for r in s.requests()] == [...]

Servers started with a command prefix (["ip", "netns", "exec", "ns1"]) are
also controlled through that prefix, so they may live in any namespace.
"""

import hashlib
import http.client
import json
import os
import resource
import shlex
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.environ.get(
    "MGMTFETCH_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
SERVER = os.path.join(SOURCE_DIR, "standin", "mgmt-standin")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
BLOCK = 65536


def generated_body(size, seed=0):
    """The bytes the server sends for {"body_size": size, "seed": seed}: the
    concatenation over k = 0, 1, ... of SHAKE-128("<seed>:<k>").digest(65536),
    cut to `size` bytes (seed formatted with str(): 7 -> "7")."""
    blocks = (size + BLOCK - 1) // BLOCK
    data = b"".join(hashlib.shake_128(f"{seed}:{k}".encode()).digest(BLOCK)
                    for k in range(blocks))
    return data[:size]


def default_package(path):
    """The default /linuxsetup answer without --package-dir: 64 KiB seeded by
    the request path without its query, e.g. "/linuxsetup/p.bin"."""
    return generated_body(BLOCK, path.split("?", 1)[0])


def header(record, name):
    """First value of header `name` (any case) in a recorded request, or None."""
    return next((v for k, v in record["headers"] if k.lower() == name.lower()), None)


def run_client(binary, args, cwd=None, timeout=60, prefix=None, env=None):
    """Runs binary with args; returns (exit code, stdout bytes, stderr bytes).
    A run longer than `timeout` seconds is killed and raises TimeoutExpired.
    MGMTFETCH_WRAPPER (e.g. "valgrind --error-exitcode=99 --quiet") goes in
    front of the binary, after the prefix, so a checker's report shows as
    an exit status that no test expects."""
    wrapper = shlex.split(os.environ.get("MGMTFETCH_WRAPPER", ""))
    done = subprocess.run(list(prefix or []) + wrapper + [binary] + list(args), cwd=cwd,
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


# Rule keys for a body without end: a petabyte, with no length announced.
ENDLESS = {"body_size": 10 ** 15, "headers": {"Content-Length": None}}
# For run_measured: a client that keeps what it gets dies at 1 GiB instead of
# taking the machine's memory. A sanitizer's shadow memory needs far more
# address space, so there the guard is off.
MEMORY_GUARD = [] if "ASAN_OPTIONS" in os.environ else [(resource.RLIMIT_AS, 1 << 30)]
# How far a run's peak RSS may pass that of a plain run and still be flat:
# far below any answer worth measuring, above what a sanitizer's quarantine
# keeps of ten refused 1 MiB answers.
RSS_SLACK_KIB = 64 * 1024


def run_measured(binary, args, prefix=None, limits=(), timeout=60):
    """Like run_client, for a run's peak resident size: (exit code, stdout
    bytes, peak RSS in KiB). GNU time measures it, since a child of this
    process would start with this process's pages counted; no wrapper, which
    would measure itself. `limits`: (resource.RLIMIT_..., value) pairs."""
    def apply_limits():
        for which, value in limits:
            resource.setrlimit(which, (value, value))
    with tempfile.NamedTemporaryFile() as report:
        argv = list(prefix or []) + ["/usr/bin/time", "-f", "%M", "-o", report.name,
                                     binary] + list(args)
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout, preexec_fn=apply_limits)
        return done.returncode, done.stdout, int(report.read().split()[-1])


# Also run verbatim (python3 -c) under a prefix: host port tls method path [data].
_CONTROL = r"""
import http.client, ssl, sys
def control(host, port, tls, method, path, data):
    c = (http.client.HTTPSConnection(host, port, timeout=30,
                                     context=ssl._create_unverified_context())
         if tls else http.client.HTTPConnection(host, port, timeout=30))
    try:
        c.request(method, path, body=data)
        r = c.getresponse()
        return r.status, r.read()
    finally:
        c.close()
if __name__ == "__main__":
    a = sys.argv[1:]
    status, body = control(a[0], int(a[1]), a[2] == "1", a[3], a[4],
                           a[5].encode() if len(a) > 5 else None)
    sys.stdout.write("%d\n" % status)
    sys.stdout.flush()
    sys.stdout.buffer.write(body)
"""
_control_ns = {}
exec(_CONTROL, _control_ns)


class Standin:
    """One mgmt-standin process.

    http / https: True = a free port picked by the server (https: one whose
    text ends in 443, so mgmtfetch uses TLS on it; http: one that does not),
    an int = that port, False/None = listener off.
    """

    def __init__(self, listen="127.0.0.1", http=True, https=True, name=None,
                 version_text=None, package_dir=None, prefix=None, args=(),
                 verbose=False, start_timeout=20):
        self.listen = listen
        self.prefix = list(prefix or [])
        self.http_port = self.https_port = None
        self.proc = None
        self._log = None
        self._output = ""
        self._tmp = tempfile.mkdtemp(prefix="standin-test-")
        cmd = self.prefix + [SERVER, "--listen", listen,
                             "--ready-file", os.path.join(self._tmp, "ready")]
        for flag, port in (("--http-port", http), ("--https-port", https)):
            if port is not None and port is not False:
                cmd += [flag, "0" if port is True else str(port)]
        for flag, value in (("--name", name), ("--version-text", version_text),
                            ("--package-dir", package_dir)):
            if value is not None:
                cmd += [flag, value]
        self.cmd = cmd + (["--verbose"] if verbose else []) + list(args)
        self.start_timeout = start_timeout

    def start(self):
        ready = os.path.join(self._tmp, "ready")
        self._log = open(os.path.join(self._tmp, "log"), "w+b")
        self.proc = subprocess.Popen(self.cmd, stdin=subprocess.DEVNULL,
                                     stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.start_timeout
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"mgmt-standin did not start: {self.cmd}\n{self.output()}")
            time.sleep(0.02)
        with open(ready) as f:
            ports = json.load(f)
        self.http_port, self.https_port = ports["http"], ports["https"]
        return self

    def stop(self):
        """SIGTERM, then SIGKILL after 5 s. Safe to call twice."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self._log is not None:
            self.output()
            self._log.close()
            self._log = None
        if self._tmp:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None

    def output(self):
        """What the server wrote (stdout and stderr) so far."""
        if self._log is not None:
            self._log.seek(0)
            self._output = self._log.read().decode(errors="replace")
        return self._output

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    # -- addresses
    def port(self, tls=False):
        return self.https_port if tls else self.http_port

    def host(self):
        """The listen address without its zone ("fe80::1%veth0" -> "fe80::1")."""
        return self.listen.split("%", 1)[0]

    def addr(self, tls=False):
        """The address as mgmtfetch -a takes it: "127.0.0.1:P", "::1:P",
        "fe80::1:P" (no brackets; no zone, the client finds the interface)."""
        return f"{self.host()}:{self.port(tls)}"

    def url(self, path="/", tls=False):
        """A URL for curl or mgmtfetch -d; a zone is written as %25zone."""
        host = self.listen.replace("%", "%25")
        if ":" in host:
            host = f"[{host}]"
        return f"{'https' if tls else 'http'}://{host}:{self.port(tls)}{path}"

    # -- control API
    def control(self, method, path, payload=None):
        """Calls /__standin/<path>; returns the decoded JSON answer."""
        data = None if payload is None else json.dumps(payload).encode()
        tls = self.http_port is None
        host = {"0.0.0.0": "127.0.0.1", "::": "::1"}.get(self.listen, self.listen)
        where = (host, self.port(tls), tls, method, "/__standin/" + path)
        if not self.prefix:
            status, body = _control_ns["control"](*where, data)
        else:
            argv = [str(x) for x in where[:2]] + ["1" if tls else "0"] + list(where[3:])
            done = subprocess.run(self.prefix + [PYTHON, "-c", _CONTROL] + argv
                                  + ([data.decode()] if data is not None else []),
                                  capture_output=True, timeout=60, check=True)
            first, _, body = done.stdout.partition(b"\n")
            status = int(first)
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
