"""The calls into the extension module that the tools package makes.

Tables go through the module's private column door: 1-D NumPy columns read in place (NaN =
missing), predictions written into one float64 array, the GIL released while the engine
works. The public ``CausalModel`` methods stay as they are for everyone else.
"""

from __future__ import annotations

import sys
import threading
import time
from typing import Callable, List, Optional, Sequence

import numpy as np

__all__ = ["QuorvelinError", "import_module", "call_module", "fit_columns", "predict_columns", "predict_detail"]


class QuorvelinError(RuntimeError):
    """A failure reported by the extension module (bad table, unreadable model, ...):
    the module's ``quorvelin.ModelError``, raised again as this package's own type."""


def import_module():
    """The extension module, or ImportError with a hint."""
    try:
        import quorvelin
    except ImportError as exc:
        raise ImportError(
            "the quorvelin extension module is not importable; build and install the "
            "project with 'pip install .'"
        ) from exc
    return quorvelin


def call_module(fn, *args):
    """Calls into the extension, turning its stops (``quorvelin.ModelError``) into
    QuorvelinError; every other exception passes unchanged."""
    try:
        return fn(*args)
    except Exception as exc:
        if type(exc).__name__ == "ModelError" and type(exc).__module__ == "quorvelin":
            raise QuorvelinError(str(exc)) from exc
        raise


def _door(name: str):
    fn = getattr(import_module(), name, None)
    if fn is None:
        raise ImportError(
            f"the installed quorvelin extension has no {name}; rebuild it from this checkout "
            "(./scripts/setup.sh)"
        )
    return fn


# The door lets go of the GIL, so two threads of one process (Dask workers scoring with a
# shared model) can reach one model at once; the engine takes a model for one call at a
# time and refuses a second ("Already borrowed"). Calls on one model therefore queue on a
# lock: striped by object id, so unrelated models rarely share one. Re-entrant, so a
# progress callback that touches its own model gets the engine's error, not a deadlock.
_LOCKS = [threading.RLock() for _ in range(64)]


def _lock(model):
    return _LOCKS[(id(model) >> 4) % len(_LOCKS)]


def fit_columns(model, headers: Sequence[str], columns: List[np.ndarray], progress=None) -> None:
    """Fits ``model`` on the columns (one 1-D array per header). ``progress`` is called with
    (trees grown, trees planned) between trees, at most every 0.2 s."""
    n_tree = 0
    if progress is not None:
        n_tree = int(getattr(progress, "n_tree", 0))
    with _lock(model):
        call_module(_door("_fit_columns"), model, list(headers), list(columns), progress, n_tree)


def predict_columns(model, features: Sequence[str], columns: List[np.ndarray], width: int) -> np.ndarray:
    """The model's estimates for the rows of ``columns``: an (n_rows, width) float64 array."""
    n = columns[0].shape[0] if columns else 0
    out = np.empty((n, width), dtype=np.float64)
    if n:
        with _lock(model):
            call_module(_door("_predict_columns"), model, list(features), list(columns), out)
    return out


def predict_detail(model, features, columns, width: int, spread: bool, outcome: bool):
    """(per-tree standard deviation of the uplift, mean leaf outcome per group), each an
    array or None when not asked for."""
    n = columns[0].shape[0] if columns else 0
    std_out = np.empty((n, width), dtype=np.float64) if spread else None
    outcome_out = np.empty((n, width + 1), dtype=np.float64) if outcome else None
    if n and (spread or outcome):
        with _lock(model):
            call_module(_door("_predict_detail"), model, list(features), list(columns), std_out, outcome_out)
    return std_out, outcome_out


class TreeProgress:
    """The progress callback of ``verbose=1``: one line on stderr at most every second,
    once the fit has run for ``after`` seconds, with the trees grown and an ETA."""

    def __init__(self, n_tree: int, after: float = 2.0, stream=None, clock: Callable[[], float] = time.monotonic):
        self.n_tree = n_tree
        self.after = after
        self.stream = stream
        self.clock = clock
        self.start = clock()
        self.last: Optional[float] = None

    def __call__(self, done: int, total: int) -> None:
        now = self.clock()
        elapsed = now - self.start
        if elapsed < self.after or (self.last is not None and now - self.last < 1.0):
            return
        self.last = now
        total = total or self.n_tree
        eta = elapsed / done * (total - done) if done else float("nan")
        stream = self.stream or sys.stderr
        stream.write(f"quorvelin: {done}/{total} trees, {elapsed:.1f} s elapsed, ETA {eta:.1f} s\n")
        stream.flush()

    def finish(self) -> None:
        if self.last is not None:
            stream = self.stream or sys.stderr
            stream.write(f"quorvelin: {self.n_tree} trees in {self.clock() - self.start:.1f} s\n")
            stream.flush()
