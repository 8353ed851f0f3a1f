"""The column door (same bits as the public methods, GIL released, Ctrl-C, progress) and
what the estimators build on it: per-tree seeds, scikit-learn citizenship, outputs."""

import io
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

quorvelin = pytest.importorskip("quorvelin", reason="the quorvelin extension module is not importable")
sklearn = pytest.importorskip("sklearn")

from quorvelin_tools import (  # noqa: E402
    UpliftRandomForestClassifier,
    UpliftRandomForestRegressor,
    load_estimator,
    make_uplift_classification,
    make_uplift_scorer,
)
from quorvelin_tools._door import TreeProgress  # noqa: E402
from quorvelin_tools.modelfile import ModelSections, split_model_text  # noqa: E402

FEATURES = ["a", "b", "c"]
CONF = dict(feature=FEATURES, cat=["c"], treatment=["t"], y="y", n_tree=4, seed=5, min_samples_leaf=20,
            max_features=2)


def _table(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=n)
    b = rng.normal(size=n)
    b[rng.random(n) < 0.1] = np.nan
    c = rng.integers(0, 4, n).astype(np.float64)
    t = rng.integers(0, 3, n).astype(np.float64)
    y = (rng.random(n) < 0.3 + 0.2 * (a > 0) * (t > 0)).astype(np.float64)
    return a, b, c, t, y


def _rows(*cols):
    return [[None if v != v else v for v in row] for row in np.column_stack(cols).tolist()]


def _state(model):
    return model.__reduce__()[2]


@pytest.mark.parametrize("name", ["RandomForestClassifier", "RandomForestRegressor"])
@pytest.mark.parametrize(
    "layout",
    [
        lambda col: col,  # float64, contiguous
        lambda col: col.astype(np.float32),
        lambda col: np.column_stack([col, col])[:, 0],  # strided view
        lambda col: np.ascontiguousarray(col[::-1])[::-1],  # negative stride
    ],
    ids=["f64", "f32", "strided", "reversed"],
)
def test_door_gives_the_public_methods_bits(name, layout):
    a, b, c, t, y = _table()
    public = quorvelin.CausalModel(name, dict(CONF))
    public.fit(FEATURES + ["t", "y"], _rows(a, b, c, t, y))
    door = quorvelin.CausalModel(name, dict(CONF))
    int_codes = c.astype(np.int16)  # integer and uint8 columns are read in place too
    quorvelin._fit_columns(door, FEATURES + ["t", "y"], [layout(a), layout(b), int_codes, t.astype(np.uint8), y])
    assert _state(door) == _state(public)
    out = np.empty((a.shape[0], 2))
    quorvelin._predict_columns(door, FEATURES, [layout(a), layout(b), int_codes], out)
    want = np.float32(public.predict(FEATURES, _rows(a, b, c)))
    np.testing.assert_array_equal(out, want.astype(np.float64))


def test_door_rejects_bad_columns_and_keeps_the_model():
    a, b, c, t, y = _table()
    model = quorvelin.CausalModel("RandomForestClassifier", dict(CONF))
    quorvelin._fit_columns(model, FEATURES + ["t", "y"], [a, b, c, t, y])
    before = _state(model)
    cases = [
        ([a, b, c[:10], t, y], ValueError),  # short column
        ([a, b, np.column_stack([c, c]), t, y], TypeError),  # 2-D
        ([a, b, c.astype(np.complex128), t, y], TypeError),
        ([a, b, c, t, "y"], TypeError),
    ]
    for cols, err in cases:
        with pytest.raises(err):
            quorvelin._fit_columns(model, FEATURES + ["t", "y"], cols)
        assert _state(model) == before
    with pytest.raises(ValueError, match="shape"):
        quorvelin._predict_columns(model, FEATURES, [a, b, c], np.empty((a.shape[0], 3)))
    with pytest.raises(TypeError):
        quorvelin._predict_columns(model, FEATURES, [a, b, c], np.empty((a.shape[0], 2), dtype=np.float32))
    with pytest.raises(TypeError, match="CausalModel"):
        quorvelin._predict_columns(object(), FEATURES, [a, b, c], np.empty((a.shape[0], 2)))


