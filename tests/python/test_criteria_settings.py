"""The opt-in split criteria and honest estimation, as the module and the estimators see them."""

import os
import random
import sys

import numpy as np
import pytest

import quorvelin

from conftest import HEADERS, TRAIN_CONF, make_rows

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

from quorvelin_tools import (  # noqa: E402
    UpliftRandomForestClassifier,
    UpliftRandomForestRegressor,
    make_uplift_classification,
)

CRITERIA = ["KL", "ED", "Chi", "CTS", "DDP"]


def three_group_rows(n=600, seed=3, binary=True):
    """(a, b, t, y) with groups 0, 1, 2; group 2's effect depends on b, group 1's on a."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        a, b, t = rng.random(), float(rng.randint(0, 4)), rng.randint(0, 2)
        effect = 0.4 * a if t == 1 else (0.15 * b if t == 2 else 0.0)
        if binary:
            y = 1.0 if rng.random() < 0.2 + effect else 0.0
        else:
            y = 3.0 * effect + rng.gauss(0.0, 0.3)
        rows.append([a, b, t, y])
    return rows


def fitted(name, rows, **conf):
    model = quorvelin.CausalModel(name, {**TRAIN_CONF, "n_tree": 4, "min_samples_leaf": 20, **conf})
    model.fit(HEADERS, rows)
    return model


def config_line(model, tmp_path):
    path = tmp_path / "m.txt"
    model.save(str(path))
    return path.read_text(encoding="utf-8").split("\n", 1)[0]


@pytest.mark.parametrize("criterion", CRITERIA)
def test_each_criterion_trains_reproducibly_and_reloads(criterion, tmp_path):
    rows = three_group_rows()
    a = fitted("RandomForestClassifier", rows, evaluation_function=criterion)
    b = fitted("RandomForestClassifier", rows, evaluation_function=criterion)
    pred = a.predict(HEADERS, rows)
    assert repr(pred) == repr(b.predict(HEADERS, rows))
    assert all(len(p) == 2 and all(v == v for v in p) for p in pred)
    line = config_line(a, tmp_path)
    assert ('"evaluation_function"' in line) == (criterion != "KL")
    back = a.load("RandomForestClassifier", str(tmp_path / "m.txt"))
    assert repr(back.predict(HEADERS, rows)) == repr(pred)


def test_criteria_choose_different_forests():
    rows = three_group_rows()
    preds = {c: repr(fitted("RandomForestClassifier", rows, evaluation_function=c).predict(HEADERS, rows))
             for c in CRITERIA}
    assert len(set(preds.values())) == len(CRITERIA)


@pytest.mark.parametrize(
    "conf, fragment",
    [
        ({"evaluation_function": "kl"}, "evaluation_function 'kl' is not one of"),
        ({"regression_criterion": "every_arm"}, "regression_criterion 'every_arm' is not one of"),
        ({"estimation_sample_size": 1.0}, "estimation_sample_size 1 is not strictly between 0 and 1"),
    ],
)
def test_unknown_settings_stop_construction(conf, fragment, model_error):
    with pytest.raises(model_error, match=fragment):
        quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, **conf))


def test_all_arms_regressor_honours_min_samples_leaf():
    rows = three_group_rows(binary=False)
    # A leaf minimum above half the rows admits no split: one prediction for every row.
    big = fitted("RandomForestRegressor", rows, regression_criterion="all_arms", min_samples_leaf=len(rows))
    assert len({tuple(p) for p in big.predict(HEADERS, rows)}) == 1
    # The specified regressor ignores the minimum and splits anyway.
    first = fitted("RandomForestRegressor", rows, min_samples_leaf=len(rows))
    assert len({tuple(p) for p in first.predict(HEADERS, rows)}) > 1


def test_all_arms_regressor_finds_the_second_groups_effect():
    # Only group 2 has an effect (through b); the specified regressor sees groups 0 and 1 only.
    rng = random.Random(5)
    rows = []
    for _ in range(900):
        a, b, t = rng.random(), float(rng.randint(0, 4)), rng.randint(0, 2)
        rows.append([a, b, t, (2.0 * (b >= 2) if t == 2 else 0.0) + rng.gauss(0.0, 0.2)])

    def group2_spread(**conf):
        # No imbalance penalty, so the effect alone drives the splits.
        model = fitted("RandomForestRegressor", rows, max_features=2, alpha=0.0, **conf)
        lo = [p[1] for p, r in zip(model.predict(HEADERS, rows), rows) if r[1] < 2]
        hi = [p[1] for p, r in zip(model.predict(HEADERS, rows), rows) if r[1] >= 2]
        return np.mean(hi) - np.mean(lo)

    assert group2_spread(regression_criterion="all_arms") > 1.8  # the true spread is 2
    assert group2_spread(regression_criterion="all_arms") > group2_spread() + 0.5


@pytest.mark.parametrize("name", ["RandomForestClassifier", "RandomForestRegressor"])
def test_honesty_changes_the_leaves_and_reloads(name, tmp_path):
    rows = three_group_rows(binary=name == "RandomForestClassifier")
    plain = fitted(name, rows)
    honest = fitted(name, rows, honesty=True, estimation_sample_size=0.4)
    again = fitted(name, rows, honesty=True, estimation_sample_size=0.4)
    pred = honest.predict(HEADERS, rows)
    assert repr(pred) == repr(again.predict(HEADERS, rows))
    assert repr(pred) != repr(plain.predict(HEADERS, rows))
    line = config_line(honest, tmp_path)
    assert '"honesty":true,"estimation_sample_size":0.4}' in line
    back = honest.load(name, str(tmp_path / "m.txt"))
    assert repr(back.predict(HEADERS, rows)) == repr(pred)


def test_default_settings_write_none_of_the_new_keys(tmp_path):
    line = config_line(fitted("RandomForestClassifier", make_rows(200)), tmp_path)
    for key in ("evaluation_function", "regression_criterion", "honesty", "estimation_sample_size"):
        assert key not in line


def test_estimators_pass_the_settings_through(tmp_path):
    data = make_uplift_classification(n_rows=1500, n_treatments=2, seed=1)
    common = dict(n_estimators=3, max_depth=4, min_samples_leaf=30, random_state=3)
    plain = UpliftRandomForestClassifier(**common).fit(data.X, data.y, data.treatment)
    chi = UpliftRandomForestClassifier(evaluationFunction="Chi", honesty=True, **common)
    chi.fit(data.X, data.y, data.treatment)
    assert chi.get_params()["evaluationFunction"] == "Chi"
    assert not np.array_equal(plain.predict(data.X), chi.predict(data.X))
    text = chi.model_text().split("\n", 1)[0]
    assert '"evaluation_function":"Chi"' in text and '"honesty":true' in text
    reg = UpliftRandomForestRegressor(regression_criterion="all_arms", **common)
    assert reg._conf(["a"], [], "t", "y", None)["regression_criterion"] == "all_arms"
    with pytest.raises(Exception, match="evaluation_function 'XX'"):
        UpliftRandomForestClassifier(evaluationFunction="XX", **common).fit(data.X, data.y, data.treatment)
