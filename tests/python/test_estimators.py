"""The scikit-learn style estimators and the column door under them: the same bits as the public
methods, GIL released, progress, per-tree seeds, inputs, files and outputs (Ctrl-C on the door is
in test_interrupt)."""

import io
import json
import os
import threading
import time

import numpy as np
import pytest

import quorvelin
from conftest import KINDS, as_rows, state

sklearn = pytest.importorskip("sklearn")

from quorvelin_tools import (  # noqa: E402
    QuorvelinError,
    UpliftRandomForestClassifier,
    UpliftRandomForestRegressor,
    load_estimator,
    make_uplift_classification,
    make_uplift_regression,
    make_uplift_scorer,
)
from quorvelin_tools._door import TreeProgress  # noqa: E402
from quorvelin_tools.modelfile import ModelSections, split_model_text  # noqa: E402

ESTIMATORS = [
    (UpliftRandomForestClassifier, "RandomForestClassifier", make_uplift_classification),
    (UpliftRandomForestRegressor, "RandomForestRegressor", make_uplift_regression),
]
SMALL = dict(n_estimators=4, max_depth=4, min_samples_leaf=30, random_state=7, n_jobs=1)


def _raw_predict(name, X, cats, treatment, y, weight=None):
    """Trains the public module on the same table (rows, None for missing) and predicts X."""
    names = [f"x{j}" for j in range(X.shape[1])]
    conf = dict(feature=names, cat=[names[j] for j in cats], treatment=["t"], y="y", n_tree=4, max_depth=4,
                min_samples_leaf=30, seed=7, n_thread=1, seed_per_tree=True)
    cols = [X, treatment[:, None].astype(float), np.asarray(y, float)[:, None]]
    if weight is not None:
        cols.append(np.asarray(weight, float)[:, None])
        conf["weight"] = "w"
    model = quorvelin.CausalModel(name, conf)
    model.fit(names + ["t", "y", "w"][: len(cols) - 1], as_rows(np.hstack(cols)))
    return np.asarray(model.predict(names, as_rows(X)))


@pytest.fixture(scope="module", params=ESTIMATORS, ids=["classifier", "regressor"])
def kind(request):
    return request.param


@pytest.fixture(scope="module")
def data(kind):
    # The regression forest splits on control vs the first group only, so with more groups its
    # leaves can lack rows of the others.
    n_treatments = 2 if kind[0] is UpliftRandomForestClassifier else 1
    return kind[2](n_rows=3000, n_treatments=n_treatments, missing_fraction=0.1, seed=3)


@pytest.fixture(scope="module")
def est(kind, data):
    return kind[0](categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, data.treatment)


