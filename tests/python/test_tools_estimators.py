"""The scikit-learn style estimators over the extension module."""

import json
import os
import sys
import warnings

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

quorvelin = pytest.importorskip("quorvelin", reason="the quorvelin extension module is not importable")

from quorvelin_tools import (  # noqa: E402
    QuorvelinError,
    UpliftRandomForestClassifier,
    UpliftRandomForestRegressor,
    load_estimator,
    make_uplift_classification,
    make_uplift_regression,
    parse_model_text,
)

KINDS = [
    (UpliftRandomForestClassifier, "RandomForestClassifier", make_uplift_classification),
    (UpliftRandomForestRegressor, "RandomForestRegressor", make_uplift_regression),
]
SMALL = dict(n_estimators=4, max_depth=4, min_samples_leaf=30, random_state=7, n_jobs=1)


def _rows(matrix):
    return [[None if v != v else v for v in row] for row in matrix.tolist()]


def _raw_predict(model_name, X, names, cats, treatment, y, weight=None, **conf):
    """Trains the raw module on the same table and predicts X."""
    headers = list(names) + ["t", "y"]
    cols = [X, treatment[:, None].astype(float), np.asarray(y, float)[:, None]]
    if weight is not None:
        headers.append("w")
        cols.append(np.asarray(weight, float)[:, None])
        conf["weight"] = "w"
    base = {"feature": list(names), "cat": list(cats), "treatment": ["t"], "y": "y"}
    base.update(conf)
    m = quorvelin.CausalModel(model_name, base)
    m.fit(headers, _rows(np.hstack(cols)))
    return np.asarray(m.predict(list(names), _rows(X)))


def _raw_conf():
    return dict(n_tree=4, max_depth=4, min_samples_leaf=30, seed=7, n_thread=1, seed_per_tree=True)


@pytest.fixture(scope="module", params=KINDS, ids=["classifier", "regressor"])
def kind(request):
    return request.param


@pytest.fixture(scope="module")
def data(kind):
    # The regression forest splits on control vs the first group only, so with more
    # groups its leaves can lack rows of the others (see test_regressor_nan_leaves_warn).
    n_treatments = 2 if kind[0] is UpliftRandomForestClassifier else 1
    return kind[2](n_rows=3000, n_treatments=n_treatments, missing_fraction=0.1, seed=3)


def test_same_predictions_as_raw_module(kind, data):
    cls, name, _ = kind
    est = cls(categorical_features=data.categorical_features, **SMALL)
    # categorical_features by name needs a DataFrame; with an array use indices
    est.set_params(categorical_features=data.categorical_indices)
    got = est.fit(data.X, data.y, data.treatment).predict(data.X)
    names = [f"x{j}" for j in range(data.X.shape[1])]
    cats = [names[j] for j in data.categorical_indices]
    want = _raw_predict(name, data.X, names, cats, data.treatment, data.y, **_raw_conf())
    assert got.shape == (data.n_rows, data.n_treatments)
    np.testing.assert_array_equal(got, want)


def test_treatment_labels_are_mapped_control_first(kind, data):
    cls, name, _ = kind
    names_by_code = ["ctl", "b_offer", "a_offer"][: data.n_treatments + 1]
    labels = np.array(names_by_code, dtype=object)[data.treatment]
    est = cls(control_name="ctl", categorical_features=data.categorical_indices, **SMALL)
    got = est.fit(data.X, data.y, labels).predict(data.X)
    assert list(est.classes_) == ["ctl"] + sorted(names_by_code[1:])
    # sorted labels: a_offer (group 2 in the data) becomes code 1, b_offer code 2
    remapped = np.array([0, 2, 1] if data.n_treatments == 2 else [0, 1])[data.treatment]
    names = [f"x{j}" for j in range(data.X.shape[1])]
    cats = [names[j] for j in data.categorical_indices]
    want = _raw_predict(name, data.X, names, cats, remapped, data.y, **_raw_conf())
    np.testing.assert_array_equal(got, want)


