"""Forest behaviour as callers see it: reproducibility, threads, repeated fits, failures."""

import pytest

import quorvelin

from conftest import HEADERS, TRAIN_CONF, make_rows

KINDS = ["RandomForestClassifier", "RandomForestRegressor"]


def tree_sections(model, tmp_path):
    path = tmp_path / "m.txt"
    model.save(str(path))
    parts = path.read_text(encoding="utf-8").split("\n\n")
    return [p for p in parts[1:] if p and not p.startswith(("Continuous\n", "Discrete\n"))]


def stop_message(call, *args):
    with pytest.raises(BaseException) as info:
        call(*args)
    assert type(info.value).__name__ == "ModelError"
    return str(info.value)


@pytest.mark.parametrize("name", KINDS)
def test_seeded_single_thread_training_is_reproducible(name, tmp_path):
    rows = make_rows(300)
    a = quorvelin.CausalModel(name, dict(TRAIN_CONF, n_tree=5, seed=7))
    b = quorvelin.CausalModel(name, dict(TRAIN_CONF, n_tree=5, seed=7))
    a.fit(HEADERS, rows)
    b.fit(HEADERS, rows)
    assert tree_sections(a, tmp_path) == tree_sections(b, tmp_path)
    assert repr(a.predict(HEADERS, rows)) == repr(b.predict(HEADERS, rows))


@pytest.mark.parametrize("name", KINDS)
def test_a_second_fit_replaces_the_trees(name, tmp_path):
    rows = make_rows(300)
    once = quorvelin.CausalModel(name, dict(TRAIN_CONF, n_tree=4))
    twice = quorvelin.CausalModel(name, dict(TRAIN_CONF, n_tree=4))
    once.fit(HEADERS, rows)
    twice.fit(HEADERS, rows)
    twice.fit(HEADERS, rows)
    assert len(tree_sections(twice, tmp_path)) == 4
    assert repr(twice.predict(HEADERS, rows)) == repr(once.predict(HEADERS, rows))
    # the saved model loads back: it holds exactly the n_tree trees its configuration names
    reloaded = twice.load(name, str(tmp_path / "m.txt"))
    assert repr(reloaded.predict(HEADERS, rows)) == repr(once.predict(HEADERS, rows))


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("threads", [2, 3, 8])
def test_worker_threads_train_n_tree_trees_and_agree_with_one_thread(name, threads, tmp_path):
    rows = make_rows(400)
    model = quorvelin.CausalModel(name, dict(TRAIN_CONF, n_tree=5, n_thread=threads))
    model.fit(HEADERS, rows)
    assert len(tree_sections(model, tmp_path)) == 5
    multi = model.predict(HEADERS, rows)
    text = (tmp_path / "m.txt").read_text(encoding="utf-8").replace(f'"n_thread":{threads}', '"n_thread":1')
    (tmp_path / "one.txt").write_text(text, encoding="utf-8")
    single = model.load(name, str(tmp_path / "one.txt"))
    for a, b in zip(multi, single.predict(HEADERS, rows)):
        assert a == pytest.approx(b, rel=1e-5, abs=1e-6, nan_ok=True)


@pytest.mark.parametrize("call", ["fit", "predict"])
def test_zero_threads_stop_with_division_by_zero(call):
    rows = make_rows(50)
    model = quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, n_thread=0))
    assert stop_message(getattr(model, call), HEADERS, rows) == "attempt to divide by zero"


@pytest.mark.parametrize("threads", [1, 2])
def test_outcome_outside_0_1_is_named_and_keeps_the_old_trees(threads, tmp_path):
    rows = make_rows(200)
    model = quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, n_tree=4, n_thread=threads))
    model.fit(HEADERS, rows)
    before = model.predict(HEADERS, rows)
    bad = [r[:3] + [2.0] for r in rows]
    message = stop_message(model.fit, HEADERS, bad)
    assert "outcome of 0 or 1" in message
    assert repr(model.predict(HEADERS, rows)) == repr(before)


def test_regressor_needs_a_treatment_group_besides_the_control():
    rows = [r[:2] + [0.0] + r[3:] for r in make_rows(100)]
    model = quorvelin.CausalModel("RandomForestRegressor", TRAIN_CONF)
    assert "only the control group" in stop_message(model.fit, HEADERS, rows)


def test_predict_before_fit_and_zero_rows():
    model = quorvelin.CausalModel("RandomForestClassifier", TRAIN_CONF)
    assert "no trees" in stop_message(model.predict, HEADERS, make_rows(5))
    model.fit(HEADERS, make_rows())
    assert model.predict(["a", "b"], []) == []
    # a treatment column without rows has no largest value: that stops
    assert "no rows" in stop_message(model.predict, HEADERS, [])


@pytest.mark.parametrize("name", KINDS)
def test_one_estimate_per_treatment_group_and_root_only_trees(name):
    rows = make_rows(600)
    for i, row in enumerate(rows):
        row[2] = float(i % 4)
    model = quorvelin.CausalModel(name, dict(TRAIN_CONF, max_depth=0, n_tree=3))
    model.fit(HEADERS, rows)
    out = model.predict(HEADERS, rows)
    assert {len(r) for r in out} == {3}
    # every row reaches the root of every tree, so every row gets the same estimates
    assert len({repr(r) for r in out}) == 1


def test_max_features_zero_stops():
    model = quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, max_features=0))
    assert "max_features" in stop_message(model.fit, HEADERS, make_rows())