@pytest.mark.parametrize("variant", ["plain", "labels", "all-missing-column", "weights"])
def test_same_predictions_as_the_public_module(kind, data, variant):
    cls, name, _ = kind
    X, treatment, labels, weight = data.X, data.treatment, data.treatment, None
    params = dict(SMALL, categorical_features=data.categorical_indices)
    if variant == "labels":
        # Sorted labels after the control: a_offer (group 2 in the data) becomes code 1.
        names_by_code = ["ctl", "b_offer", "a_offer"][: data.n_treatments + 1]
        labels = np.array(names_by_code, dtype=object)[data.treatment]
        treatment = np.array([0, 2, 1] if data.n_treatments == 2 else [0, 1])[data.treatment]
        params["control_name"] = "ctl"
    elif variant == "all-missing-column":
        X = X.copy()
        X[:, 2] = np.nan
    elif variant == "weights":
        weight = np.random.default_rng(0).uniform(0.2, 3.0, data.n_rows)
    fitted = cls(**params).fit(X, data.y, labels, sample_weight=weight)
    got = fitted.predict(X)
    assert got.shape == (data.n_rows, data.n_treatments) and np.isfinite(got).all()
    np.testing.assert_array_equal(got, _raw_predict(name, X, data.categorical_indices, treatment, data.y, weight))
    if variant == "labels":
        assert list(fitted.classes_) == ["ctl"] + sorted(names_by_code[1:])
    if variant == "all-missing-column":  # a row missing everywhere goes right at every split
        assert np.isfinite(fitted.predict(np.full((1, X.shape[1]), np.nan))).all()


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize(
    "layout",
    [lambda col: col, lambda col: col.astype(np.float32), lambda col: np.column_stack([col, col])[:, 0],
     lambda col: np.ascontiguousarray(col[::-1])[::-1]],
    ids=["f64", "f32", "strided", "reversed"],
)
def test_door_gives_the_public_methods_bits(name, layout):
    rng = np.random.default_rng(0)
    n, features = 2000, ["a", "b", "c"]
    a, b = rng.normal(size=n), rng.normal(size=n)
    b[rng.random(n) < 0.1] = np.nan
    c, t = rng.integers(0, 4, n).astype(np.float64), rng.integers(0, 3, n).astype(np.float64)
    y = (rng.random(n) < 0.3 + 0.2 * (a > 0) * (t > 0)).astype(np.float64)
    conf = dict(feature=features, cat=["c"], treatment=["t"], y="y", n_tree=4, seed=5, min_samples_leaf=20,
                max_features=2)
    public, door = quorvelin.CausalModel(name, dict(conf)), quorvelin.CausalModel(name, dict(conf))
    public.fit(features + ["t", "y"], as_rows(np.column_stack([a, b, c, t, y])))
    codes = c.astype(np.int16)  # integer and uint8 columns are read in place too
    quorvelin._fit_columns(door, features + ["t", "y"], [layout(a), layout(b), codes, t.astype(np.uint8), y])
    assert state(door) == state(public)
    out = np.empty((n, 2))
    quorvelin._predict_columns(door, features, [layout(a), layout(b), codes], out)
    np.testing.assert_array_equal(out, np.float32(public.predict(features, as_rows(np.column_stack([a, b, c])))))
    # Bad columns and outputs are refused, and the model stays as it was.
    before = state(door)
    for cols, error in [([a, b, c[:10], t, y], ValueError), ([a, b, np.column_stack([c, c]), t, y], TypeError),
                        ([a, b, c.astype(np.complex128), t, y], TypeError), ([a, b, c, t, "y"], TypeError)]:
        with pytest.raises(error):
            quorvelin._fit_columns(door, features + ["t", "y"], cols)
        assert state(door) == before
    for bad_out in (np.empty((n, 3)), np.empty((n, 2), dtype=np.float32)):
        with pytest.raises((ValueError, TypeError)):
            quorvelin._predict_columns(door, features, [a, b, c], bad_out)


def test_fit_lets_other_python_threads_run_and_reports_progress():
    rng = np.random.default_rng(1)
    names, n = [f"x{j}" for j in range(8)], 100_000
    cols = [rng.normal(size=n) for _ in names] + [rng.integers(0, 2, n) * 1.0, (rng.random(n) < 0.3) * 1.0]
    model = quorvelin.CausalModel("RandomForestClassifier", dict(feature=names, treatment=["t"], y="y", n_tree=30,
                                                                 seed=1, max_depth=8, min_samples_leaf=5))
    ticks, calls, running = [0], [], [True]

    def ticker():
        while running[0]:
            ticks[0] += 1
            time.sleep(0.002)

    th = threading.Thread(target=ticker)
    th.start()
    time.sleep(0.01)
    ticks[0] = 0
    quorvelin._fit_columns(model, names + ["t", "y"], cols, lambda done, total: calls.append((done, total)), 30)
    running[0] = False
    th.join()
    # With the GIL held for the whole call the ticker could not run at all (a loaded machine
    # may still starve it, so ask for a few ticks only).
    assert ticks[0] >= 5
    assert calls and all(total == 30 for _, total in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls) and calls[-1][0] <= 30


def test_progress_lines_have_an_eta_and_wait_for_a_slow_fit():
    now, out = [0.0], io.StringIO()
    p = TreeProgress(100, stream=out, clock=lambda: now[0])
    for now[0], done in [(0.0, 10), (2.5, 25), (3.0, 30), (4.0, 40)]:  # quiet at first, then once a second
        p(done, 100)
    p.finish()
    lines = out.getvalue().splitlines()
    assert lines[:2] == ["quorvelin: 25/100 trees, 2.5 s elapsed, ETA 7.5 s",
                         "quorvelin: 40/100 trees, 4.0 s elapsed, ETA 6.0 s"]
    assert len(lines) == 3 and lines[2].startswith("quorvelin: 100 trees in")


