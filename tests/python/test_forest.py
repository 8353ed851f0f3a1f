"""Forest behaviour as callers see it: reproducibility, repeated fits, stops that leave the model
as it was, pickling, the opt-in split criteria and honest estimation."""

import copy
import json
import pickle
import random

import numpy as np
import pytest

import quorvelin
from quorvelin_tools import UpliftRandomForestClassifier, UpliftRandomForestRegressor, make_uplift_classification
from quorvelin_tools.modelfile import parse_model_text, split_model_text

from conftest import HEADERS, KINDS, TRAIN_CONF, fit, make_rows, state

CRITERIA = ["KL", "ED", "Chi", "CTS", "DDP"]


def stop_message(call, *args):
    with pytest.raises(quorvelin.ModelError) as info:
        call(*args)
    return str(info.value)


def predictions(model, rows):
    # repr tells NaN apart from a number and -0.0 from 0.0
    return repr(model.predict(HEADERS, rows))


@pytest.mark.parametrize("name", KINDS)
def test_refits_and_copies_give_the_same_forest(name):
    rows = make_rows(400, groups=3)  # the regressor leaves some group-2 means NaN
    once = fit(name, rows, n_tree=5, cat=["b"])
    want = predictions(once, rows)
    twice = fit(name, rows, n_tree=5, cat=["b"])
    twice.fit(HEADERS, rows)  # a second fit replaces the trees
    assert len(split_model_text(state(twice)).trees) == 5 and predictions(twice, rows) == want
    # The text does not record the kind; the object does.
    for clone in (pickle.loads(pickle.dumps(once, protocol=2)), pickle.loads(pickle.dumps(once, protocol=pickle.HIGHEST_PROTOCOL)),
                  copy.deepcopy(once)):
        assert type(clone) is quorvelin.CausalModel and predictions(clone, rows) == want


@pytest.mark.parametrize("name", KINDS)
def test_untrained_and_binned_models_pickle_and_train_like_the_original(name):
    rows = make_rows()
    original = quorvelin.CausalModel(name, TRAIN_CONF)
    fresh = pickle.loads(pickle.dumps(original))
    with pytest.raises(quorvelin.ModelError, match="no trees"):
        original.predict(HEADERS, rows)  # fits the bins, then stops: no trees yet
    binned = pickle.loads(pickle.dumps(original))
    for model in (original, fresh, binned):
        model.fit(HEADERS, make_rows(seed=9))
    assert predictions(fresh, rows) == predictions(original, rows) == predictions(binned, rows)


@pytest.mark.parametrize(
    "name, conf, call, rows, words",
    [
        ("RandomForestClassifier", {"max_features": 0}, "fit", make_rows(), "max_features"),
        ("RandomForestClassifier", {"feature": ["a", "b", "a"]}, "fit", make_rows(),
         "feature column a is listed more than once"),
        ("RandomForestClassifier", {}, "predict", make_rows(5), "no trees"),
        ("RandomForestRegressor", {}, "fit", [r[:2] + [0.0] + r[3:] for r in make_rows(100)], "only the control group"),
    ],
)
def test_stops_name_their_cause(name, conf, call, rows, words):
    model = quorvelin.CausalModel(name, dict(TRAIN_CONF, **conf))
    assert words in stop_message(getattr(model, call), HEADERS, rows)


def test_unpicklable_feature_name_and_zero_row_predict_stop(trained):
    with pytest.raises(quorvelin.ModelError):
        pickle.dumps(quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, feature=["a\nb"])))
    assert trained.predict(["a", "b"], []) == []
    # a treatment column without rows has no largest value: that stops
    assert "no rows" in stop_message(trained.predict, HEADERS, [])