def test_nan_is_missing_not_an_error(kind, data):
    cls, name, _ = kind
    X = data.X.copy()
    X[:, 2] = np.nan  # an all-missing column is allowed
    est = cls(categorical_features=data.categorical_indices, **SMALL).fit(X, data.y, data.treatment)
    pred = est.predict(X)
    names = [f"x{j}" for j in range(X.shape[1])]
    cats = [names[j] for j in data.categorical_indices]
    want = _raw_predict(name, X, names, cats, data.treatment, data.y, **_raw_conf())
    assert np.isfinite(pred).all()
    np.testing.assert_array_equal(pred, want)
    # A row that is missing everywhere still gets an estimate (it goes right at every split).
    blank = np.full((1, X.shape[1]), np.nan)
    assert np.isfinite(est.predict(blank)).all()


def test_sample_weight_matches_raw_weight_column(kind, data):
    cls, name, _ = kind
    w = np.random.default_rng(0).uniform(0.2, 3.0, data.n_rows)
    est = cls(categorical_features=data.categorical_indices, **SMALL)
    got = est.fit(data.X, data.y, data.treatment, sample_weight=w).predict(data.X)
    names = [f"x{j}" for j in range(data.X.shape[1])]
    cats = [names[j] for j in data.categorical_indices]
    want = _raw_predict(name, data.X, names, cats, data.treatment, data.y, weight=w, **_raw_conf())
    np.testing.assert_array_equal(got, want)
    unweighted = cls(categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, data.treatment)
    assert not np.array_equal(unweighted.predict(data.X), got)


def test_save_load_round_trip(kind, data, tmp_path):
    cls, name, _ = kind
    est = cls(control_name="c", categorical_features=data.categorical_indices, **SMALL)
    names_by_code = ["c", "t1", "t2"][: data.n_treatments + 1]
    labels = np.array(names_by_code, dtype=object)[data.treatment]
    pred = est.fit(data.X, data.y, labels).predict(data.X)
    path = tmp_path / "m.qvl"
    est.save(path)
    assert sorted(os.listdir(tmp_path)) == ["m.qvl"]  # one file holds everything
    header, _, text = path.read_text().partition("\n")
    assert json.loads(header.split(" ", 1)[1])["classes"] == names_by_code
    assert text == est.model_text()  # the engine's model text, unchanged
    back = cls.load(path)
    assert type(back) is cls
    assert list(back.classes_) == names_by_code
    assert back.get_params() == est.get_params()
    np.testing.assert_array_equal(back.predict(data.X), pred)
    np.testing.assert_allclose(back.feature_importances_, est.feature_importances_)
    # The exported model file is a plain model file of the module.
    est.export_model(tmp_path / "plain.model")
    raw = quorvelin.CausalModel(name, {}).load(name, str(tmp_path / "plain.model"))
    np.testing.assert_array_equal(np.asarray(raw.predict(est.feature_names_, _rows(data.X))), pred)


def test_text_categories_survive_a_copy_of_the_saved_file_alone(tmp_path):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(2)
    n = 1500
    X = pd.DataFrame({"city": rng.choice(["lyon", "nice", "paris"], n), "age": rng.normal(40, 9, n)})
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.2 + 0.3 * t * (X["city"] == "nice")).astype(int)
    est = UpliftRandomForestClassifier(**SMALL).fit(X, y, t)
    est.save(tmp_path / "m.qvl")
    os.makedirs(tmp_path / "elsewhere")
    os.replace(tmp_path / "m.qvl", tmp_path / "elsewhere" / "copy.qvl")
    back = load_estimator(tmp_path / "elsewhere" / "copy.qvl")
    np.testing.assert_array_equal(back.predict(X), est.predict(X))


def test_bare_model_file_needs_kind_and_old_sidecar_still_loads(kind, data, tmp_path):
    cls, name, _ = kind
    est = cls(categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, data.treatment)
    path = tmp_path / "m.model"
    est.export_model(path)
    with pytest.raises(ValueError, match="kind"):
        load_estimator(path)
    back = load_estimator(path, kind=name)
    assert type(back) is cls
    assert list(back.classes_) == list(range(data.n_treatments + 1))
    np.testing.assert_array_equal(back.predict(data.X), est.predict(data.X))
    # Saves of earlier releases: a model file plus <path>.meta.json.
    meta = dict(est._header(), format="quorvelin-tools-estimator", version=1)
    (tmp_path / "m.model.meta.json").write_text(json.dumps(meta))
    old = load_estimator(path)
    assert old.get_params() == est.get_params()
    np.testing.assert_array_equal(old.predict(data.X), est.predict(data.X))


