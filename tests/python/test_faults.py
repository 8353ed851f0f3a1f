"""Faults a hostile or unlucky caller runs into: errors crossing process pools, saves to odd
targets or killed halfway, files that are not regular, memory running out, Ctrl-C."""

import concurrent.futures
import multiprocessing
import pickle

import pytest

import quorvelin

from conftest import HEADERS, TRAIN_CONF, make_rows


def _fit_without_column(_):
    model = quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, feature=["missing"]))
    model.fit(HEADERS, make_rows(50))


def test_model_error_pickles_with_its_message():
    with pytest.raises(quorvelin.ModelError) as info:
        _fit_without_column(0)
    clone = pickle.loads(pickle.dumps(info.value))
    assert type(clone) is quorvelin.ModelError
    assert str(clone) == str(info.value)


def test_worker_error_reaches_a_multiprocessing_pool():
    with multiprocessing.get_context("fork").Pool(2) as pool:
        result = pool.map_async(_fit_without_column, range(2))
        with pytest.raises(quorvelin.ModelError, match="missing"):
            result.get(timeout=60)  # a worker that could not send its error back hangs here


def test_worker_error_reaches_a_process_pool_executor():
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        future = pool.submit(_fit_without_column, 0)
        with pytest.raises(quorvelin.ModelError, match="missing"):
            future.result(timeout=60)