@pytest.mark.parametrize("trained_first", [False, True])
@pytest.mark.parametrize("call", ["fit", "predict"])
@pytest.mark.parametrize("threads", [1, 2])
def test_a_stopped_call_leaves_the_model_as_it_was(call, trained_first, threads, new_model):
    model = new_model(n_thread=threads)
    if trained_first:
        model.fit(["a", "t", "y", "b"], [[r[0], r[2], r[3], r[1]] for r in make_rows(300)])
    before = state(model)
    # A table over a different range: a stop after binning must not keep its bins.
    wide = [[r[0] * 100, r[1] * 7, r[2], r[3]] for r in make_rows(300, seed=9)]
    if call == "fit":  # a missing outcome and one outside 0/1, found after the features are binned
        tables = [wide[:-1] + [wide[-1][:3] + [bad]] for bad in (None, 2.0)]
    else:  # a missing treatment; a fresh model stops for want of trees
        tables = [wide[:-1] + [wide[-1][:2] + [None, 0.0]]] if trained_first else [wide]
    for table in tables:
        stop_message(getattr(model, call), HEADERS, table)
        assert state(model) == before


def test_no_split_sends_all_weight_to_one_child_without_minimums():
    # Without the rule, rounding in the shrunk rates gives thousands of such splits here.
    model = fit(rows=make_rows(2000, seed=1), min_samples_leaf=0, min_samples_treatment=0, max_depth=200,
                normalization=False)
    for tree in parse_model_text(state(model)).trees:
        for record in tree["split"]:
            assert sum(row[1] for row in record["summary"]) > 0, "a node without weight was grown"


# ---------------------------------------------------------------------------------------------
# Opt-in split criteria and honest estimation


def three_group_rows(n=600, seed=3, binary=True):
    """(a, b, t, y) with groups 0, 1, 2; group 2's effect depends on b, group 1's on a."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        a, b, t = rng.random(), float(rng.randint(0, 4)), rng.randint(0, 2)
        effect = 0.4 * a if t == 1 else (0.15 * b if t == 2 else 0.0)
        y = (1.0 if rng.random() < 0.2 + effect else 0.0) if binary else 3.0 * effect + rng.gauss(0.0, 0.3)
        rows.append([a, b, t, y])
    return rows


# Each setting with the kind it applies to (None: both).
SETTINGS = [("RandomForestClassifier", {"evaluation_function": c}) for c in CRITERIA] + [
    (None, {"honesty": True, "estimation_sample_size": 0.4}), ("RandomForestRegressor", {"regression_criterion": "all_arms"})]


@pytest.mark.parametrize("name", KINDS)
def test_each_opt_in_setting_trains_its_own_reproducible_forest_and_reloads(name):
    rows = three_group_rows(binary=name == "RandomForestClassifier")
    seen = set()
    for conf in [conf for kind, conf in SETTINGS if kind in (None, name)] + [{}]:
        model = fit(name, rows, n_tree=4, min_samples_leaf=20, **conf)
        pred = predictions(model, rows)
        assert pred == predictions(fit(name, rows, n_tree=4, min_samples_leaf=20, **conf), rows)
        assert predictions(pickle.loads(pickle.dumps(model)), rows) == pred
        seen.add(pred)
        line = state(model).split("\n", 1)[0]
        # Default settings write none of the new keys; the KL criterion is the default.
        written = {k: v for k, v in conf.items() if conf.get("evaluation_function") != "KL"}
        assert all(f'"{k}":{json.dumps(v)}' in line for k, v in written.items())
        if not written:
            assert not any(k in line for k in ("evaluation_function", "regression_criterion", "honesty", "estimation_"))
    assert len(seen) == (len(CRITERIA) + 1 if name == "RandomForestClassifier" else 3)  # KL is the default


@pytest.mark.parametrize(
    "conf, fragment",
    [
        ({"evaluation_function": "kl"}, "evaluation_function 'kl' is not one of"),
        ({"regression_criterion": "every_arm"}, "regression_criterion 'every_arm' is not one of"),
        ({"estimation_sample_size": 1.0}, "estimation_sample_size 1 is not strictly between 0 and 1"),
    ],
)
def test_unknown_settings_stop_construction(conf, fragment):
    with pytest.raises(quorvelin.ModelError, match=fragment):
        quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, **conf))


def test_estimators_pass_the_settings_through():
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