def test_loading_garbage_is_a_quorvelin_error(tmp_path):
    path = tmp_path / "bad.qvl"
    path.write_text("not a model\n\n")
    with pytest.raises(QuorvelinError):
        load_estimator(path, kind="RandomForestClassifier")
    with pytest.raises(FileNotFoundError):
        load_estimator(tmp_path / "missing.qvl", kind="RandomForestClassifier")


def test_feature_importances_from_model_text(kind, data, tmp_path):
    cls, _, _ = kind
    est = cls(categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, data.treatment)
    imp = est.feature_importances_
    assert imp.shape == (data.X.shape[1],)
    assert imp.sum() == pytest.approx(1.0)
    assert (imp >= 0).all()
    path = tmp_path / "m.qvl"
    est.export_model(path)
    text = path.read_text()
    # Independent reading: sum gain_importance of split nodes per feature_id.
    parts = text.split("\n\n")
    n_feat = len(json.loads(parts[0])["feature_cols"])
    total = np.zeros(n_feat)
    for section in parts[1 + n_feat : 1 + n_feat + SMALL["n_estimators"]]:
        tree = json.loads(section.split("\n")[1])
        for s in tree["split"]:
            if s is not None and s["value"] is not None:
                total[s["feature_id"]] += s["gain_importance"]
    np.testing.assert_allclose(imp, total / total.sum(), rtol=1e-12)


def test_same_model_text_as_parse(kind, data):
    cls, _, _ = kind
    est = cls(categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, data.treatment)
    mf = parse_model_text(est.model_text())
    assert len(mf.trees) == SMALL["n_estimators"]
    assert mf.n_groups == data.n_treatments + 1
    assert mf.config["seed"] == 7
    assert sorted(mf.discrete_bins) == sorted(est.categorical_features_)
    assert sorted(mf.continuous_bins) == sorted(set(est.feature_names_) - set(est.categorical_features_))


def test_dataframe_input(kind, data):
    pytest.importorskip("pandas")
    cls, _, _ = kind
    frame = data.to_frame()
    X = frame[data.feature_names]
    est = cls(**SMALL).fit(X, frame["y"], frame["treatment"])
    assert est.categorical_features_ == data.categorical_features  # from the category dtype
    assert list(est.feature_names_in_) == data.feature_names
    pred = est.predict(X)
    # Column order does not matter at predict time; extra columns are ignored.
    shuffled = frame[list(reversed(data.feature_names))].assign(extra=1.0)
    np.testing.assert_array_equal(est.predict(shuffled), pred)
    # The codes of the category dtype are the training codes: same as the array path.
    arr = cls(categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, data.treatment)
    np.testing.assert_array_equal(arr.predict(data.X), pred)
    with pytest.raises(ValueError, match="x0"):
        est.predict(X.drop(columns=["x0"]))


def test_dataframe_text_categories_and_unseen_values(kind):
    pd = pytest.importorskip("pandas")
    cls, _, _ = kind
    rng = np.random.default_rng(1)
    n = 2000
    city = rng.choice(["paris", "lyon", "nice"], n).astype(object)
    city[rng.random(n) < 0.05] = None
    X = pd.DataFrame({"age": rng.normal(40, 10, n), "city": city})
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.3 + 0.2 * t * (city == "paris")).astype(int)
    if cls is UpliftRandomForestRegressor:
        y = y + rng.normal(size=n)
    est = cls(**SMALL).fit(X, y, t)
    assert est.categorical_features_ == ["city"]
    new = pd.DataFrame({"age": [30.0, 30.0, np.nan], "city": ["paris", "marseille", None]})
    pred = est.predict(new)
    assert pred.shape == (3, 1) and np.isfinite(pred).all()
    # Values are encoded in sorted category order, so a plain array of the same codes
    # declared categorical trains the same forest.
    codes = np.array([{"lyon": 0, "nice": 1, "paris": 2}.get(v, np.nan) for v in city], dtype=float)
    arr = cls(categorical_features=[1], **SMALL).fit(np.column_stack([X["age"], codes]), y, t)
    np.testing.assert_array_equal(arr.predict(np.column_stack([X["age"], codes])), est.predict(X))


def test_mapping_of_columns_input(kind, data):
    cls, _, _ = kind
    cols = {n: data.X[:, j] for j, n in enumerate(data.feature_names)}
    est = cls(categorical_features=data.categorical_features, **SMALL).fit(cols, data.y, data.treatment)
    arr = cls(categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, data.treatment)
    np.testing.assert_array_equal(est.predict(cols), arr.predict(data.X))


