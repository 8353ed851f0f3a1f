import random

import pytest

import quorvelin

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


def make_rows(n=120, seed=0):
    """Rows of (a, b, t, y) with a binary outcome whose rate depends on a and on the treatment."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        a = rng.random()
        b = float(rng.randint(0, 4))
        t = rng.randint(0, 1)
        p = 0.2 + (0.5 * a if t else 0.0)
        rows.append([a, b, t, 1.0 if rng.random() < p else 0.0])
    return rows


@pytest.fixture
def rows():
    return make_rows()


@pytest.fixture
def new_model():
    def make(name="RandomForestClassifier", **overrides):
        conf = dict(TRAIN_CONF)
        conf.update(overrides)
        return quorvelin.CausalModel(name, conf)

    return make


@pytest.fixture
def trained(new_model, rows):
    model = new_model()
    model.fit(HEADERS, rows)
    return model


@pytest.fixture(scope="session")
def model_error():
    """The exception type of stops."""
    return quorvelin.ModelError
