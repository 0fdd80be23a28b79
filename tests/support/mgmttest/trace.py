"""Runs under MGMTFETCH_TRACE. A row that expects a trace runs in each of
MODES: untraced, JSON to a file, text on stderr. The text lines are read
back into events, so both formats meet the same expectations."""

import json
import os
import re

MODES = (None, "json", "text")
# The fields of each event, after time, pid and event.
FIELDS = {
    "start": ["version", "args"], "address": ["job", "given", "url"],
    "attempt": ["job", "number", "left", "url", "status", "bytes", "resumed_from",
                "overlap", "overlap_matched", "ms", "outcome", "error"],
    "skip": ["job", "reason"], "progress": ["bytes", "total", "rate"],
    "commit": ["file", "bytes", "framing", "outcome", "error"], "end": ["status", "ms"],
    "probe": ["interface", "outcome", "status", "error", "ms"], "discovery": ["interface", "ms"],
    "wait": ["job", "ms", "reason", "attempt"],
}
_LINE = re.compile(r'(\d+\.\d{3}) \[(\d+)\] (\w+)((?: \w+=(?:"(?:[^"\\]|\\.)*"|[^ "]*))*)')
_FIELD = re.compile(r' (\w+)=("(?:[^"\\]|\\.)*"|[^ "]*)')


def traced(mode, path):
    """The variables of a run in `mode`; "json" writes to `path`."""
    return {None: {}, "json": {"MGMTFETCH_TRACE": path, "MGMTFETCH_TRACE_FORMAT": "json"},
            "text": {"MGMTFETCH_TRACE": "1"}}[mode]


def parse(line):
    """One text line as an event; every value a string."""
    m = _LINE.fullmatch(line)
    if m is None:
        raise AssertionError(f"not a trace line: {line!r}")
    event = {"time": m[1], "pid": m[2], "event": m[3]}
    for key, value in _FIELD.findall(m[4]):
        event[key] = json.loads(value) if value.startswith('"') else value
    return event


def events(mode, path, stderr):
    """What a run in `mode` traced, each event with its fields in order; the
    JSON file is removed."""
    if mode == "json":
        with open(path) as f:
            seen = [json.loads(line) for line in f]
        os.remove(path)
    else:
        seen = [parse(line) for line in stderr.decode().splitlines()]
    for e in seen:
        if list(e) != ["time", "pid", "event"] + FIELDS[e["event"]]:
            raise AssertionError(f"not the fields of {e['event']}: {list(e)}")
    return seen


def check_trace(test, want, job, status, seen):
    """`want`: "attempts" (outcomes of the job's attempts), "error" (in the
    last that did not complete), "resumed_from", "overlap", "overlap_matched"
    (per attempt), "skip" (the
    start of the job's last skip reason), "commit" (fields of the one commit)."""
    text = lambda values: [str(v) for v in values]  # noqa: E731
    test.assertEqual(text([seen[-1]["event"], seen[-1].get("status")]), ["end", str(status)])
    of = lambda kind: [e for e in seen if e["event"] == kind and e.get("job", job) == job]  # noqa
    attempts, skips = of("attempt"), of("skip")
    if "attempts" in want:
        test.assertEqual([e["outcome"] for e in attempts], want["attempts"])
    if "error" in want:
        test.assertIn(want["error"], [e["error"] for e in attempts if e["outcome"] != "complete"][-1])
    for field in ("resumed_from", "overlap", "overlap_matched"):
        if field in want:
            test.assertEqual(text(e[field] for e in attempts), text(want[field]))
    if "skip" in want:
        test.assertTrue(skips and skips[-1]["reason"].startswith(want["skip"]), skips)
    if "commit" in want:
        test.assertEqual([text(e[k] for k in want["commit"]) for e in of("commit")],
                         [text(want["commit"].values())])
