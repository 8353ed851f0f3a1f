import os
import random
import signal
import struct
import sys

import pytest

import quorvelin

# The pure-Python companion package is used straight from the checkout.
PYTHON_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python"))
if PYTHON_DIR not in sys.path:
    sys.path.insert(0, PYTHON_DIR)

KINDS = ["RandomForestClassifier", "RandomForestRegressor"]
# Small enough to train in milliseconds, loose enough that trees actually split.
TRAIN_CONF = {
    "feature": ["a", "b"],
    "treatment": ["t"],
    "y": "y",
    "n_tree": 3,
    "seed": 1,
    "min_samples_leaf": 1,
    "min_samples_treatment": 0,
}
HEADERS = ["a", "b", "t", "y"]


def make_rows(n=120, seed=0, groups=2):
    """Rows of (a, b, t, y) with a binary outcome whose rate depends on a and on the treatment."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        a = rng.random()
        b = float(rng.randint(0, 4))
        t = rng.randint(0, 1)
        p = 0.2 + (0.5 * a if t else 0.0)
        rows.append([a, b, float(i % groups) if groups > 2 else t, 1.0 if rng.random() < p else 0.0])
    return rows


def f32(x):
    """x rounded to 32 bits, as the engine reads table values and stores results."""
    return struct.unpack("f", struct.pack("f", x))[0]


def fit(name="RandomForestClassifier", rows=None, **conf):
    model = quorvelin.CausalModel(name, dict(TRAIN_CONF, **conf))
    model.fit(HEADERS, make_rows() if rows is None else rows)
    return model


def as_rows(matrix):
    """A 2-D array as the module's rows: lists of floats, None for NaN (a missing cell)."""
    return [[None if v != v else v for v in row] for row in matrix.tolist()]


def state(model):
    """The model's text, as pickling carries it."""
    return model.__reduce__()[2]


def child_env():
    """The environment for a child interpreter that must import what this one imports."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


@pytest.fixture
def rows():
    return make_rows()


@pytest.fixture
def new_model():
    def make(name="RandomForestClassifier", **overrides):
        return quorvelin.CausalModel(name, dict(TRAIN_CONF, **overrides))

    return make


@pytest.fixture
def trained():
    return fit()


@pytest.fixture
def ctrl_c_raises():
    # A test run started in the background inherits SIGINT ignored, and Python then installs no
    # handler of its own: Ctrl-C tests put the default one in place for their duration.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)
