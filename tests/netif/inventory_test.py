"""The interface inventory on real interfaces: netif_dump runs inside a
namespace whose interfaces, MAC and IP addresses this test chose, and what it
prints is compared with that set-up."""

import os
import subprocess
import unittest

from mgmttest import Netns, require_netns

DUMP = os.environ.get("NETIF_DUMP", "netif_dump")
LONG = "b123456789abcde"  # 15 characters, the longest name an interface may have
ZERO = "00-00-00-00-00-00"
MACS = {"a0": "02:00:00:00:00:a0", "a1": "02:00:00:00:00:a1",
        "b0": "02:00:00:00:00:b0", LONG: "02:00:00:00:00:b1"}

# (name as the address list gives it, address, listed). "lo:1" is a label on
# lo: only the exact name "lo" marks the loopback.
ADDRESSES = [
    ("lo", "127.0.0.2/8", False), ("lo", "fe80::5/64", False),
    ("lo", "fd6d:6774:6674::1/128", False), ("lo:1", "127.0.0.41/32", True),
    # Several addresses on one interface; the 127.0.0.1 text prefix hides
    # the first three, 127.0.0.2 is kept off lo.
    ("a0", "127.0.0.1/32", False), ("a0", "127.0.0.15/32", False),
    ("a0", "127.0.0.199/32", False), ("a0", "127.0.0.2/32", True),
    ("a0", "127.1.0.1/32", True), ("a0", "fe80::a0:1/64", True),
    ("a0", "fe80::a0:2/64", True), ("a0", "::ffff:127.0.0.5/128", False),
    ("a0", "::2/128", False),
    ("a1", "fe80::a1:1/64", True),                         # link-local only
    ("b0", "127.0.0.20/32", True), ("b0", "fe80::b0:1/64", True),  # down
    (LONG, "127.0.0.21/32", True),
]


def dump(ns, *names):
    out = subprocess.run(ns.exec + [DUMP, *names], capture_output=True, text=True,
                         timeout=30, check=True).stdout
    lines = [line.split("\t") for line in out.splitlines()]
    pick = lambda kind: [f[1:] for f in lines if f[0] == kind]  # noqa: E731
    return ([tuple(f) for f in pick("rec")], [f[0] for f in pick("name")],
            dict(pick("mac")), [f[0] for f in pick("fds")])


def kernel_order(ns):
    """(name, address) in the kernel's address dump order, as iproute2 sees it:
    every IPv4 address, then every IPv6 one, each family by interface index."""
    order = []
    for family in ("-4", "-6"):
        for line in ns.ip("-o", family, "addr", "show").splitlines():
            words = line.split("\\")[0].split()
            order.append((words[-1] if family == "-4" else words[1],
                          words[3].split("/")[0]))
    return order


class Inventory(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ns = Netns("inv")
        cls.ns = ns.__enter__()
        cls.addClassCleanup(ns.__exit__)
        ns.ip("link", "add", "a0", "address", MACS["a0"], "type", "veth",
              "peer", "name", "a1", "address", MACS["a1"])
        ns.ip("link", "add", "b0", "address", MACS["b0"], "type", "veth",
              "peer", "name", LONG, "address", MACS[LONG])
        ns.ip("link", "add", "e0", "type", "veth", "peer", "name", "e1")
        for name in ("a0", "a1", "e0", "e1"):
            ns.ip("link", "set", name, "up")
        for name, address, _ in ADDRESSES:
            dev, _, label = name.partition(":")
            extra = ["label", name] if label else ["nodad"] if ":" in address else []
            ns.ip("addr", "add", address, "dev", dev, *extra)
        cls.records, cls.names, cls.macs, cls.left_open = dump(
            ns, "lo", "lo:1", "a0", "b0", "e0", LONG, LONG + "f", "x" * 64,
            "nosuch0", "")

    def test_records_and_names_follow_the_address_list(self):
        listed = {}
        for name, text in ((n, a.split("/")[0]) for n, a, shown in ADDRESSES if shown):
            v4, v6 = ("", text) if ":" in text else (text, "")
            listed[(name, text)] = (name, v4, v6, MACS.get(name, ZERO).replace(":", "-"))
        order = [key for key in kernel_order(self.ns) if key in listed]
        self.assertCountEqual(order, listed)  # every address of the set-up took
        expected = [listed[key] for key in order]
        # GetIpMac appends: the second call repeats every record.
        self.assertEqual(self.records, expected * 2)
        # GetNetInterface appends only new names, so its second call adds none.
        self.assertEqual(self.names, list(dict.fromkeys(key[0] for key in order)))
        # IPv4 comes first in the list, so the link-local-only interface is
        # last although its index is the lowest of the veth interfaces.
        self.assertEqual(self.names[-1], "a1")

    def test_get_mac(self):
        cases = {"lo": "", "lo:1": ZERO, "a0": "02-00-00-00-00-a0",
                 "b0": "02-00-00-00-00-b0", LONG: "02-00-00-00-00-b1",
                 LONG + "f": "", "x" * 64: "", "nosuch0": "", "": ""}
        for name, mac in cases.items():
            with self.subTest(name=name):
                self.assertEqual(self.macs[name], mac)
        self.assertEqual(self.left_open, ["0"])  # every socket was closed
        # An interface without addresses still has its MAC read.
        self.assertRegex(self.macs["e0"], r"^[0-9a-f]{2}(-[0-9a-f]{2}){5}$")


if __name__ == "__main__":
    require_netns()
    unittest.main()
