#!/usr/bin/env python3
"""Mutation testing of the suite: each mutant below is one fault in src/.

For every mutant the tree is copied to build-mutants/tree (the working tree
itself is never touched, so Ctrl-C cannot leave a fault behind), the one
file is changed there, build-mutants/build is rebuilt and ctest runs. A
mutant is killed when a test fails (or the run passes its time limit).
ctest runs as root in a network namespace of its own: only loopback.
A mutant whose original text is missing, or not unique, no longer applies:
the run stops before anything is built and names it, so that a change of
the code cannot quietly retire a fault. Rewrite the fault for the new code.
A mutant that does not build fails the run too, at its end.

  scripts/mutants.py                 every mutant, then the score and ratio
  scripts/mutants.py NAME...         only these (shell patterns allowed)
  scripts/mutants.py --list          names and files, nothing is run
  scripts/mutants.py --check         whether every mutant applies, nothing is run
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
ANS, TMP, RACE = "src/http/answer.cc", "src/http/temp_file.cc", "src/http/race.cc"
NETIF, TRACE = "src/netif/netif.cc", "src/http/trace.cc"
FORMAT, EASY, URL = "src/http/trace_format.cc", "src/http/easy.cc", "src/address/url.cc"
SHA, SUMS, REG = "src/http/sha256.cc", "src/http/sums.cc", "src/http/regular_file.h"
PACE, WAIT = "src/http/pacing.cc", "src/http/retry_wait.cc"
FDS = "src/cli/descriptors.cc"

# The integration tests, cheapest first. The unit tests (every other test)
# always run before them, then the tests a mutant's file names below, then
# the rest in this order, each group a ctest call of its own: a mutant is
# usually killed by the first test that can see it, in seconds.
SLOW = [["netif_inventory", "cli_limits", "cli_auth", "cli_commands", "cli_descriptors"],
        ["cli_download", "cli_trace", "cli_hostile", "cli_pacing"], ["address_linklocal"]]
FIRST = {A: [], CLI: ["cli_commands", "cli_download"], MAIN: ["cli_commands", "cli_limits"],
         POST: ["cli_commands"], DL: ["cli_download"], ANS: ["cli_download"],
         TMP: ["cli_download"], RACE: ["address_linklocal"], SEC: ["cli_auth"],
         NETIF: ["netif_inventory"], SHA: ["cli_download"], SUMS: ["cli_download"],
         REG: ["cli_download"], TRACE: ["cli_trace"], PACE: [], WAIT: ["cli_pacing"],
         FDS: ["cli_descriptors"], FORMAT: ["cli_trace"], EASY: ["cli_auth"], URL: ["cli_download"]}
LL = ["address_linklocal"]

# (file, exact original text, replacement, short name[, tests to run first]).
# Grouped by file: the fault of one mutant and the mend of the one before it
# then cost one compile, not two.
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
    (A, "if (zone.empty() || zone.size() > 15)", "if (zone.size() > 15)", "empty-zone-kept"),
    (A, "IsLinkLocal(address) && percent < colon &&", "IsLinkLocal(address) &&",
     "zone-position-check-dropped"),
    # Survives: Confirm_Connect is no longer called; the probes race instead.
    (A, "return answer.empty() ? -1 : 0;", "return 0;", "probe-always-succeeds", LL),
    (A, 'return winner < 0 ? "" : names[winner];', 'return winner <= 0 ? "" : names[winner];',
    # Survives: in no case does the first interface listed answer a probe.
     "first-interface-never-found", LL),
    (A, "zone.size() > 15) return false;", "zone.size() > 16) return false;", "zone-16-bytes-kept"),
    (A, "if (zone.size() > sign &&\n      zone.find_first_not_of", "if (false &&\n      zone.find_first_not_of",
     "numeric-zone-kept"),
    (A, "(zone[0] == '+' || zone[0] == '-') ? 1 : 0", "0", "signed-numeric-zone-kept"),
    (A, "if (c <= ' ' ||", "if (c < ' ' ||", "zone-blank-kept"),
    (A, 'std::strchr("]/?#@", c)', 'std::strchr("]/?#", c)', "zone-at-sign-kept"),
    (A, "c == 0x7f || ", "", "zone-delete-byte-kept"),
    (A, 'if (!ZoneSurvivesUrl(zone)) return scheme + "[" + host + "]:" + port;\n', "",
     "zone-rules-skipped"),
    (CLI, "if (retry <= 0) return false;", "if (retry < 0) return false;", "budget-one-extra"),
    (CLI, "  --retry;\n  return true;", "  return true;", "budget-never-spent"),
    (CLI, "while (answer.empty() && TakeAttempt())", "while (TakeAttempt())",
     "version-retries-after-answer"),
    # Survives: its only effect, lookups of "version.info", goes to the resolver.
    (CLI, "      TraceAttempt(\"-w\", facts, \"not sent\", began);\n      continue;", "", "version-empty-server-asked"),
    (CLI, 'printf("%s", answer.c_str());', 'printf("%s\\n", answer.c_str());',
     "version-newline-added"),
    (CLI, "split == std::string::npos || split == 0", "split == std::string::npos",
     "split-leading-marker-accepted"),
    (CLI, "if (slash == std::string::npos) return false;", "", "split-no-slash-accepted"),
    (CLI, "url.rfind('/');", "url.find('/');", "file-name-first-slash"),
    # Survives: the read-back check refuses "http:///linuxsetup/..." before
    # any lookup as well; the early check keeps the rule visible.
    (CLI, "|| parts.server.empty())\n    return Skip", ")\n    return Skip", "download-empty-server-asked"),
    (CLI, "if (retry <= 0) return Skip(\"-d\", \"budget spent\");", "if (retry <= 0) return 0;",
     "download-spent-budget-succeeds"),
    (CLI, "kComplete) return Commit(&download, file);", "kComplete) Commit(&download, file);",
     "download-repeats-after-success"),
    (CLI, "if (UnusableTarget(file)) return Skip", "if (false) return Skip", "unusable-target-fetched"),
    (CLI, "if (!UrlNamesServer(url, base)) return", "if (false) return", "rebuilt-url-unchecked"),
    (URL, "    if (inet_pton(AF_INET6, ia.c_str(), x) == 1 && inet_pton(AF_INET6, ib.c_str(), y) == 1)\n"
          "      return std::equal(x, x + 16, y);\n", "", "url-ipv6-hosts-compared-as-text"),
    (URL, ' &&\n         UrlPart(u, CURLUPART_PATH).compare(0, 11, "/linuxsetup") == 0;', ";",
     "url-path-unchecked"),
    (CLI, "file = PackageFileName(parts.path);",
     "file = PackageFileName(FormatIpAddr(GetServerIp(parts.server)) + parts.path);",
     "probes-before-local-checks", ["address_linklocal"]),
    (CLI, "TakeAttempt(); first = false)", "retry >= 0 && (--retry, true); first = false)",
     "download-budget-one-extra"),
    (CLI, "TakeAttempt(); first = false)", "retry > 0; first = false)", "download-budget-never-spent"),
    (CLI, "if (result == DownloadResult::kNotSent) return Unsent", "if (false) return Unsent",
     "unsent-download-spends-budget", ["cli_auth"]),
    (CLI, "    if (result == DownloadResult::kLocalFailure) return -1;\n", "",
     "local-failure-retried"),
    (DL, "if (result == DownloadResult::kStale) {", "if (false) {",
     "stale-not-refetched-at-once"),
    (CLI, "if (Sha256OfFile(file, &there) && there == **listed) {", "if (false) {",
     "already-there-fetched"),
    (DL, "if (hashed && got == listed_) return", "if (true) return",
     "digest-mismatch-committed", ["cli_download"]),
    (CLI, "if (!FindListedDigest(list, file, &**listed))", "if (false)", "unlisted-package-fetched"),
    (CLI, "sums == nullptr || *sums == '\\0'", "sums == nullptr", "empty-sums-variable-used"),
    (DL, "  if (!Drop()) return DownloadResult::kLocalFailure;\n  return again", "  return again",
     "mismatched-bytes-kept", ["cli_download"]),
    (DL, "timeout * 1000L - spent", "timeout * 100L - spent", "attempt-limit-tenth"),
    # Survives: no stale answer arrives once the attempt's time is spent.
    (DL, "if (timeout <= 0 || left > 0) result", "result", "stale-refetch-past-limit"),
    (CLI, "if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;", "",
     "timeout-text-read-as-zero"),
    (CLI, "std::clamp<long long>(value, INT32_MIN, INT32_MAX)", "value", "timeout-wraps"),
    (CLI, "while (std::isspace(static_cast<unsigned char>(*digits))) ++digits;", "",
     "timeout-blanks-not-skipped"),
    (CLI, "if (*digits == '+' || *digits == '-') ++digits;", "if (*digits == '-') ++digits;",
     "timeout-plus-sign-refused"),
    (MAIN, "status = tool.download_package", "tool.download_package", "exit-status-ignored"),
    (MAIN, "ParseTimeout(optarg, &timeout);", "", "timeout-option-ignored"),
    (MAIN, "signal(SIGPIPE, SIG_IGN);", "", "sigpipe-not-ignored"),
    (MAIN, "signal(SIGXFSZ, SIG_IGN);", "", "sigxfsz-not-ignored"),
    (MAIN, "  if (!OpenStandardDescriptors()) return 255;\n", "", "closed-descriptors-left",
     ["cli_descriptors"]),
    (FDS, 'if (open("/dev/null", O_RDWR | O_NOCTTY) < 0) return false;',
     'open("/dev/null", O_RDWR | O_NOCTTY);', "closed-descriptor-without-dev-null-runs"),
    (FDS, "    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;\n", "",
     "open-descriptors-refilled"),
    (POST, "uint64_t b) { return b < a ? b : a; }", "uint64_t b) { return a < b ? b : a; }",
     "min-returns-max"),
    (POST, "if (code != CURLE_OK) return \"\";", "", "get-cut-body-accepted"),
    (POST, "&body);\n  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));",
     "&body);", "get-no-timeout"),
    (POST, "if (status != 200) return \"\";", "if (status >= 400) return \"\";",
     "probe-accepts-any-non-error", LL),
    (POST, "if (chunk == nullptr || target == nullptr) return kRefuse;", "",
     "write-null-check-dropped"),
    (POST, "c->offset += k;", "", "read-cursor-not-advanced"),
    (POST, "  return n;\n}\n\nsize_t postit2::ReadPost", "  return size;\n}\n\nsize_t postit2::ReadPost",
     "write-returns-element-size"),
    (POST, "if (count > room / size) {", "if (false) {", "text-cap-dropped"),
    (POST, "if (count > room / size) {", "if (count > room / size + 1) {", "text-cap-one-over"),
    (POST, "std::string().swap(*answer);  // frees the memory too, not just the size\n    return",
     "return", "capped-answer-kept"),
    (DL, "code == CURLE_OK, t.written", "true, t.written", "download-cut-body-accepted"),
    # Killed only by cli_download, once the download checks the digest it feeds.
    (DL, "Transfer t{h, &file_, digest_.get(), kept, &kept_};", "Transfer t{h, &file_, nullptr, kept, &kept_};",
     "download-digest-bypassed", ["cli_download"]),
    # Survives: the download never passes a null transfer; only a unit row can.
    (DL, "if (t == nullptr) return kRefuse;", "", "download-null-check-dropped"),
    (DL, "if (t->verdict != Verdict::kTake) return kRefuse;", "", "error-page-written"),
    (DL, "name, 0, CURLH_HEADER, -1", "name, 0, CURLH_HEADER | CURLH_TRAILER, -1",
     "trailers-read-as-headers"),
    (DL, "CURLOPT_MAXREDIRS, 5L", "CURLOPT_MAXREDIRS, 6L", "redirect-limit-raised"),
    (DL, '("If-Range: " + validator)', '("X-If-Range: " + validator)',
     "if-range-not-sent"),
    (DL, "end.identified ? Keep::kNewIdentity : Keep::kNothing", "Keep::kNothing",
     "cut-answer-never-resumed"),
    (DL, "end.offset == 0 || end.size == end.complete", "end.offset == 0 || end.size > 0",
     "resumed-length-unchecked"),
    (DL, "header->amount != 1", "header->amount < 1", "repeated-header-trusted"),
    # Survives: the front end's UrlNamesServer makes the same parse of the same
    # URL first, so no URL reaches this check that it refuses.
    (DL, "if (!WellFormedUrl(url)) return DownloadResult::kNotSent;", "", "bad-url-sent"),
    (DL, "limit_ms > 0 ? limit_ms : 0L", "0L", "attempt-time-limit-dropped"),
    (ANS, "if (*pos - start == 18) return false;", "if (*pos - start == 19) return false;",
     "range-number-19-digits"),
    (ANS, "r.last >= r.complete", "r.last > r.complete", "range-last-equals-length"),
    (ANS, "pos != value.size() ||", "", "range-trailing-text-accepted"),
    (ANS, "if (c <= 0x20 || c == '\"'", "if (c < 0x20 || c == '\"'", "etag-blank-accepted"),
    (ANS, "if (c <= 0x20 || c == '\"' || c == 0x7f)", "if (c == '\"')", "etag-control-accepted"),
    (ANS, "sent - modified >= kStrongDateAge", "sent - modified >= 0", "date-of-the-same-second"),
    (ANS, "ParseHttpDate(head.date, &sent) && ", "", "date-without-answer-date",),
    (ANS, "kept.by_date ? head.last_modified : head.etag", "head.etag", "validator-kind-unchecked"),
    (ANS, "r.complete == kept.complete && ", "", "complete-length-unchecked"),
    (ANS, "head.url == kept.url &&", "", "effective-url-unchecked"),
    (ANS, "!kept.validator.empty() && validator == kept.validator", "!kept.validator.empty()",
     "resumed-validator-unchecked"),
    (ANS, "r.last + 1 == r.complete &&", "", "short-part-taken"),
    (ANS, "if (id.validator.empty() || id.complete <= 0 ||", "if (id.validator.empty() ||",
     "unknown-length-resumed"),
    (ANS, "|| status == 501)", ")", "501-range-refusal-kept"),
    (ANS, "status != 408 && status != 429", "status != 408", "429-drops-kept-bytes"),
    (ANS, "  if ((status >= 400 && status <= 499 && status != 408 && status != 429) || status == 501)\n"
          "    return Verdict::kStale;\n", "", "range-refusal-repeated"),
    (ANS, "if ((c < 0x20 && c != '\\t') || c == 0x7f)", "if (c == 0x7f)", "header-value-unchecked"),
    (ANS, "status != 205 && status != 206\n", "status != 205\n", "fresh-206-taken"),
    (ANS, "r.first == offset - OverlapOf(offset) &&", "r.first <= offset - OverlapOf(offset) &&",
     "range-start-unmatched"),
    (ANS, "r.first == offset - OverlapOf(offset) &&", "r.first >= offset - OverlapOf(offset) &&",
     "seam-start-unchecked"),
    (ANS, "return kept < kOverlapLimit ? kept : kOverlapLimit;", "return kOverlapLimit;",
     "seam-not-capped-at-kept"),
    (ANS, "return kept < kOverlapLimit ? kept : kOverlapLimit;", "return kept;",
     "seam-not-capped-at-64k"),
    (ANS, "status >= 400 && status <= 499 &&", "status >= 400 && status <= 415 &&", "416-rejected"),
    (ANS, "status <= 299;", "status <= 400;", "download-accepts-400"),
    (FORMAT, "if (c == '\"' || c == '\\\\') {", "if (c == '\"') {", "json-backslash-raw"),
    (FORMAT, "    } else if (c < 0x20 || c == 0x7f) {", "    } else if (c < 0x1f) {", "json-control-raw"),
    (FORMAT, "      if (n > 0) {", "      if (true) {", "json-invalid-utf8-raw"),
    (FORMAT, "(c <= 0xf4 ? 4 : 0)", "(c <= 0xf4 ? 4 : 3)", "json-f5-taken-as-lead"),
    (FORMAT, "return text.substr(0, start) + \"***\" + text.substr(at);", "return text;",
     "user-info-shown"),
    (TRACE, "  for (std::string& a : args) a = HideArgument(a);\n", "", "args-user-info-shown"),
    (FORMAT, "HideAuthority(text, url ? scheme + 3 : 0);", "text;", "bare-address-user-info-shown"),
    (FORMAT, "return slash == std::string::npos ? out : HideBefore(out, slash + 1, split);",
     "return out;", "server-segment-user-info-shown"),
    (FORMAT, "return arg.substr(0, 2) + HideAddressUserInfo(arg.substr(2));", "return arg;",
     "glued-argument-user-info-shown"),
    (FORMAT, "AddressField(f.key) ? HideAddressUserInfo(f.text) : HideUserInfo(f.text);",
     "HideUserInfo(f.text);", "address-fields-url-rule"),
    (TRACE, "O_WRONLY | O_APPEND | O_CREAT", "O_WRONLY | O_CREAT", "trace-file-overwritten"),
    (TRACE, "O_CLOEXEC | O_NONBLOCK, 0600);", "O_CLOEXEC | O_NONBLOCK, 0644);", "trace-file-mode-0644"),
    (TRACE, "  if (now - g_sink.last_progress_ms < 1000) return;\n", "", "progress-unthrottled"),
    (TRACE, "    if (g_sink.line_open) line = ClearLine() + line;\n", "", "progress-line-not-cleared"),
    (TRACE, "ProgressLine(bytes, total, rate, Columns() - 1)", "ProgressLine(bytes, total, rate, 999)",
     "progress-width-ignored"),
    (FORMAT, "if (line.size() + part.size() > width) break;", "if (line.size() + part.size() >= width) break;",
     "progress-fit-short-by-one"),
    (TRACE, "(g_sink.plain ? std::string(stale, ' ') : ", "(g_sink.plain ? std::string() : ",
     "progress-dumb-line-not-padded"),
    # Survives: the event after a progress line is an attempt, always the longer.
    (TRACE, "\"\\r\" + std::string(g_sink.drawn, ' ') + \"\\r\"", "\"\\r\"", "progress-dumb-clear-no-blanks"),
    (TRACE, "g_sink.plain = term == nullptr || *term", "g_sink.plain = term != nullptr && *term",
     "progress-escapes-without-term"),
    (TRACE, "|| std::strcmp(term, \"dumb\") == 0;", ";", "progress-escapes-on-dumb"),
    (DL, "  trace::NewTransfer();\n", "", "progress-rate-from-first-body", ["cli_trace"]),
    (TRACE, "g_sink.terminal = !target.json && isatty(STDERR_FILENO);", "g_sink.terminal = false;",
     "progress-never-redrawn"),
    (TRACE, "  if (std::strcmp(trace, \"1\") == 0) {", "  if (trace[0] == '1') {", "trace-value-prefix"),
    (TRACE, "      Say(std::string(\"mgmtfetch: \") + kTraceVariable", "      (void)(std::string(\"mgmtfetch: \") + kTraceVariable",
     "ignored-value-unsaid"),
    (TRACE, "if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {", "if (false) {",
     "trace-file-opened-before-refused"),
    # Survives: only a symbolic link put there between the look and the open
    # would reach the open, and no test can time that.
    (TRACE, "O_CREAT | O_NOFOLLOW | O_NOCTTY", "O_CREAT | O_NOCTTY", "trace-file-open-follows-links"),
    (TRACE, "else if (st.st_uid != geteuid())", "else if (false)", "trace-file-of-another-user"),
    (TRACE, "(st.st_mode & (S_IWGRP | S_IWOTH)) != 0", "(st.st_mode & S_IWOTH) != 0",
     "trace-file-group-writable"),
    (TRACE, "(st.st_mode & (S_IWGRP | S_IWOTH)) != 0", "(st.st_mode & S_IWGRP) != 0",
     "trace-file-world-writable"),
    (A, "  if (trace::On()) TraceDiscovery(names, outcomes, winner, began);\n", "", "discovery-untraced", LL),
    (DL, '  if (length >= 0) return "length";\n', "", "framing-length-unseen", ["cli_download"]),
    (DL, "if (version >= CURL_HTTP_VERSION_2_0)", "if (version >= CURL_HTTP_VERSION_1_1)",
     "framing-http1-read-as-stream", ["cli_download"]),
    (DL, '    if (strcasestr(coding->value, "chunked") != nullptr) return "chunked";\n', "",
     "framing-chunked-unseen", ["cli_download"]),
    (CLI, "kComplete) return Commit(&download, file);",
     "kComplete) { int64_t n; return download.Commit(&n) ? 0 : -1; }", "commit-untraced"),
    (TMP, "if (!name_.empty()) unlink(name_.c_str());", "", "temp-file-left-behind"),
    (TMP, "O_NOFOLLOW | O_CLOEXEC, 0666", "O_NOFOLLOW | O_CLOEXEC, 0600", "mode-ignores-umask"),
    (TMP, "O_CREAT | O_EXCL | O_NOFOLLOW", "O_CREAT | O_NOFOLLOW", "temp-name-excl-dropped"),
    (TMP, "O_CREAT | O_EXCL | O_NOFOLLOW", "O_CREAT", "temp-name-link-followed"),
    # Equivalent: O_CREAT | O_EXCL already fails on any link at the name,
    # wherever it points; O_NOFOLLOW only says so twice.
    (TMP, "O_CREAT | O_EXCL | O_NOFOLLOW", "O_CREAT | O_EXCL", "temp-name-nofollow-dropped"),
    (TMP, 'if (errno != EEXIST) return "";', 'return "";', "temp-name-taken-gives-up"),
    (TMP, "O_TMPFILE | O_RDWR | O_CLOEXEC, 0666", "O_TMPFILE | O_RDWR | O_CLOEXEC, 0600",
     "nameless-mode-ignores-umask"),
    (TMP, "if (g_pending[0] != '\\0') unlink(g_pending);", "", "signal-leaves-temp-file"),
    (TMP, "if (saved_[i].sa_handler != SIG_IGN) sigaction", "sigaction", "ignored-signal-caught"),
    # Equivalent: fclose reports the same failed flush, and a failed earlier
    # write has already failed the download.
    (TMP, "if (Flush() < 0) return false;\n  bool placed", "bool placed",
     "commit-write-error-ignored"),
    (TMP, "placed = link(target_);", "placed = false;", "new-package-through-hidden-name"),
    (TMP, "  rewind(stream_);\n", "", "truncate-without-rewind"),
    (TMP, "fflush(stream_) != 0 || ferror(stream_)", "fflush(stream_) != 0",
     "flush-error-flag-ignored"),
    (DL, "  if (t->digest != nullptr) t->digest->Update(body + skip, n);\n", "", "append-digest-skipped",
     ["cli_download"]),
    (DL, "  if (digest_) digest_->Reset();\n", "", "truncate-keeps-digest", ["cli_pacing"]),
    (DL, "  if (std::memcmp(chunk, tail_.data() + seen_, overlap) != 0) differs_ = true;\n", "",
     "seam-bytes-not-compared"),
    (DL, "Append(body + skip, all - skip)", "Append(body, all) - skip", "seam-written-twice"),
    (DL, "Update(body + skip, n)", "Update(body, skip + n)", "seam-hashed-twice", ["cli_download"]),
    (DL, "  if (end.seam_broken) return {DownloadResult::kStale, Keep::kNothing};\n", "",
     "seam-mismatch-kept"),
    (DL, "kept_.complete, identified, t.seam.differs()}", "kept_.complete, identified, false}",
     "seam-mismatch-not-settled", ["cli_download"]),
    (DL, 'kept > 0 && t.seam.matched() ? "yes"', 't.seam.matched() ? "yes"',
     "seam-traced-without-overlap", ["cli_download"]),
    (DL, 'curl_easy_setopt(h, CURLOPT_RANGE, (std::to_string(from) + "-").c_str());',
     "curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(from));",
     "seam-asked-as-resume-offset"),
    (TMP, "size - static_cast<int64_t>(n) + ", "", "seam-tail-from-start"),
    (TMP, "return S_ISDIR(st.st_mode);", "return false;", "directory-target-accepted"),
    (TMP, "return errno != ENOENT;", "return false;", "lstat-error-ignored"),
    # Survives: two probes must end in the same round of the multi handle.
    (RACE, "if (winner < 0 || index < winner) winner = index;", "winner = index;",
     "race-later-interface-wins"),
    (RACE, "next_start_ = Clock::now() + stagger_;", "next_start_ = Clock::now();",
     "race-no-stagger"),
    (RACE, "if (it->Answered()) {", "if (true) {", "race-unanswered-wins"),
    # Survives: it costs only the stagger after a refused probe; timing only.
    (RACE, "      race.Hurry();\n      continue;", "      continue;",
     "race-failure-waits-stagger"),
    # Equivalent: libcurl's easy clean-up takes the handle out of its multi itself.
    (RACE, "if (multi_ != nullptr) curl_multi_remove_handle(multi_, easy_.get());", "",
     "race-handle-not-removed"),
    (RACE, "if (!race.Running()) return race.Finish(-1);", "if (false) return race.Finish(-1);",
     "race-waits-with-nothing-running"),
    (SHA, "  Reset();\n  return done;", "  return done;", "digest-final-no-restart"),
    (SHA, "OpenRegularFile(path, false)", "OpenRegularFile(path, true)", "digest-file-symlink-followed"),
    (SHA, "    Wait();\n    fed = fed && !failed_;", "    fed = fed && !failed_;", "digest-final-before-hashed"),
    (SHA, "      if (!filling_.empty()) Push();", "", "digest-last-block-unhashed"),
    (SHA, "    filling_.clear();\n    Wait();", "    Wait();", "digest-reset-keeps-unsent-bytes"),
    (SUMS, "(tail == 0 || listed_name[tail - 1] == '/')", "tail == 0", "sums-full-name-only"),
    (SUMS, "(tail == 0 || listed_name[tail - 1] == '/')", "true", "sums-suffix-without-slash"),
    (SUMS, "if (found && listed != *digest) return false;", "", "sums-two-digests-accepted"),
    (SUMS, "if (found && listed != *digest) return false;", "if (found) return false;",
     "sums-same-digest-twice-refused"),
    (SUMS, "if (c >= 'A' && c <= 'F') return c - 'A' + 10;", "", "sums-upper-hex-refused"),
    (SUMS, "if (!line.empty() && line.back() == '\\r') line.pop_back();", "", "sums-cr-kept"),
    (SUMS, "if (IsBlank(line)) continue;", "if (line.empty()) continue;", "sums-blanks-malformed"),
    (SUMS, "if (!ParseEntry(line, &listed, &listed_name)) return false;",
     "if (!ParseEntry(line, &listed, &listed_name)) continue;", "sums-malformed-line-skipped"),
    (SUMS, " || (line[hex + 1] != ' ' && line[hex + 1] != '*')", "", "sums-separator-unchecked"),
    (SUMS, "line.size() < hex + 3 ||", "line.size() < hex + 2 ||", "sums-empty-name-kept"),
    (SUMS, "const bool escaped = !line.empty() && line[0] == '\\\\';", "const bool escaped = false;",
     "sums-escapes-ignored"),
    (SUMS, "    else return false;", "    else plain += next;", "sums-unknown-escape-kept"),
    (SUMS, "if (read_so_far.size() > kSumsLimit) return false;", "", "sums-size-unlimited"),
    (REG, "&& S_ISREG(st.st_mode)) return fd;", ") return fd;", "non-regular-file-read"),
    (EASY, "set(CURLOPT_SSL_VERIFYPEER, policy.verify ? 1L : 0L);",
     "set(CURLOPT_SSL_VERIFYPEER, 1L);", "tls-peer-verified"),
    (EASY, "  return ok;\n}", "  return false;\n}", "transfers-refused"),
    (EASY, "return text_[0] != '\\0' ? text_ : curl_easy_strerror(code);",
     "return curl_easy_strerror(code);", "error-buffer-unread"),
    (EASY, '  if (code == CURLE_OK) return "";\n', "", "error-said-on-success"),
    (SEC, 'policy.refuse = !StartsWith(url, "https://");', "policy.refuse = false;",
     "plain-http-allowed-with-auth"),
    (SEC, 'policy.protocols = "https";', 'policy.protocols = "http,https";',
     "redirect-to-http-with-auth"),
    (EASY, "if (!Readable(file)) return false;", "if (!Readable(file)) continue;",
     "unreadable-file-ignored"),
    (EASY, " || st.st_size == 0)", ")", "empty-file-accepted"),
    (EASY, "!S_ISREG(st.st_mode) || ", "", "non-regular-file-accepted"),
    (SEC, 'if (!StartsWith(policy.pin, "sha256//")) policy.files', "policy.files",
     "hash-pin-read-as-file"),
    (EASY, 'if (LinkLocalUrl(url)) set(CURLOPT_NOPROXY, "*");', "", "link-local-through-proxy", LL),
    (EASY, 'if (LinkLocalUrl(url)) set(CURLOPT_NOPROXY', 'if (!LinkLocalUrl(url)) set(CURLOPT_NOPROXY',
     "proxy-test-inverted", LL),
    (EASY, 'if (LinkLocalUrl(url)) set(CURLOPT_NOPROXY', 'set(CURLOPT_NOPROXY', "proxy-off-for-all", LL),
    (SEC, "static_cast<char>(std::tolower(static_cast<unsigned char>(host[i])))", "host[i]",
     "link-local-url-case-sensitive"),
    (SEC, 'std::string_view("89ab")', 'std::string_view("89abcdef")', "link-local-url-fec0-taken"),
    (SEC, "if (at != std::string::npos) host.erase(0, at + 1);", "", "link-local-url-user-kept"),
    (SEC, "std::isxdigit(static_cast<unsigned char>(host[4]))", "true",
     "link-local-url-short-group-taken"),
    (EASY, "policy.verify ? 2L : 0L", "0L", "host-name-unchecked"),
    (EASY, "if (!policy.pin.empty()) set(CURLOPT_PINNEDPUBLICKEY", "if (false) set(CURLOPT_PINNEDPUBLICKEY",
     "pin-not-applied"),
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
    (PACE, "if (*c < '0' || *c > '9') {", "if (false) {", "retry-wait-non-digits-read"),
    (PACE, "if (value <= kMaxRetryWaitSeconds) value =", "value =", "retry-wait-digits-overflow"),
    (PACE, "if (value > kMaxRetryWaitSeconds) {", "if (value > kMaxRetryWaitSeconds + 1) {",
     "retry-wait-3601-taken"),
    (PACE, "  if (value == 0) return wait;\n", "", "retry-wait-zero-paces"),
    (PACE, "    last_ms_ = 0;\n    return pause;", "    return pause;", "backoff-progress-no-restart"),
    (PACE, "if (failure.progressed) {", "if (false) {", "backoff-waits-after-progress"),
    (PACE, "int64_t floor = kFloorMs;", "int64_t floor = 2 * kFloorMs;", "backoff-floor-1s"),
    (PACE, "int64_t floor = kFloorMs;", "int64_t floor = 0;", "backoff-floor-zero"),
    (PACE, "3 * std::max(last_ms_, floor)", "2 * std::max(last_ms_, floor)", "backoff-doubles"),
    (PACE, "3 * std::max(last_ms_, floor)", "3 * std::max(last_ms_, kFloorMs)", "retry-after-top-from-backoff-floor"),
    (PACE, "const int64_t top = std::min(cap_ms_, ", "const int64_t top = (", "backoff-past-cap"),
    (PACE, "  last_ms_ = pause.ms;\n", "", "backoff-no-memory"),
    (PACE, "(failure.status == 429 || failure.status == 503) && ", "", "retry-after-any-status"),
    (PACE, "failure.status == 429 || ", "", "retry-after-429-ignored"),
    (PACE, "failure.retry_after > 0", "failure.retry_after >= 0", "retry-after-zero-taken"),
    (PACE, "pause.ms = floor + draw(top - floor);", "pause.ms = draw(top);", "retry-after-not-least"),
    (PACE, "  floor = std::min(floor, cap_ms_);\n", "", "retry-after-past-cap"),
    (PACE, "uniform_int_distribution<int64_t>(0, bound)", "uniform_int_distribution<int64_t>(0, bound - 1)",
     "random-bound-never-drawn"),
    (PACE, 'return "retry-after";', 'return "backoff";', "retry-after-named-backoff"),
    (WAIT, "while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {\n  }",
     "clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);", "sleep-cut-by-signal"),
    (WAIT, "  if (!on_) return;\n", "", "unpaced-run-waits", ["cli_trace"]),
    (WAIT, "if (trace::On())\n    trace::Emit(\"wait\"", "if (false)\n    trace::Emit(\"wait\"",
     "wait-untraced"),
    (MAIN, "  pacing::RetryWaitFromEnvironment();\n", "", "ignored-wait-unsaid-without-job",
     ["cli_pacing"]),
    (CLI, "    if (failed) waits.Before(kAttemptBudget - retry, *failed);\n", "",
     "version-retries-unpaced", ["cli_pacing"]),
    (CLI, "    if (!first) waits.Before(kAttemptBudget - retry, download.failure());\n", "",
     "download-retries-unpaced", ["cli_pacing"]),
    (CLI, "for (bool first = true;", "for (bool first = false;", "first-attempt-waits",
     ["cli_pacing"]),
    (CLI, "    if (result == DownloadResult::kSameWrongDigest && !waits.on()) return -1;\n", "",
     "same-wrong-digest-fetched-again", ["cli_pacing"]),
    (CLI, "kSameWrongDigest && !waits.on()) return -1;", "kSameWrongDigest) return -1;",
     "paced-same-wrong-digest-ends", ["cli_pacing"]),
    (DL, "const bool again = hashed && wrong_ == got;", "const bool again = hashed;",
     "other-wrong-digest-ends", ["cli_pacing"]),
    (DL, "progressed_ = !kept_.validator.empty() && file_.Flush() > before;", "progressed_ = false;",
     "progress-paced", ["cli_pacing"]),
    (DL, "  last->retry_after = RetryAfterSeconds(h);\n", "",
     "download-retry-after-unread", ["cli_pacing"]),
    (POST, "    facts->retry_after = RetryAfterSeconds(h);\n", "",
     "version-retry-after-unread", ["cli_pacing"]),
    (EASY, "CURLINFO_RETRY_AFTER, &seconds);\n  return seconds;", "CURLINFO_RETRY_AFTER, &seconds);\n  return 0;",
     "retry-after-never-read", ["cli_pacing"]),
    (WAIT, "if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == sizeof seed) return seed;",
     "return seed;", "seed-shared-by-all"),
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
def stale(chosen):
    """The mutants whose original text is not found exactly once in the
    working tree, each with a line that says why."""
    lines = []
    for file, original, _, name, *_ in chosen:
        try:
            with open(os.path.join(ROOT, file)) as f:
                found = f.read().count(original)
        except OSError as e:
            lines.append(f"{name}: {file}: {e.strerror}")
            continue
        if found != 1:
            lines.append(f"{name}: its original text is in {file} {found} times, not once")
    return lines


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
                # A fresh time stamp: a copy that kept the source's would look
                # older than the objects of a mutant left by a killed run, and
                # the build would keep the fault.
                shutil.copy(os.path.join(ROOT, rel), dst)
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


def groups(first):
    """The ctest calls of one run, in order: -R/-E regular expressions."""
    slow = [name for group in SLOW for name in group]
    calls = [("-E", "^(" + "|".join(slow) + ")$")]
    if first:
        calls.append(("-R", "^(" + "|".join(first) + ")$"))
    # The last two groups go together: the link-local test alone outlasts both
    # of the others, so -j2 runs them beside it.
    rest = [[n for n in g if n not in first] for g in SLOW[:-2]]
    rest.append([n for g in SLOW[-2:] for n in g if n not in first])
    calls += [("-R", "^(" + "|".join(g) + ")$") for g in rest if g]
    return calls


def ctest(jobs, limit, first=()):
    failed_log = os.path.join(BUILD, "Testing", "Temporary", "LastTestsFailed.log")
    if os.path.exists(failed_log):
        os.remove(failed_log)
    # A mutant may send traffic anywhere (a lookup of a name made from
    # garbage goes to the system resolver): the run gets a network of its
    # own with only loopback, and a private /run/netns, so namespaces that
    # an interrupted test leaves behind vanish with the run. The groups run
    # one after another and the first failing one ends the run.
    calls = " && ".join(f'ctest --test-dir "{BUILD}" -j {jobs} --stop-on-failure {flag} "{regex}"'
                        for flag, regex in groups(list(first)))
    script = ("mkdir -p /run/netns && mount -t tmpfs mutants /run/netns && "
              f"ip link set lo up && {calls}")
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
    p.add_argument("--check", action="store_true", help="check that every mutant applies")
    p.add_argument("--ratio", action="store_true", help="print only the test-code share")
    p.add_argument("-j", type=int, default=2, help="ctest jobs (default 2)")
    args = p.parse_args()
    if args.ratio:
        return ratio()
    chosen = [m for m in MUTANTS
              if not args.names or any(fnmatch.fnmatch(m[3], n) for n in args.names)]
    if args.list or not chosen:
        for file, _, _, name, *_ in chosen:
            print(f"{name:34} {file}")
        return 0 if chosen else 1
    unfit = stale(chosen)
    if unfit:
        sys.exit("mutants that no longer apply (rewrite them for the code as it is now):\n  "
                 + "\n  ".join(unfit))
    if args.check:
        print(f"all {len(chosen)} mutants apply")
        return 0

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
    limit = 2 * (time.monotonic() - began) + 60
    print(f"unmutated: passes in {time.monotonic() - began:.0f} s; limit per mutant {limit:.0f} s",
          flush=True)

    run_began = time.monotonic()
    killed, survived, unbuilt = [], [], []
    chosen.sort(key=lambda m: [f for f, *_ in MUTANTS].index(m[0]))  # by file
    for file, original, replacement, name, *first in chosen:
        path = os.path.join(TREE, file)
        with open(path) as f:
            text = f.read()
        if text.count(original) != 1:  # checked above; the copy is the same
            sys.exit(f"{name} no longer applies in {TREE}")
        began = time.monotonic()
        try:
            with open(path, "w") as f:
                f.write(text.replace(original, replacement))
            ok, out = build()
            failing = ctest(args.j, limit, first[0] if first else FIRST[file]) if ok else None
        finally:
            with open(path, "w") as f:
                f.write(text)
        took = f"{time.monotonic() - began:.0f} s"
        if failing is None:
            print(f"does not build  {name}\n{out[-1500:]}", flush=True)
            unbuilt.append(name)
        elif failing:
            print(f"killed          {name} ({took}) by {', '.join(failing)}", flush=True)
            killed.append(name)
        else:
            print(f"SURVIVED        {name} ({took})", flush=True)
            survived.append(name)
    build()
    applied = len(killed) + len(survived)
    spent = time.monotonic() - run_began
    print(f"\n{len(chosen)} mutants in {spent / 60:.1f} min, {spent / max(len(chosen), 1):.0f} s each")
    print(f"killed {len(killed)} of {applied}; survived: {', '.join(survived) or 'none'}")
    ratio()
    if unbuilt:
        print(f"FAILED: these mutants do not build, so they test nothing: {', '.join(unbuilt)}")
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit("interrupted; the working tree was never changed")
