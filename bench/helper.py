#!/usr/bin/env python3
"""Small pieces of bench/run that are awkward in bash.

  helper.py ports                 two free loopback TCP ports: "HTTP HTTPS",
                                  the second one ending in 443 so that
                                  mgmtfetch picks https:// for it
  helper.py table RESULTS.tsv     the markdown table of medians
  helper.py shaped-table RESULTS.tsv LABEL...
                                  bench/shaped's table, the first binary's
                                  label first
  helper.py broken-link BIN WORK  the broken-link job: a 256 MiB package from
                                  the stand-in server, every answer cut after
                                  64 MiB; mgmtfetch -d against curl --retry 10
                                  (with and without -C -) and wget -t 10, each
                                  into a fresh file in WORK

RESULTS.tsv holds one line per timed run:
  round  section  size  proto  tool  start  end  peak_rss_kib  cpu_seconds
with start and end as bash's $EPOCHREALTIME texts and the CPU time as user
plus system seconds.

The ratio to curl is the median over rounds of (this tool's time / curl's
time in the same round): the machine's speed drifts by tens of per cent
over minutes, and pairing runs made seconds apart cancels most of that.
"""
import collections
import filecmp
import os
import random
import socket
import statistics
import subprocess
import sys
import time

BASELINE = "curl"


def bindable(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_ports():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        http = s.getsockname()[1]
    # 10443 .. 59443: all sort below "65535" as text and end in 443.
    candidates = [n * 1000 + 443 for n in range(10, 60)]
    random.shuffle(candidates)
    for port in candidates:
        if port != http and bindable(port):
            return http, port
    sys.exit("no free port ending in 443 on 127.0.0.1")


def fmt_seconds(s):
    if s < 0.1:
        return "%.1f ms" % (s * 1000)
    return "%.3f s" % s


def table(path):
    # key -> {round: seconds}, key -> [peak RSS in KiB], key -> [CPU seconds]
    times = collections.OrderedDict()
    rss, cpu = {}, {}
    with open(path) as f:
        for line in f:
            rnd, section, size, proto, tool, start, end, kib, seconds = \
                line.rstrip("\n").split("\t")
            key = (section, size, proto, tool)
            times.setdefault(key, {})[rnd] = float(end) - float(start)
            rss.setdefault(key, []).append(int(kib))
            cpu.setdefault(key, []).append(float(seconds))
    print("| job | size | proto | tool | runs | median | CPU | ratio to curl | peak RSS |")
    print("|---|---|---|---|---:|---:|---:|---:|---:|")
    for key, by_round in times.items():
        section, size, proto, tool = key
        base = times.get((section, size, proto, BASELINE), {})
        ratios = [t / base[r] for r, t in by_round.items() if r in base]
        ratio = "%.2f" % statistics.median(ratios) if ratios else ""
        print("| %s | %s | %s | %s | %d | %s | %s | %s | %.1f MiB |" % (
            section, size, proto, tool, len(by_round),
            fmt_seconds(statistics.median(by_round.values())),
            fmt_seconds(statistics.median(cpu[key])), ratio, max(rss[key]) / 1024))


def shaped_table(path, labels):
    # (link, MiB, job) -> {round: seconds}, and -> [CPU seconds]
    times = collections.OrderedDict()
    cpu = {}
    with open(path) as f:
        for line in f:
            rnd, link, mib, _, job, start, end, _, seconds = line.rstrip("\n").split("\t")
            key = (link, int(mib), job)
            times.setdefault(key, {})[rnd] = float(end) - float(start)
            cpu.setdefault(key, []).append(float(seconds))

    def ratio(key, base_key):
        base = times.get(base_key, {})
        ratios = [t / base[r] for r, t in times[key].items() if r in base]
        return "%.2f" % statistics.median(ratios) if ratios else ""

    first = labels[0]
    others = len(labels) > 1
    print("| link | size | tool | runs | median | rate | CPU | to unverified |"
          + (" to %s |" % first if others else ""))
    print("|---|---|---|---:|---:|---:|---:|---:|" + ("---:|" if others else ""))
    for link, mib in dict.fromkeys(k[:2] for k in times):
        jobs = [("curl null", None, "")]
        jobs += [("%s -d" % l, l, "") for l in labels]
        jobs += [("%s -d sha256" % l, l, " sha256") for l in labels]
        for job, label, verified in jobs:
            key = (link, mib, job)
            if key not in times:
                continue
            wall = statistics.median(times[key].values())
            cells = [link, "%d GiB" % (mib // 1024) if mib >= 1024 else "%d MiB" % mib, job,
                     str(len(times[key])), fmt_seconds(wall),
                     "%.2f Gbit/s" % (mib * 8 * 1048576 / wall / 1e9),
                     fmt_seconds(statistics.median(cpu[key])),
                     ratio(key, (link, mib, "%s -d" % label)) if verified else ""]
            if others:
                same = (link, mib, "%s -d%s" % (first, verified))
                cells.append(ratio(key, same) if label not in (None, first) else "")
            print("| " + " | ".join(cells) + " |")


def broken_link(binary, work, size_mib=256, cut_mib=64):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "tests", "support"))
    from standin import Standin
    packages = os.path.join(work, "packages")
    os.makedirs(packages)
    source = os.path.join(packages, "pkg.bin")
    with open(source, "wb") as f:
        for _ in range(size_mib):
            f.write(os.urandom(1 << 20))
    target = os.path.join(work, "pkg.bin")
    tools = [
        ("mgmtfetch -d", [binary, "-t", "600", "-d"]),
        ("curl --retry 10", ["curl", "-s", "--retry", "10", "-o", target]),
        ("curl --retry 10 -C -", ["curl", "-s", "--retry", "10", "-C", "-", "-o", target]),
        ("wget -t 10", ["wget", "-q", "-t", "10", "-O", target]),
    ]
    print("broken link: %d MiB package, every answer cut after %d MiB" % (size_mib, cut_mib))
    print()
    # Past the package: what a tool that finished fetched more than once
    # (mgmtfetch's overlap, at most 64 KiB a resume).
    print("| tool | finished | requests | body bytes sent | past the package | wall time |")
    print("|---|---|---:|---:|---:|---:|")
    with Standin(https=False, package_dir=packages) as server:
        url = server.url("/linuxsetup/pkg.bin")
        for name, cmd in tools:
            if os.path.exists(target):
                os.remove(target)
            server.rules([{"prefix": "/linuxsetup/", "close_after": cut_mib << 20}])
            start = time.monotonic()
            done = subprocess.run(cmd + [url], cwd=work, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wall = time.monotonic() - start
            finished = (done.returncode == 0 and os.path.exists(target)
                        and filecmp.cmp(target, source, shallow=False))
            record = server.requests()
            sent = sum(r["sent"] for r in record)
            print("| %s | %s | %d | %.1f MiB | %s | %s |" % (
                name, "yes" if finished else "no (exit %d)" % done.returncode, len(record),
                sent / (1 << 20), "%d KiB" % ((sent - (size_mib << 20)) >> 10) if finished else "",
                fmt_seconds(wall)))
            server.reset()


def main(argv):
    if len(argv) == 2 and argv[1] == "ports":
        print("%d %d" % free_ports())
    elif len(argv) == 3 and argv[1] == "table":
        table(argv[2])
    elif len(argv) >= 4 and argv[1] == "shaped-table":
        shaped_table(argv[2], argv[3:])
    elif len(argv) == 4 and argv[1] == "broken-link":
        broken_link(argv[2], argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
