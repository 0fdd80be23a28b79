#!/usr/bin/env python3
"""Mutation testing of the suite: each mutant below is one fault in src/.

For every mutant the tree is copied to build-mutants/tree (the working tree
itself is never touched, so Ctrl-C cannot leave a fault behind), the one
file is changed there, build-mutants/build is rebuilt and ctest runs. A
mutant is killed when a test fails (or the run passes its time limit).
ctest runs as root in a network namespace of its own: only loopback.
A mutant whose original text is missing, or not unique, does not apply.

  scripts/mutants.py                 every mutant, then the score and ratio
  scripts/mutants.py NAME...         only these (shell patterns allowed)
  scripts/mutants.py --list          names and files, nothing is run
  scripts/mutants.py --ratio         only the share of test code
"""

import argparse
import filecmp
import fnmatch
import os
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build-mutants")
TREE, BUILD = os.path.join(WORK, "tree"), os.path.join(WORK, "build")

A, CLI, MAIN = "src/address/address.cc", "src/cli/curl_tool.cc", "src/cli/main.cc"
POST, DL, SEC = "src/http/postit2.cc", "src/http/download.cc", "src/http/secure.cc"
NETIF = "src/netif/netif.cc"

# (file, exact original text, replacement, short name)
MUTANTS = [
    (A, 'compare(0, 5, "fe80:") == 0', 'compare(0, 5, "fe80:") != 0', "linklocal-test-inverted"),
    (A, 'return host + "%" + interface + ":" + port;', 'return host + "%" + interface + port;',
     "scope-drops-port-colon"),
    (A, "if (host.find(':') == std::string::npos) return address;\n  return \"[\"",
     'return "["', "insert-brackets-any-host"),
    (A, "if (address.find('.') != std::string::npos) return address;\n  if (IsLinkLocal",
     "if (IsLinkLocal", "serverip-dot-check-dropped"),
    (A, "port.size() >= 3", "port.size() > 3", "https-port-length-off-by-one"),
    (A, 'port.compare("65535") <= 0', 'port.compare("70000") <= 0', "https-port-limit-changed"),
    (A, 'port.size() - 3, 3, "443") == 0', 'port.size() - 3, 3, "443") != 0', "https-suffix-inverted"),
    (A, 'host + "%25" + zone', 'host + "%" + zone', "zone-percent-unescaped"),
    (A, "if (zone.empty()) return", "if (false) return", "empty-zone-kept"),
    (A, "IsLinkLocal(address) && percent < colon &&", "IsLinkLocal(address) &&",
     "zone-position-check-dropped"),
    (A, "return answer.empty() ? -1 : 0;", "return 0;", "probe-always-succeeds"),
    (A, "name)) == 0) return name;", "name)) != 0) return name;", "probe-result-inverted"),
    (CLI, "if (retry <= 0) return false;", "if (retry < 0) return false;", "budget-one-extra"),
    (CLI, "  --retry;\n", "\n", "budget-never-spent"),
    (CLI, "while (answer.empty() && TakeAttempt())", "while (TakeAttempt())",
     "version-retries-after-answer"),
    # Survives: its only effect, lookups of "version.info", goes to the resolver.
    (CLI, "if (server.empty()) continue;", "", "version-empty-server-asked"),
    (CLI, 'printf("%s", answer.c_str());', 'printf("%s\\n", answer.c_str());',
     "version-newline-added"),
    (CLI, "split == std::string::npos || split == 0", "split == std::string::npos",
     "split-leading-marker-accepted"),
    (CLI, "if (slash == std::string::npos) return false;", "", "split-no-slash-accepted"),
    (CLI, "url.rfind('/');", "url.find('/');", "file-name-first-slash"),
    (CLI, "|| parts.server.empty()) return -1;", ") return -1;", "download-empty-server-asked"),
    (CLI, "int result = -1;", "int result = 0;", "download-spent-budget-succeeds"),
    (CLI, "result = 0;\n      break;", "result = 0;", "download-repeats-after-success"),
    (MAIN, "status = tool.download_package", "tool.download_package", "exit-status-ignored"),
    (MAIN, "timeout = atoi(optarg);", "", "timeout-option-ignored"),
    (POST, "uint64_t b) { return b < a ? b : a; }", "uint64_t b) { return a < b ? b : a; }",
     "min-returns-max"),
    (POST, "if (curl_easy_perform(h) != CURLE_OK) return \"\";\n  return body;",
     "curl_easy_perform(h);\n  return body;", "get-cut-body-accepted"),
    (POST, "&body);\n  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));",
     "&body);", "get-no-timeout"),
    (POST, "if (status != 200) return \"\";", "if (status >= 400) return \"\";",
     "probe-accepts-any-non-error"),
    (POST, "if (chunk == nullptr || target == nullptr) return kRefuse;", "",
     "write-null-check-dropped"),
    (POST, "c->offset += k;", "", "read-cursor-not-advanced"),
    (POST, "n);\n  return n;\n}\n\nsize_t postit2::WriteString",
     "n);\n  return size;\n}\n\nsize_t postit2::WriteString",
     "write-returns-element-size"),
    (DL, "if (status >= 400) return -1;", "if (status > 400) return -1;", "download-accepts-400"),
    (DL, "if (curl_easy_perform(h) != CURLE_OK) return -1;", "curl_easy_perform(h);",
     "download-cut-body-accepted"),
    (DL, "if (!path_.empty()) unlink(path_.c_str());", "", "temp-file-left-behind"),
    (DL, "0666 & ~mask", "0600", "mode-ignores-umask"),
    (DL, "CURLOPT_MAXREDIRS, 5L", "CURLOPT_MAXREDIRS, 6L", "redirect-limit-raised"),
    (DL, "if (g_pending[0] != '\\0') unlink(g_pending);", "", "signal-leaves-temp-file"),
    (DL, "if (saved_[i].sa_handler != SIG_IGN)\n", "", "ignored-signal-caught"),
    (DL, "if (UnusableTarget(path)) return -1;", "", "unusable-target-fetched"),
    # Survives: no test makes the last write of a download fail.
    (DL, "fflush(stream_) == 0 && !ferror(stream_) &&", "", "commit-write-error-ignored"),
    # Survives: the download never passes a null stream; only a unit row can.
    (DL, "if (stream == nullptr) return static_cast<size_t>(-1);", "",
     "download-null-check-dropped"),
    (SEC, "CURLOPT_SSL_VERIFYPEER, 0L", "CURLOPT_SSL_VERIFYPEER, 1L", "tls-peer-verified"),
    (SEC, "return true;", "return false;", "transfers-refused"),
    (NETIF, 'if (std::strcmp(name, "lo") == 0) return "";', "", "mac-of-loopback-read"),
    (NETIF, ">= sizeof request.ifr_name", "> sizeof request.ifr_name", "mac-long-name-cut"),
    (NETIF, "if (ioctl(sock.fd(), SIOCGIFHWADDR, &request) != 0) return \"\";",
     "ioctl(sock.fd(), SIOCGIFHWADDR, &request);", "mac-ioctl-failure-ignored"),
    (NETIF, 'std::strncmp(text, "127.0.0.1", 9) == 0', 'std::strcmp(text, "127.0.0.1") == 0',
     "ipv4-prefix-filter-exact"),
    (NETIF, 'loopback || std::strncmp(text, "::", 2)', 'std::strncmp(text, "::", 2)',
     "ipv6-loopback-kept"),
    (NETIF, 'std::strncmp(text, "::", 2) == 0', 'std::strncmp(text, "::1", 3) == 0',
     "ipv6-prefix-filter-narrowed"),
    (NETIF, "if (std::find(names.begin(), names.end(), record.ifname) == names.end())",
     "if (true)", "names-not-deduplicated"),
    (NETIF, "if (fd_ >= 0) close(fd_);", "", "socket-not-closed"),
    # Survives ctest; the sanitizer stage's LeakSanitizer catches it.
    (NETIF, "if (getifaddrs(&raw) != 0) return;\n  IfaddrsList addresses(raw);",
     "if (getifaddrs(&raw) != 0) return;", "address-list-not-freed"),
]


