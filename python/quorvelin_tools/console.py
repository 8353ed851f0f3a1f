"""Terminal output shared by the command-line commands: progress lines, tables,
number formatting, and the error type that ends a command with exit code 2."""

from __future__ import annotations

import math
import sys
import time
from typing import List

import numpy as np

PROG = "quorvelin"


class UsageError(Exception):
    """A problem with the user's input; reported as one line, exit code 2."""


class Progress:
    """Progress lines on stderr (silent with ``quiet``), so stdout keeps the results."""

    def __init__(self, quiet: bool = False):
        self.quiet = quiet

    def say(self, msg: str):
        if not self.quiet:
            print(f"[{PROG}] {msg}", file=sys.stderr, flush=True)

    def step(self, msg: str):
        """Context manager printing the start and the duration of a long step."""
        return _Step(self, msg)


class _Step:
    def __init__(self, progress: Progress, msg: str):
        self.progress = progress
        self.msg = msg
        self.seconds = 0.0

    def __enter__(self):
        self.progress.say(f"{self.msg} ...")
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, exc_type, exc, tb):
        self.seconds = time.perf_counter() - self.t0
        if exc_type is None:
            self.progress.say(f"{self.msg}: done in {self.seconds:.2f} s")
        return False


def fmt(v, digits=4) -> str:
    if isinstance(v, float):
        if math.isnan(v):
            return "nan"
        return f"{v:.{digits}f}"
    return str(v)


def table_text(rows: List[List[str]], header: List[str]) -> List[str]:
    """Lines of a plain-text table: the first column left-aligned, the others right."""
    widths = [max([len(str(h))] + [len(str(r[i])) for r in rows]) for i, h in enumerate(header)]
    lines = ["  ".join(str(h).ljust(w) for h, w in zip(header, widths)), "  ".join("-" * w for w in widths)]
    for r in rows:
        lines.append("  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths))))
    return lines


def print_table(rows: List[List[str]], header: List[str], out=None):
    print("\n".join(table_text(rows, header)), file=out or sys.stdout)


def label_text(v) -> str:
    """A treatment label as text: 1.0 -> "1"."""
    if isinstance(v, np.generic):
        v = v.item()
    if isinstance(v, float) and v.is_integer():
        return str(int(v))
    return str(v)


def json_default(v):
    if isinstance(v, np.generic):
        return v.item()
    raise TypeError(f"cannot write {type(v).__name__}")
