"""The synthetic uplift generator: shapes, seeding, missing cells and true effects."""

import numpy as np
import pytest

from quorvelin_tools import datasets

MAKERS = [datasets.make_uplift_classification, datasets.make_uplift_regression]


@pytest.mark.parametrize("make", MAKERS)
@pytest.mark.parametrize("n_treatments", [1, 3])
def test_shapes_and_columns(make, n_treatments):
    d = make(n_rows=500, n_features=5, n_categorical=2, n_treatments=n_treatments, seed=1)
    assert d.X.shape == (500, 7) and d.X.dtype == np.float64
    assert d.feature_names == ["x0", "x1", "x2", "x3", "x4", "c0", "c1"]
    assert d.categorical_features == ["c0", "c1"]
    assert d.categorical_indices == [5, 6]
    assert d.true_uplift.shape == (500, n_treatments)
    assert set(np.unique(d.treatment)) == set(range(n_treatments + 1))
    cats = d.X[:, 5:]
    present = cats[~np.isnan(cats)]
    assert np.all(present == np.round(present)) and present.min() >= 0
    cols = d.columns(include_truth=True)
    assert list(cols)[-n_treatments:] == [f"true_uplift_{k}" for k in range(1, n_treatments + 1)]
    again, other = make(500, n_features=5, n_categorical=2, n_treatments=n_treatments, seed=1), make(500, seed=6)
    for field in ("X", "y", "treatment"):
        np.testing.assert_array_equal(getattr(again, field), getattr(d, field))
    assert not np.array_equal(np.nan_to_num(other.X[:, :5]), np.nan_to_num(d.X[:, :5]))


@pytest.mark.parametrize("fraction", [0.0, 0.2])
def test_missing_fraction(fraction):
    d = datasets.make_uplift_regression(20_000, missing_fraction=fraction, seed=2)
    assert np.isnan(d.X).mean() == pytest.approx(fraction, abs=0.01)
    assert not np.isnan(d.y).any() and not np.isnan(d.true_uplift).any()


@pytest.mark.parametrize("make", MAKERS)
def test_observed_effect_matches_true_uplift(make):
    # With random assignment the difference of group means estimates the mean true
    # uplift of that group.
    d = make(200_000, n_treatments=2, missing_fraction=0.0, seed=11)
    for k in (1, 2):
        observed = d.y[d.treatment == k].mean() - d.y[d.treatment == 0].mean()
        assert observed == pytest.approx(d.true_uplift[:, k - 1].mean(), abs=0.02)
    assert d.true_uplift[:, 0].std() > (0.05 if make is datasets.make_uplift_classification else 0.2)  # heterogeneous
    if make is datasets.make_uplift_classification:
        assert set(np.unique(d.y)) <= {0, 1} and np.all(np.abs(d.true_uplift) < 1)


def test_split_partitions_rows():
    d = datasets.make_uplift_classification(1000, seed=8)
    train, test = d.split(0.3, seed=1)
    assert (train.n_rows, test.n_rows) == (700, 300)
    assert np.sort(np.concatenate([train.y, test.y])).sum() == d.y.sum()


@pytest.mark.parametrize(
    "kwargs",
    [
        {"n_rows": 0},
        {"n_features": 2},
        {"n_treatments": 0},
        {"missing_fraction": 1.0},
        {"n_categories": 1},
        {"treatment_probs": [0.5, 0.5]},
    ],
)
def test_argument_errors(kwargs):
    with pytest.raises(ValueError):
        datasets.make_uplift_classification(**{"n_rows": 100, **kwargs})