@pytest.mark.parametrize("cls", [UpliftRandomForestClassifier, UpliftRandomForestRegressor])
def test_same_forest_on_any_number_of_threads(cls):
    d = make_uplift_classification(n_rows=3000, n_treatments=2, seed=4)
    texts = []
    for n_jobs in (1, 2, 3, 8):
        est = cls(n_estimators=7, min_samples_leaf=40, random_state=9, n_jobs=n_jobs).fit(d.X, d.y, d.treatment)
        texts.append(est.model_text().replace(f'"n_thread":{n_jobs}', '"n_thread":1'))
    # Per-tree streams (not the engine's default shared one) make the forest independent of them.
    assert texts[1:] == texts[:1] * 3 and '"seed_per_tree":true' in texts[0]
    # Several workers and no seed: still a valid model of the right shape.
    free = cls(n_estimators=5, min_samples_leaf=30, n_jobs=2).fit(d.X, d.y, d.treatment)
    assert np.isfinite(free.predict(d.X)).all() and "seed" not in free._conf_used


# ---------------------------------------------------------------------------------------------
# Files


def test_save_load_export_round_trip(kind, data, tmp_path):
    cls, name, _ = kind
    names_by_code = ["c", "t1", "t2"][: data.n_treatments + 1]
    labels = np.array(names_by_code, dtype=object)[data.treatment]
    est = cls(control_name="c", categorical_features=data.categorical_indices, **SMALL).fit(data.X, data.y, labels)
    pred = est.predict(data.X)
    est.save(tmp_path / "m.qvl")
    assert os.listdir(tmp_path) == ["m.qvl"]  # one file holds everything
    header, _, text = (tmp_path / "m.qvl").read_text().partition("\n")
    assert json.loads(header.split(" ", 1)[1])["classes"] == names_by_code and text == est.model_text()
    os.makedirs(tmp_path / "elsewhere")
    os.replace(tmp_path / "m.qvl", tmp_path / "elsewhere" / "copy.qvl")
    back = cls.load(tmp_path / "elsewhere" / "copy.qvl")
    with pytest.raises(ValueError, match="holds a"):  # the other estimator class refuses it
        next(c for c, _, _ in ESTIMATORS if c is not cls).load(tmp_path / "elsewhere" / "copy.qvl")
    assert type(back) is cls and list(back.classes_) == names_by_code and back.get_params() == est.get_params()
    np.testing.assert_array_equal(back.predict(data.X), pred)
    np.testing.assert_allclose(back.feature_importances_, est.feature_importances_)
    # The exported file is a plain model file of the module; loading it needs the kind.
    est.export_model(tmp_path / "plain.model")
    raw = quorvelin.CausalModel(name, {}).load(name, str(tmp_path / "plain.model"))
    np.testing.assert_array_equal(np.asarray(raw.predict(est.feature_names_, as_rows(data.X))), pred)
    with pytest.raises(ValueError, match="kind"):
        load_estimator(tmp_path / "plain.model")
    bare = load_estimator(tmp_path / "plain.model", kind=name)
    assert list(bare.classes_) == list(range(data.n_treatments + 1))
    np.testing.assert_array_equal(bare.predict(data.X), pred)
    # Saves of earlier releases: a model file plus <path>.meta.json.
    meta = dict(est._header(), format="quorvelin-tools-estimator", version=1)
    (tmp_path / "plain.model.meta.json").write_text(json.dumps(meta))
    old = load_estimator(tmp_path / "plain.model")
    assert old.get_params() == est.get_params()
    np.testing.assert_array_equal(old.predict(data.X), pred)
    (tmp_path / "bad.qvl").write_text("not a model\n\n")
    with pytest.raises(QuorvelinError):
        load_estimator(tmp_path / "bad.qvl", kind=name)


# ---------------------------------------------------------------------------------------------
# Inputs


