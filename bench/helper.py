#!/usr/bin/env python3
"""Small pieces of bench/run that are awkward in bash.

  helper.py ports                 two free loopback TCP ports: "HTTP HTTPS",
                                  the second one ending in 443 so that
                                  mgmtfetch picks https:// for it
  helper.py table RESULTS.tsv     the markdown table of medians

RESULTS.tsv holds one line per timed run:
  round  section  size  proto  tool  start  end  peak_rss_kib
with start and end as bash's $EPOCHREALTIME texts.

The ratio to curl is the median over rounds of (this tool's time / curl's
time in the same round): the machine's speed drifts by tens of per cent
over minutes, and pairing runs made seconds apart cancels most of that.
"""
import collections
import random
import socket
import statistics
import sys

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
    # key -> {round: seconds}, key -> [peak RSS in KiB]
    times = collections.OrderedDict()
    rss = {}
    with open(path) as f:
        for line in f:
            rnd, section, size, proto, tool, start, end, kib = \
                line.rstrip("\n").split("\t")
            key = (section, size, proto, tool)
            times.setdefault(key, {})[rnd] = float(end) - float(start)
            rss.setdefault(key, []).append(int(kib))
    print("| job | size | proto | tool | runs | median | ratio to curl | peak RSS |")
    print("|---|---|---|---|---:|---:|---:|---:|")
    for key, by_round in times.items():
        section, size, proto, tool = key
        base = times.get((section, size, proto, BASELINE), {})
        ratios = [t / base[r] for r, t in by_round.items() if r in base]
        ratio = "%.2f" % statistics.median(ratios) if ratios else ""
        print("| %s | %s | %s | %s | %d | %s | %s | %.1f MiB |" % (
            section, size, proto, tool, len(by_round),
            fmt_seconds(statistics.median(by_round.values())), ratio,
            max(rss[key]) / 1024))


def main(argv):
    if len(argv) == 2 and argv[1] == "ports":
        print("%d %d" % free_ports())
    elif len(argv) == 3 and argv[1] == "table":
        table(argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
