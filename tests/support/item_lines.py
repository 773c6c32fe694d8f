"""The item lines that kestrel-cli capture and import print on standard
output, one per recording: index, state, kind, stored bytes, expected size,
finished file (may be empty), and "complete" or "gaps".

Shared by the end-to-end tests (tests/http-e2e, tests/live-e2e,
tests/faults-e2e) and bench/live.
"""

import os
import re

STATES = ("recording", "waiting", "processing", "done", "failed", "removed", "empty")


class Item:
    def __init__(self, fields):
        self.index = int(fields[0])
        self.state = fields[1]
        self.kind = fields[2]
        self.stored = int(fields[3])
        self.expected = int(fields[4])
        self.path = fields[5]
        self.completeness = fields[6]
        self.data = None  # the finished file's bytes, for checks that read it

    def label(self):
        return f"item {self.index} ({self.state}, {self.completeness}, {os.path.basename(self.path) or 'no file'})"


def parse_items(stdout, strict=True):
    """(items, problems) from kestrel-cli's standard output. Not strict:
    lines without the last column are taken too (its completeness is then
    None), so that the benchmark also runs on older builds."""
    items, problems = [], []
    for line in stdout.splitlines():
        if not line.strip():
            continue
        f = line.split("\t")
        if not strict and len(f) == 6:
            f.append(None)
        if (len(f) != 7 or not f[0].isdigit() or f[1] not in STATES or f[2] not in ("http", "rtmp")
                or not re.fullmatch(r"-?\d+", f[3]) or not re.fullmatch(r"-?\d+", f[4])
                or f[6] not in ("complete", "gaps", None)):
            problems.append(f"malformed item line (7 tab-separated columns expected): {line!r}")
            continue
        items.append(Item(f))
    return items, problems