# -- share of test code ---------------------------------------------------
def code_lines(path):
    with open(path, errors="replace") as f:
        lines = [line.strip() for line in f]
    if not path.endswith((".cc", ".h", ".py", ".sh")) and (
            "." in os.path.basename(path) or not lines or not lines[0].startswith("#!")):
        return 0
    return sum(1 for line in lines if line and not line.startswith(("//", "#")))


def count(top):
    total = 0
    for base, dirs, files in os.walk(os.path.join(ROOT, top)):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        total += sum(code_lines(os.path.join(base, f)) for f in files)
    return total


def ratio():
    n = {d: count(d) for d in ("src", "tests", "fuzz", "standin", "scripts", "bench")}
    tests = n["tests"] + n["fuzz"]
    print("non-blank non-comment lines: " + ", ".join(f"{d} {v}" for d, v in n.items()))
    print(f"test code (tests + fuzz): {tests} of {sum(n.values())} = "
          f"{100 * tests / sum(n.values()):.1f}%")


# -- the loop --------------------------------------------------------------
def sync_tree():
    """Makes TREE an exact copy of the working tree's sources."""
    skip = lambda d: d.startswith("build") or d in (".git", "__pycache__")
    wanted = set()
    for base, dirs, files in os.walk(ROOT):
        dirs[:] = [d for d in dirs if not (base == ROOT and skip(d)) and d != "__pycache__"]
        for f in files:
            rel = os.path.relpath(os.path.join(base, f), ROOT)
            wanted.add(rel)
            dst = os.path.join(TREE, rel)
            if not os.path.exists(dst) or not filecmp.cmp(os.path.join(ROOT, rel), dst, False):
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, rel), dst)
    for base, _, files in os.walk(TREE):
        for f in files:
            path = os.path.join(base, f)
            if os.path.relpath(path, TREE) not in wanted:
                os.remove(path)


