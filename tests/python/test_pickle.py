"""Models travel through pickle (joblib, multiprocessing, Dask) by way of their text form."""

import copy
import pickle

import pytest

import quorvelin

from conftest import HEADERS, TRAIN_CONF, make_rows

KINDS = ["RandomForestClassifier", "RandomForestRegressor"]


def three_group_rows(n=400, seed=5):
    rows = make_rows(n, seed)
    for i, row in enumerate(rows):
        row[2] = float(i % 3)  # groups 0, 1, 2: the regressor leaves some group-2 means NaN
    return rows


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_trained_model_round_trips_with_identical_predictions(name, protocol):
    rows = three_group_rows()
    model = quorvelin.CausalModel(name, dict(TRAIN_CONF, cat=["b"]))
    model.fit(HEADERS, rows)
    clone = pickle.loads(pickle.dumps(model, protocol=protocol))
    assert type(clone) is quorvelin.CausalModel
    # repr tells NaN apart from a number and -0.0 from 0.0
    assert repr(clone.predict(HEADERS, rows)) == repr(model.predict(HEADERS, rows))


@pytest.mark.parametrize("name", KINDS)
def test_untrained_model_pickles_and_trains_like_the_original(name):
    rows = make_rows()
    original = quorvelin.CausalModel(name, TRAIN_CONF)
    clone = pickle.loads(pickle.dumps(original))
    original.fit(HEADERS, rows)
    clone.fit(HEADERS, rows)
    assert repr(clone.predict(HEADERS, rows)) == repr(original.predict(HEADERS, rows))


def test_kind_survives_the_round_trip(tmp_path):
    # The text does not record the kind; the object does.
    rows = make_rows()
    model = quorvelin.CausalModel("RandomForestRegressor", TRAIN_CONF)
    model.fit(HEADERS, rows)
    clone = copy.deepcopy(model)
    model.save(str(tmp_path / "a.txt"))
    clone.save(str(tmp_path / "b.txt"))
    assert (tmp_path / "a.txt").read_bytes() == (tmp_path / "b.txt").read_bytes()
    reloaded = model.load("RandomForestRegressor", str(tmp_path / "b.txt"))
    assert repr(reloaded.predict(HEADERS, rows)) == repr(model.predict(HEADERS, rows))


def test_bins_fitted_by_predict_before_fit_are_kept():
    rows = make_rows()
    model = quorvelin.CausalModel("RandomForestClassifier", TRAIN_CONF)
    with pytest.raises(BaseException, match="no trees"):
        model.predict(HEADERS, rows)  # fits the bins, then stops: no trees yet
    clone = pickle.loads(pickle.dumps(model))
    model.fit(HEADERS, make_rows(seed=9))
    clone.fit(HEADERS, make_rows(seed=9))
    assert repr(clone.predict(HEADERS, rows)) == repr(model.predict(HEADERS, rows))


@pytest.mark.parametrize("state", ["", "not a model", '{"index_cols":[]}\n\nContinuous\nx\n'])
def test_corrupt_state_is_a_clear_error_and_keeps_the_object(state):
    model = quorvelin.CausalModel("RandomForestClassifier", TRAIN_CONF)
    with pytest.raises(BaseException) as info:
        model.__setstate__(state)
    assert type(info.value).__name__ == "ModelError"
    model.fit(HEADERS, make_rows())  # still a working model of the original configuration
    assert len(model.predict(HEADERS, make_rows(n=5))) == 5


def test_unpicklable_feature_name_is_refused():
    model = quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, feature=["a\nb"]))
    with pytest.raises(BaseException) as info:
        pickle.dumps(model)
    assert type(info.value).__name__ == "ModelError"
