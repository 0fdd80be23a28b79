"""What every Python test of mgmtfetch shares. CMake puts tests/support on
PYTHONPATH, so a test needs only `from mgmttest import ...`:

  BINARY                     the client under test ($MGMTFETCH, else build/mgmtfetch)
  Standin(...)               a stand-in server: .start()/.stop() or `with`; .rules([...]),
                             .reset(), .requests(), .url(path, tls=), .addr(tls=), .port(tls=)
  run_client(args, cwd=, env=, prefix=, timeout=)  -> (exit status, stdout, stderr)
  run_measured(args, prefix=, limits=)             -> (exit status, stdout, peak RSS in KiB)
  pkg(**rule)                a rule for the packages under /linuxsetup/
  spend(n, path=)            a rule whose first n answers fail: n of the run's 10 attempts
  sh(script), tmpfs(options) command prefixes (the working directory as a tmpfs)
  free_port(), started(test, argv, **popen)  a port to start a server on later; a
                             process killed at the test's end if still running
  tempdir(test), cannot(test, why)  a directory removed after the test; a skip
                             that fails under CI=true
  table(path, part=, **values)  the rows of a JSON table, see load()
  Netns(tag), require_netns()  network namespaces (root only; see netns.py)
  MODES, traced(mode, path), events(mode, path, stderr), check_trace(...)
                             runs under MGMTFETCH_TRACE (see trace.py)
  generated_body(size, seed), default_package(path), header(record, name)
  VERSION, ENDLESS, MEMORY_GUARD, RSS_SLACK_KIB  the stand-in's version text, and
                             the keys and limits of answers without end
A new file: SERVER = Standin(); setUpModule, tearDownModule = SERVER.start,
SERVER.stop; and in tests/CMakeLists.txt mgmt_python_test(NAME cli/FILE.py).
"""

import json
import os
import resource
import shlex
import shutil
import socket
import subprocess
import tempfile

from standin import SOURCE_DIR, Standin, default_package, generated_body, header  # noqa: F401
from mgmttest.netns import Netns, require as require_netns  # noqa: F401
from mgmttest.trace import MODES, check_trace, events, traced  # noqa: F401

BINARY = os.path.abspath(os.environ.get("MGMTFETCH")
                         or os.path.join(SOURCE_DIR, "build", "mgmtfetch"))
VERSION = "mgmt-standin 1.0\n"  # the stand-in's own version text
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


def run_client(args, cwd=None, timeout=60, prefix=None, env=None):
    """(exit status, stdout, stderr); raises TimeoutExpired past `timeout` s."""
    # MGMTFETCH_WRAPPER (e.g. "valgrind --error-exitcode=99 --quiet") goes
    # after the prefix: a checker's report shows as a status no test expects.
    wrapper = shlex.split(os.environ.get("MGMTFETCH_WRAPPER", ""))
    done = subprocess.run(list(prefix or []) + wrapper + [BINARY] + list(args), cwd=cwd,
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def run_measured(args, prefix=None, limits=(), timeout=60):
    """(exit status, stdout, peak RSS in KiB); `limits`: (RLIMIT_*, value) pairs."""
    # GNU time measures: a child of this process would start with this
    # process's pages counted. No wrapper, which would measure itself.
    with tempfile.NamedTemporaryFile() as report:
        argv = list(prefix or []) + ["/usr/bin/time", "-f", "%M", "-o", report.name,
                                     BINARY] + list(args)
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                              preexec_fn=lambda: [resource.setrlimit(w, (v, v)) for w, v in limits])
        return done.returncode, done.stdout, int(report.read().split()[-1])


def pkg(**rule):
    return dict(prefix="/linuxsetup/", **rule)


def spend(n, path="/version.info"):
    # Empty and 500: a failed attempt for -w and -d alike.
    return {"path": path, "times": n, "status": 500, "empty": True}


def sh(script, *args):
    """A prefix that runs `script` with the command as "$@" (after `args`)."""
    return ["sh", "-c", script, "sh", *args]


def tmpfs(options="size=1m", where='"$PWD"'):
    """A prefix: `where` becomes an empty tmpfs mounted with `options` in a
    mount namespace of its own, and what is left in the working directory
    goes to stdout after the command. Exit 77 where no tmpfs can be had."""
    return ["unshare", "-m", *sh(f'mount -t tmpfs -o "$1" none {where} || exit 77; shift; '
                                 'cd "$PWD" && "$@"; rc=$?; ls -A; exit $rc', options)]


def tempdir(test, prefix="mgmt-test-"):
    path = tempfile.mkdtemp(prefix=prefix)
    test.addCleanup(shutil.rmtree, path, True)
    return path


def free_port():
    """A loopback port nothing listens on, for a server started later."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def started(test, argv, **popen):
    """A process that the test's end kills, should a failed assertion leave
    it running: a client in a long wait or a server would outlive the run."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, **popen)
    test.addCleanup(proc.wait)
    test.addCleanup(lambda: proc.poll() is None and proc.kill())
    return proc


def cannot(test, why):
    """Skips the test where the machine cannot run it; CI has to run them all."""
    if os.environ.get("CI") == "true":
        test.fail(f"{why}; CI=true, so this test must run")
    test.skipTest(why)


def load(node, values, named):
    """A JSON table's node as a test uses it: "{name}" in strings becomes
    str(values[name]); {"generated": [size, seed]} the stand-in's bytes;
    {"package": path} the default package of path; {"spend": n, "path": p}
    spend(n, p);
    {"like": name, ...} the rule `named[name]` with keys added or replaced;
    a string naming one of `named` in a "rules" list, that rule."""
    if isinstance(node, str):
        for key, value in values.items():
            node = node.replace("{%s}" % key, str(value))
        return node
    if isinstance(node, list):
        return [load(n, values, named) for n in node]
    if not isinstance(node, dict):
        return node
    if "generated" in node:
        return generated_body(*node["generated"])
    if "package" in node:
        return default_package(node["package"])
    if "spend" in node:
        return spend(node["spend"], node.get("path", "/version.info"))
    base = load(named[node["like"]], values, named) if "like" in node else {}
    for key, value in node.items():
        if key == "rules":
            value = [named.get(r, r) if isinstance(r, str) else r for r in value]
        if key != "like":
            base[key] = load(value, values, named)
    return base


def table(path, part="rows", **values):
    """The rows of a JSON file: a list, or {"named": {name: rule}, part: [...]}."""
    with open(path) as f:
        data = json.load(f)
    if isinstance(data, list):
        data = {part: data}
    return load(data[part], values, data.get("named", {}))