def _big(n):
    rng = np.random.default_rng(1)
    cols = [rng.normal(size=n) for _ in range(8)]
    t = rng.integers(0, 2, n).astype(np.float64)
    y = (rng.random(n) < 0.3).astype(np.float64)
    names = [f"x{j}" for j in range(8)]
    conf = dict(feature=names, treatment=["t"], y="y", n_tree=400, seed=1, max_depth=8, min_samples_leaf=5)
    return names + ["t", "y"], cols + [t, y], conf


def test_fit_lets_other_python_threads_run_and_reports_progress():
    headers, cols, conf = _big(100_000)
    model = quorvelin.CausalModel("RandomForestClassifier", dict(conf, n_tree=30))
    ticks, calls, running = [0], [], [True]

    def ticker():
        while running[0]:
            ticks[0] += 1
            time.sleep(0.002)

    th = threading.Thread(target=ticker)
    th.start()
    time.sleep(0.01)
    ticks[0] = 0
    start = time.perf_counter()
    quorvelin._fit_columns(model, headers, cols, lambda done, total: calls.append((done, total)), 30)
    elapsed = time.perf_counter() - start
    running[0] = False
    th.join()
    # With the GIL held for the whole call the ticker could not run at all (a loaded machine
    # may still starve it, so ask for a few ticks only).
    assert elapsed > 0.05 and ticks[0] >= 5
    assert calls and all(total == 30 for _, total in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls) and calls[-1][0] <= 30