def test_dataframe_and_mapping_inputs(kind, data, est):
    pytest.importorskip("pandas")
    cls = kind[0]
    frame = data.to_frame()
    X = frame[data.feature_names]
    from_frame = cls(**SMALL).fit(X, frame["y"], frame["treatment"])
    assert from_frame.categorical_features_ == data.categorical_features  # from the category dtype
    assert list(from_frame.feature_names_in_) == data.feature_names
    # The category dtype's codes are the training codes: the same forest as the array path.
    np.testing.assert_array_equal(from_frame.predict(X), est.predict(data.X))
    # Column order does not matter at predict time; extra columns are ignored.
    shuffled = frame[list(reversed(data.feature_names))].assign(extra=1.0)
    np.testing.assert_array_equal(from_frame.predict(shuffled), est.predict(data.X))
    with pytest.raises(ValueError, match="x0"):
        from_frame.predict(X.drop(columns=["x0"]))
    cols = {n: data.X[:, j] for j, n in enumerate(data.feature_names)}
    by_name = cls(categorical_features=data.categorical_features, **SMALL).fit(cols, data.y, data.treatment)
    np.testing.assert_array_equal(by_name.predict(cols), est.predict(data.X))


def test_text_categories_nullable_and_arrow_columns(kind, tmp_path):
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    cls = kind[0]
    rng = np.random.default_rng(1)
    n = 2000
    city = rng.choice(["paris", "lyon", "nice"], n).astype(object)
    city[rng.random(n) < 0.05] = None
    age = rng.normal(40, 10, n)
    age[rng.random(n) < 0.1] = np.nan
    t = rng.integers(0, 2, n)
    y = (rng.random(n) < 0.3 + 0.2 * t * (city == "paris")).astype(int)
    X = pd.DataFrame({"age": age, "city": city})
    est = cls(**SMALL).fit(X, y, t)
    want = est.predict(X)
    assert est.categorical_features_ == ["city"]
    pred = est.predict(pd.DataFrame({"age": [30.0, 30.0, np.nan], "city": ["paris", "marseille", None]}))
    assert pred.shape == (3, 1) and np.isfinite(pred).all()
    est.save(tmp_path / "m.qvl")  # the file alone carries the categories
    np.testing.assert_array_equal(load_estimator(tmp_path / "m.qvl").predict(X), want)
    # Values are encoded in sorted category order, so a plain array of the same codes declared
    # categorical, or a category dtype, trains the same forest.
    codes = np.array([{"lyon": 0, "nice": 1, "paris": 2}.get(v, np.nan) for v in city], dtype=float)
    arr = cls(categorical_features=[1], **SMALL).fit(np.column_stack([age, codes]), y, t)
    np.testing.assert_array_equal(arr.predict(np.column_stack([age, codes])), want)
    category = X.assign(city=X["city"].astype("category"))
    np.testing.assert_array_equal(cls(**SMALL).fit(category, y, t).predict(X), want)
    # Nullable floats, Arrow columns and an Arrow table read as the plain frame does.
    nullable = X.assign(age=pd.array(np.where(np.isnan(age), None, age), dtype="Float64"))
    arrow = X.assign(age=nullable["age"].astype("double[pyarrow]"), city=X["city"].astype("string[pyarrow]"))
    for frame in (nullable, arrow, category, pa.Table.from_pandas(X, preserve_index=False)):
        np.testing.assert_array_equal(est.predict(frame), want)
    # An Arrow table of floats without nulls (read in place) and of dictionary-encoded labels.
    full = category.assign(age=np.nan_to_num(age, nan=40.0))
    np.testing.assert_array_equal(est.predict(pa.Table.from_pandas(full, preserve_index=False)), est.predict(full))
    np.testing.assert_array_equal(cls(**SMALL).fit(arrow, y, t).predict(category), want)