def run(argv, limit=None):
    """(return code or None on time-out, output). The whole process group
    goes on a time-out or Ctrl-C: SIGINT first, so Python tests remove
    their namespaces and servers, then SIGKILL."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True, text=True, errors="replace")
    try:
        out, _ = proc.communicate(timeout=limit)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        return None, ""
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGINT)
            try:
                proc.wait(15)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()


def build():
    code, out = run(["cmake", "--build", BUILD])
    return code == 0, out


def ctest(jobs, limit):
    failed_log = os.path.join(BUILD, "Testing", "Temporary", "LastTestsFailed.log")
    if os.path.exists(failed_log):
        os.remove(failed_log)
    # A mutant may send traffic anywhere (a lookup of a name made from
    # garbage goes to the system resolver): the run gets a network of its
    # own with only loopback, and a private /run/netns, so namespaces that
    # an interrupted test leaves behind vanish with the run.
    script = ("mkdir -p /run/netns && mount -t tmpfs mutants /run/netns && "
              f'ip link set lo up && exec ctest --test-dir "{BUILD}" -j {jobs}')
    code, out = run(["unshare", "--net", "--mount", "sh", "-c", script], limit)
    if code is None:
        return ["(time-out)"]
    if code == 0:
        return []
    try:
        with open(failed_log) as f:
            return [line.strip().split(":", 1)[1] for line in f if ":" in line]
    except OSError:
        return ["(ctest: " + out.strip().splitlines()[-1] + ")"]


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("names", nargs="*", help="mutants to run (shell patterns)")
    p.add_argument("--list", action="store_true", help="list the mutants")
    p.add_argument("--ratio", action="store_true", help="print only the test-code share")
    p.add_argument("-j", type=int, default=2, help="ctest jobs (default 2)")
    args = p.parse_args()
    if args.ratio:
        return ratio()
    chosen = [m for m in MUTANTS
              if not args.names or any(fnmatch.fnmatch(m[3], n) for n in args.names)]
    if args.list or not chosen:
        for file, _, _, name in chosen:
            print(f"{name:34} {file}")
        return 0 if chosen else 1

    sync_tree()
    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        code, out = run(["cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja",
                         "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
        if code != 0:
            sys.exit(out)
    ok, out = build()
    began = time.monotonic()
    failing = ctest(args.j, None) if ok else ["(build)"]
    if failing:
        sys.exit(f"the unmutated tree must build and pass first: {failing}\n{out[-3000:]}")
    limit = 3 * (time.monotonic() - began) + 60
    print(f"unmutated: passes in {time.monotonic() - began:.0f} s; limit per mutant {limit:.0f} s",
          flush=True)

    killed, survived, skipped = [], [], []
    for file, original, replacement, name in chosen:
        path = os.path.join(TREE, file)
        with open(path) as f:
            text = f.read()
        found = text.count(original)
        if found != 1:
            print(f"does not apply  {name} (original text found {found} times)", flush=True)
            skipped.append(name)
            continue
        began = time.monotonic()
        try:
            with open(path, "w") as f:
                f.write(text.replace(original, replacement))
            ok, out = build()
            failing = ctest(args.j, limit) if ok else None
        finally:
            with open(path, "w") as f:
                f.write(text)
        took = f"{time.monotonic() - began:.0f} s"
        if failing is None:
            print(f"does not build  {name}\n{out[-1500:]}", flush=True)
            skipped.append(name)
        elif failing:
            print(f"killed          {name} ({took}) by {', '.join(failing)}", flush=True)
            killed.append(name)
        else:
            print(f"SURVIVED        {name} ({took})", flush=True)
            survived.append(name)
    build()
    applied = len(killed) + len(survived)
    print(f"\nkilled {len(killed)} of {applied}; survived: {', '.join(survived) or 'none'}")
    if skipped:
        print(f"not applied: {', '.join(skipped)}")
    ratio()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit("interrupted; the working tree was never changed")