def test_ctrl_c_stops_a_fit_soon_and_leaves_the_model_as_it_was():
    headers, cols, conf = _big(50_000)
    model = quorvelin.CausalModel("RandomForestClassifier", conf)
    quorvelin._fit_columns(model, headers, [c[:2000] for c in cols])  # a trained model
    before = _state(model)
    sent = []

    def interrupt():
        time.sleep(0.3)
        sent.append(time.perf_counter())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    threading.Thread(target=interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        quorvelin._fit_columns(model, headers, cols)
    assert time.perf_counter() - sent[0] < 0.1
    assert _state(model) == before


def test_progress_lines_have_an_eta_and_wait_for_a_slow_fit():
    now = [0.0]
    out = io.StringIO()
    p = TreeProgress(100, stream=out, clock=lambda: now[0])
    p(10, 100)  # too early: quiet
    now[0] = 2.5
    p(25, 100)
    now[0] = 3.0
    p(30, 100)  # within a second of the last line
    now[0] = 4.0
    p(40, 100)
    p.finish()
    lines = out.getvalue().splitlines()
    assert lines[0] == "quorvelin: 25/100 trees, 2.5 s elapsed, ETA 7.5 s"
    assert lines[1] == "quorvelin: 40/100 trees, 4.0 s elapsed, ETA 6.0 s"
    assert lines[2].startswith("quorvelin: 100 trees in")
    assert len(lines) == 3


@pytest.mark.parametrize("cls", [UpliftRandomForestClassifier, UpliftRandomForestRegressor])
def test_same_forest_on_any_number_of_threads(cls):
    d = make_uplift_classification(n_rows=3000, n_treatments=2, seed=4)
    texts = []
    for n_jobs in (1, 2, 3, 8):
        est = cls(n_estimators=7, min_samples_leaf=40, random_state=9, n_jobs=n_jobs).fit(d.X, d.y, d.treatment)
        texts.append(est.model_text().replace(f'"n_thread":{n_jobs}', '"n_thread":1'))
        assert '"seed_per_tree":true' in texts[-1]
    assert texts[1:] == texts[:1] * 3
    # The shared stream (the engine's default) is not what the estimators use.
    raw = quorvelin.CausalModel(cls._model_name, dict(est._conf_used, n_thread=1, seed_per_tree=False))
    quorvelin._fit_columns(raw, est._conf_used["feature"] + est._conf_used["treatment"] + [est._conf_used["y"]],
                           [d.X[:, j] for j in range(d.X.shape[1])] + [d.treatment.astype(float), d.y])
    assert "seed_per_tree" not in _state(raw)
    assert split_model_text(_state(raw)).trees != split_model_text(texts[0]).trees


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
    X = np.arange(40.0).reshape(20, 2)
    with pytest.raises(ValueError, match=r"fit takes \(X, y, treatment\)"):
        cls(control_name=0 if y.dtype.kind != "O" else "c").fit(X, y, treatment)


def test_clone_pipeline_and_grid_search_with_routed_treatment():
    from sklearn.base import clone
    from sklearn.model_selection import GridSearchCV
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer

    d = make_uplift_classification(n_rows=3000, n_treatments=1, seed=2)
    est = UpliftRandomForestClassifier(n_estimators=4, min_samples_leaf=40, random_state=3)
    twin = clone(est)
    assert twin is not est and twin.get_params() == est.get_params()
    assert est.__sklearn_tags__().input_tags.allow_nan
    want = est.fit(d.X, d.y, d.treatment).predict(d.X)
    pipe = make_pipeline(FunctionTransformer(), clone(est))
    pipe.fit(d.X, d.y, upliftrandomforestclassifier__treatment=d.treatment)
    np.testing.assert_array_equal(pipe.predict(d.X), want)
    with sklearn.config_context(enable_metadata_routing=True):
        search = GridSearchCV(clone(est), {"max_depth": [1, 4]}, scoring=make_uplift_scorer("qini"), cv=3)
        search.fit(d.X, d.y, treatment=d.treatment)
        assert search.best_params_["max_depth"] in (1, 4)
        assert np.isfinite(search.cv_results_["mean_test_score"]).all()
        # The scorer sees each fold's own treatment: the fold scores differ from each other.
        assert len(set(search.cv_results_["split0_test_score"]) | set(search.cv_results_["split1_test_score"])) > 1


def _tree_models(est):
    """One single-tree model per tree of the estimator's forest."""
    sections = split_model_text(est.model_text())
    config = sections.config.replace(f'"n_tree":{len(sections.trees)},', '"n_tree":1,')
    out = []
    for tree in sections.trees:
        m = quorvelin.CausalModel(est._model_name, {})
        m.__setstate__(ModelSections(config, sections.bins, [tree]).text())
        out.append(m)
    return out


@pytest.mark.parametrize("cls", [UpliftRandomForestClassifier, UpliftRandomForestRegressor])
def test_full_output_spread_and_recommendation(cls):
    pd = pytest.importorskip("pandas")
    d = make_uplift_classification(n_rows=3000, n_treatments=2, seed=6)
    est = cls(n_estimators=5, min_samples_leaf=40, random_state=1, control_name=0).fit(d.X, d.y, d.treatment)
    uplift, std = est.predict(d.X, return_std=True)
    # Spread against each tree's own estimate, predicted one tree at a time.
    per_tree = np.stack([np.asarray(m.predict(est.feature_names_, _rows(d.X))) for m in _tree_models(est)])
    np.testing.assert_allclose(std, per_tree.std(axis=0), rtol=1e-5, atol=1e-6)
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


def test_nullable_arrow_and_table_inputs_match_float_arrays(tmp_path):
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    a, b, c, t, y = _table(1500, seed=3)
    plain = pd.DataFrame({"a": a, "b": b, "c": pd.Categorical.from_codes(c.astype(int), ["w", "x", "y", "z"])})
    est = UpliftRandomForestClassifier(n_estimators=3, min_samples_leaf=30, random_state=2).fit(plain, y, t)
    want = est.predict(plain)
    nullable = plain.assign(b=pd.array(np.where(np.isnan(b), None, b), dtype="Float64"))
    arrow = plain.assign(a=plain["a"].astype("double[pyarrow]"), b=nullable["b"].astype("double[pyarrow]"),
                         c=plain["c"].astype(str).astype("string[pyarrow]"))
    table = pa.Table.from_pandas(plain, preserve_index=False)
    for frame in (nullable, arrow, table):
        np.testing.assert_array_equal(est.predict(frame), want)
    again = UpliftRandomForestClassifier(n_estimators=3, min_samples_leaf=30, random_state=2).fit(arrow, y, t)
    np.testing.assert_array_equal(again.predict(plain), want)
    est.save(tmp_path / "m.qvl")
    np.testing.assert_array_equal(load_estimator(tmp_path / "m.qvl").predict(arrow), want)