@pytest.mark.parametrize(
    "params, treatment, y, message",
    [
        *[({"sample_weight": [1.0, bad, 1.0, 1.0]}, [0, 1, 0, 1], [0, 1, 1, 0], "sample_weight")
          for bad in (np.inf, np.nan, 1e300)],
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
    params = dict(params)
    weight = params.pop("sample_weight", None)
    with pytest.raises(ValueError, match=message):
        UpliftRandomForestClassifier(**params).fit(np.arange(8.0).reshape(4, 2), y=np.asarray(y),
                                                   treatment=np.asarray(treatment), sample_weight=weight)


@pytest.mark.parametrize(
    "cls, y, treatment",
    [
        (UpliftRandomForestClassifier, np.array(["c", "t", "c", "t"] * 5, dtype=object), np.array([0, 1] * 10)),
        (UpliftRandomForestClassifier, np.array([0, 1, 2, 0] * 5), np.array([0, 1, 1, 0] * 5)),
        (UpliftRandomForestRegressor, np.array([0, 1, 0, 1] * 5), np.linspace(0.5, 3.5, 20)),
    ],
    ids=["labels-as-y", "groups-as-y", "outcomes-as-treatment"],
)
def test_old_argument_order_is_named(cls, y, treatment):
    with pytest.raises(ValueError, match=r"fit takes \(X, y, treatment\)"):
        cls(control_name=0 if y.dtype.kind != "O" else "c").fit(np.arange(40.0).reshape(20, 2), y, treatment)


def test_predict_errors(kind, data, est):
    with pytest.raises(ValueError, match="not fitted"):
        kind[0]().predict(data.X)
    with pytest.raises(ValueError, match="columns"):
        est.predict(data.X[:, :3])
    assert est.predict(data.X[:0]).shape == (0, data.n_treatments)


# ---------------------------------------------------------------------------------------------
# scikit-learn and outputs


def test_clone_pipeline_and_grid_search_with_routed_treatment():
    from sklearn.base import clone
    from sklearn.model_selection import GridSearchCV
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer

    d = make_uplift_classification(n_rows=3000, n_treatments=1, seed=2)
    est = UpliftRandomForestClassifier(n_estimators=4, min_samples_leaf=40, random_state=3)
    assert est.__sklearn_tags__().input_tags.allow_nan
    want = est.fit(d.X, d.y, d.treatment).predict(d.X)
    pipe = make_pipeline(FunctionTransformer(), clone(est))
    pipe.fit(d.X, d.y, upliftrandomforestclassifier__treatment=d.treatment)
    np.testing.assert_array_equal(pipe.predict(d.X), want)
    with sklearn.config_context(enable_metadata_routing=True):
        search = GridSearchCV(clone(est), {"max_depth": [1, 4]}, scoring=make_uplift_scorer("qini"), cv=3)
        search.fit(d.X, d.y, treatment=d.treatment)
        assert np.isfinite(search.cv_results_["mean_test_score"]).all()
        # The scorer sees each fold's own treatment: the fold scores differ from each other.
        assert len(set(search.cv_results_["split0_test_score"]) | set(search.cv_results_["split1_test_score"])) > 1


@pytest.mark.parametrize("cls", [UpliftRandomForestClassifier, UpliftRandomForestRegressor])
def test_full_output_spread_and_recommendation(cls):
    pytest.importorskip("pandas")
    d = make_uplift_classification(n_rows=3000, n_treatments=2, seed=6)
    est = cls(n_estimators=5, min_samples_leaf=40, random_state=1, control_name=0).fit(d.X, d.y, d.treatment)
    uplift, std = est.predict(d.X, return_std=True)
    # Spread against each tree's own estimate, predicted one tree at a time.
    sections = split_model_text(est.model_text())
    config = sections.config.replace(f'"n_tree":{len(sections.trees)},', '"n_tree":1,')
    per_tree = []
    for tree in sections.trees:
        m = quorvelin.CausalModel(est._model_name, {})
        m.__setstate__(ModelSections(config, sections.bins, [tree]).text())
        per_tree.append(np.asarray(m.predict(est.feature_names_, as_rows(d.X))))
    np.testing.assert_allclose(std, np.stack(per_tree).std(axis=0), rtol=1e-5, atol=1e-6)
    frame = est.predict(d.X, full_output=True)
    assert list(frame.columns) == ["0", "1", "2", "recommended_treatment", "delta_1", "delta_2", "max_delta"]
    np.testing.assert_array_equal(frame[["delta_1", "delta_2"]].to_numpy(), uplift)
    # Outcomes come from the leaves' group means: their differences are the uplift.
    np.testing.assert_allclose(frame[["1", "2"]].to_numpy() - frame[["0"]].to_numpy(), uplift, atol=1e-5)
    np.testing.assert_array_equal(frame["max_delta"], uplift.max(axis=1))
    best = np.where(uplift.max(axis=1) > 0, uplift.argmax(axis=1) + 1, 0)
    np.testing.assert_array_equal(frame["recommended_treatment"], best)
    np.testing.assert_array_equal(est.recommend(d.X), best)
    # A cost above every estimated gain leaves everyone in control; per-group costs pick.
    assert (est.recommend(d.X, cost=10.0) == 0).all()
    pick = est.recommend(d.X, value=100.0, cost={1: 0.0, 2: 1e6})
    np.testing.assert_array_equal(pick, np.where(uplift[:, 0] > 0, 1, 0))

