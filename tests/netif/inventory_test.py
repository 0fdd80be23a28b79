"""The interface inventory on real interfaces: netif_dump runs inside a
namespace whose interfaces, MAC and IP addresses inventory.json chose, and
what it prints is compared with that set-up."""

import json
import os
import subprocess
import unittest

from mgmttest import Netns, require_netns

DUMP = os.environ.get("NETIF_DUMP", "netif_dump")
with open(os.path.join(os.path.dirname(__file__), "inventory.json")) as f:
    SETUP = json.load(f)
MACS, LONG = SETUP["macs"], "b123456789abcde"


def kernel_order(ns):
    """(name, address) in the kernel's address dump order, as iproute2 sees it:
    every IPv4 address, then every IPv6 one, each family by interface index."""
    order = []
    for family in ("-4", "-6"):
        for line in ns.ip("-o", family, "addr", "show").splitlines():
            words = line.split("\\")[0].split()
            order.append((words[-1] if family == "-4" else words[1], words[3].split("/")[0]))
    return order


class Inventory(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ns = cls.ns = Netns("inv").__enter__()
        cls.addClassCleanup(ns.__exit__)
        for a, b in (("a0", "a1"), ("b0", LONG)):
            ns.ip("link", "add", a, "address", MACS[a], "type", "veth", "peer", "name", b,
                  "address", MACS[b])
        ns.ip("link", "add", "e0", "type", "veth", "peer", "name", "e1")
        for name in ("a0", "a1", "e0", "e1"):
            ns.ip("link", "set", name, "up")
        for name, address, _ in SETUP["addresses"]:
            dev, _, label = name.partition(":")
            extra = ["label", name] if label else ["nodad"] if ":" in address else []
            ns.ip("addr", "add", address, "dev", dev, *extra)
        out = subprocess.run(ns.exec + [DUMP, *SETUP["get_mac"], "e0"], capture_output=True,
                             text=True, timeout=30, check=True).stdout
        lines = [line.split("\t") for line in out.splitlines()]
        pick = lambda kind: [f[1:] for f in lines if f[0] == kind]  # noqa: E731
        cls.records, cls.names = [tuple(f) for f in pick("rec")], [f[0] for f in pick("name")]
        cls.macs, cls.left_open = dict(pick("mac")), [f[0] for f in pick("fds")]

    def test_records_and_names_follow_the_address_list(self):
        listed = {}
        for name, address, shown in SETUP["addresses"]:
            text = address.split("/")[0]
            if shown:
                listed[(name, text)] = (name, *(("", text) if ":" in text else (text, "")),
                                        MACS.get(name, "00:00:00:00:00:00").replace(":", "-"))
        order = [key for key in kernel_order(self.ns) if key in listed]
        self.assertCountEqual(order, listed)  # every address of the set-up took
        # GetIpMac appends: the second call repeats every record.
        self.assertEqual(self.records, [listed[key] for key in order] * 2)
        # GetNetInterface appends only new names, so its second call adds none.
        self.assertEqual(self.names, list(dict.fromkeys(key[0] for key in order)))

    def test_get_mac(self):
        self.assertEqual({n: self.macs[n] for n in SETUP["get_mac"]}, SETUP["get_mac"])
        self.assertEqual(self.left_open, ["0"])  # every socket was closed
        # An interface without addresses still has its MAC read.
        self.assertRegex(self.macs["e0"], r"^[0-9a-f]{2}(-[0-9a-f]{2}){5}$")


if __name__ == "__main__":
    require_netns()
    unittest.main()
