"""Ctrl-C during the long phases of a call: the first binning of a large table, the growth
of one deep tree and the routing of many rows through many trees, each taking seconds, stop
within a loose bound and leave the model as it was, through the public method (GIL held) and
the column door (GIL released), on 1 and 2 threads."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

quorvelin = pytest.importorskip("quorvelin", reason="the quorvelin extension module is not importable")
pytestmark = pytest.mark.usefixtures("ctrl_c_raises")

# The public method holds the GIL for the whole call: the signal comes from another process.
SENDER = (
    "import os, signal, sys, time\n"
    "time.sleep(float(sys.argv[1]))\n"
    "sent = time.perf_counter()\n"
    "os.kill(int(sys.argv[2]), signal.SIGINT)\n"
    "print(sent)\n"
)


def _latency(call, delay=0.4):
    sender = subprocess.Popen([sys.executable, "-c", SENDER, str(delay), str(os.getpid())],
                              stdout=subprocess.PIPE, text=True)
    try:
        call()
    except KeyboardInterrupt:
        got = time.perf_counter()
        sender.wait()
        return got - float(sender.stdout.read())
    # The call ended before the signal came: take it quietly when it does, so that it fails this
    # test and does not end the whole run.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sender.wait()
    pytest.fail("the call ended before the interrupt came: the phase is too short to test")


def _table(n, k, seed=0, dtype=np.float64, tied=False):
    rng = np.random.default_rng(seed)
    # A column of one value but for a few cells: each of many bin boundaries walks the long tie.
    draw = (lambda: rng.random(n) < 0.001) if tied else (lambda: rng.normal(size=n))
    cols = [draw().astype(dtype) for _ in range(k)]
    cols.append(rng.integers(0, 2, n).astype(dtype))
    cols.append((rng.random(n) < 0.5).astype(dtype))
    names = [f"x{j}" for j in range(k)]
    return names, names + ["t", "y"], cols


# Binning: 2,000,000 rows x 8 tied features in 254 bins take seconds before the first tree. Growth: one
# tree of depth 24 on 1,000,000 rows with leaves of one row takes seconds as well, and a fit
# without per-node checks would only look between trees. Routing: 1,000,000 rows through 1024
# trees of depth 10 take seconds on two threads.
@pytest.mark.parametrize(
    "phase, door, n_thread",
    [("bin", "module", 1), ("bin", "door", 2), ("grow", "module", 2), ("grow", "door", 1), ("route", "module", 2)],
)
def test_ctrl_c_stops_a_long_phase_soon_and_keeps_the_model(phase, door, n_thread):
    if phase == "bin":
        names, headers, cols = _table(2_000_000, 8, dtype=np.float32, tied=True)
        conf = dict(n_tree=1, max_depth=1, max_features=1, n_bin=254)
    elif phase == "grow":
        names, headers, cols = _table(1_000_000, 10)
        conf = dict(n_tree=1, max_depth=24, max_features=10, min_samples_leaf=1, min_samples_treatment=0, n_bin=254)
    else:
        names, headers, cols = _table(5000, 2)
        conf = dict(n_tree=1024, max_depth=10, min_samples_leaf=1, min_samples_treatment=0)
    conf.update(feature=names, treatment=["t"], y="y", seed=1, n_thread=n_thread)
    model = quorvelin.CausalModel("RandomForestClassifier", conf)
    if phase == "grow":
        # Fitted once on a slice: the interrupted fit reuses the bins and spends its time growing.
        quorvelin._fit_columns(model, headers, [c[:2000] for c in cols])
    elif phase == "route":  # fitted in full: the interrupted call is a predict
        quorvelin._fit_columns(model, headers, cols)
    before = model.__reduce__()
    if phase == "route":
        big = np.tile(np.column_stack(cols), (200, 1))
        assert _latency(lambda: model.predict(headers, big)) < 1.0
    elif door == "module":
        arr = np.column_stack(cols)
        assert _latency(lambda: model.fit(headers, arr)) < 1.0
    else:
        assert _latency(lambda: quorvelin._fit_columns(model, headers, cols)) < 1.0
    assert model.__reduce__() == before