def test_params_round_trip_and_errors():
    est = UpliftRandomForestClassifier(n_estimators=7, control_name="c")
    params = est.get_params()
    assert params["n_estimators"] == 7 and params["control_name"] == "c"
    assert set(params) >= {
        "n_estimators", "max_depth", "min_samples_leaf", "min_samples_treatment", "n_reg",
        "max_features", "n_bins", "alpha", "normalization", "subsample", "random_state",
        "n_jobs", "control_name", "categorical_features",
    }
    clone = UpliftRandomForestClassifier(**params)
    assert clone.get_params() == params
    assert est.set_params(max_depth=3) is est and est.max_depth == 3
    with pytest.raises(ValueError, match="(?i)invalid parameter"):
        est.set_params(n_trees=3)
    assert "n_estimators=7" in repr(est)


@pytest.mark.parametrize(
    "params, treatment, y, message",
    [
        ({}, [0, 1, 0, 1], [0, 2, 1, 0], "0 and 1"),
        ({}, [1, 2, 1, 2], [0, 1, 1, 0], "control_name"),
        ({}, [0, 0, 0, 0], [0, 1, 1, 0], "only the control"),
        ({}, [0, 1, np.nan, 1], [0, 1, 1, 0], "missing"),
        ({}, [0, 1, 0, 1], [0, np.nan, 1, 0], "missing"),
        ({}, [0, 1, 0], [0, 1, 1, 0], "3 values"),
        ({"n_bins": 255}, [0, 1, 0, 1], [0, 1, 1, 0], "n_bins"),
        ({"n_jobs": 0}, [0, 1, 0, 1], [0, 1, 1, 0], "n_jobs"),
        ({"random_state": -1}, [0, 1, 0, 1], [0, 1, 1, 0], "random_state"),
        ({"n_estimators": 2.5}, [0, 1, 0, 1], [0, 1, 1, 0], "n_estimators"),
    ],
)
def test_fit_input_errors(params, treatment, y, message):
    X = np.arange(8.0).reshape(4, 2)
    with pytest.raises(ValueError, match=message):
        UpliftRandomForestClassifier(**params).fit(X, y=np.asarray(y), treatment=np.asarray(treatment))


def test_predict_errors_and_empty_input(kind, data):
    est = kind[0](**SMALL)
    with pytest.raises(ValueError, match="not fitted"):
        est.predict(data.X)
    est.fit(data.X, data.y, data.treatment)
    with pytest.raises(ValueError, match="columns"):
        est.predict(data.X[:, :3])
    assert est.predict(data.X[:0]).shape == (0, data.n_treatments)


@pytest.mark.parametrize("cls, make", [(k[0], k[2]) for k in KINDS])
def test_threads_and_seed_none(cls, make):
    # Several workers and no seed: still a valid model of the right shape.
    d = make(n_rows=2000, n_treatments=1, seed=5)
    est = cls(n_estimators=5, min_samples_leaf=30, n_jobs=2)
    pred = est.fit(d.X, d.y, d.treatment).predict(d.X)
    assert pred.shape == (d.n_rows, 1) and np.isfinite(pred).all()
    assert "seed" not in est._conf_used and est._conf_used["n_thread"] == 2


def test_regressor_leaves_without_a_group_take_an_ancestors_estimate(tmp_path):
    # The regressor splits on control vs the first group only, so a leaf can lack rows of the
    # second group: its estimate comes from the nearest node above that has them, and the
    # model saves without complaint and loads back to the same predictions.
    rng = np.random.default_rng(0)
    n = 400
    x = rng.normal(size=(n, 1))
    t = np.where(x[:, 0] > 0.5, rng.integers(0, 2, n), rng.integers(0, 3, n))
    y = x[:, 0] * (t == 1) * 3 + rng.normal(size=n) * 0.1
    est = UpliftRandomForestRegressor(n_estimators=1, min_samples_leaf=5, random_state=1, subsample=1.0)
    est.fit(x, y, t)
    X = np.array([[2.0], [-2.0]])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pred = est.predict(X)
        est.save(tmp_path / "m.qvl")
    assert np.isfinite(pred).all()
    np.testing.assert_array_equal(UpliftRandomForestRegressor.load(tmp_path / "m.qvl").predict(X), pred)
