"""Network namespaces built by a test: unique names, removed on every path.
Where none can be made, require() exits 77 (ctest: skipped), but fails under
CI=true, since CI has to run these tests."""

import itertools
import os
import subprocess
import sys

_serial = itertools.count()


def run(*argv):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=30)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: {done.stderr.strip()}")
    return done.stdout


class Netns:
    """`ip netns add` on entry, `ip netns del` on exit. lo is up; interfaces
    made inside get no automatic IPv6 addresses and keep their IPv6 addresses
    when set down, so each test sees only the addresses it added."""

    def __init__(self, tag):
        self.name = f"mgmt-{tag}-{os.getpid()}-{next(_serial)}"
        self.exec = ["ip", "netns", "exec", self.name]

    def __enter__(self):
        run("ip", "netns", "add", self.name)
        try:
            run(*self.exec, "sh", "-c", "cd /proc/sys/net/ipv6/conf/default && echo 1 "
                ">addr_gen_mode && echo 1 >keep_addr_on_down && ip link set lo up")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        run("ip", "netns", "del", self.name)

    def ip(self, *args):
        return run("ip", "-n", self.name, *args)


def require():
    """Call before unittest.main() in a test that needs namespaces."""
    try:
        if os.geteuid() != 0:
            raise OSError("network namespaces need root")
        with Netns("probe"):
            pass
    except (OSError, RuntimeError, subprocess.SubprocessError) as e:
        if os.environ.get("CI") == "true":
            sys.exit(f"FAIL: {e}; CI=true, so these tests must run")
        print(f"SKIP: cannot create a network namespace: {e}")
        sys.exit(77)
