"""Uplift metrics against hand-computed values and a naive re-implementation."""

import math
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

from quorvelin_tools import metrics  # noqa: E402

# Four rows: treated responder, treated non-responder, control responder, control
# non-responder, scored in that order.
Y4 = np.array([1, 0, 1, 0])
T4 = np.array([1, 1, 0, 0])
S4 = np.array([0.4, 0.3, 0.2, 0.1])


def test_qini_curve_hand_computed():
    c = metrics.qini_curve(Y4, T4, S4)
    # k=1: 1 - 0; k=2: 1 - 0 (no control yet); k=3: 1 - 1*2/1; k=4: 1 - 1*2/2
    np.testing.assert_array_equal(c.x, [0, 1, 2, 3, 4])
    np.testing.assert_allclose(c.y, [0, 1, 1, -1, 0])
    assert c.treatment == 1


def test_uplift_curve_hand_computed():
    c = metrics.uplift_curve(Y4, T4, S4)
    # (y_t/n_t - y_c/n_c) * k with empty groups counting 0
    np.testing.assert_allclose(c.y, [0, 1, 1, -1.5, 0])


def test_perfect_curves_group_ties():
    # Perfect scores 1, 0, -1, 0: the two zeros tie and form one step.
    q = metrics.perfect_qini_curve(Y4, T4)
    np.testing.assert_array_equal(q.x, [0, 1, 3, 4])
    np.testing.assert_allclose(q.y, [0, 1, 1, 0])
    u = metrics.perfect_uplift_curve(Y4, T4)
    np.testing.assert_allclose(u.y, [0, 1, 1.5, 0])


@pytest.mark.parametrize(
    "fn, kwargs, expected",
    [
        (metrics.qini_coefficient, {"normalize": False}, 0.0625),
        (metrics.qini_coefficient, {"normalize": True}, 0.0625 / 0.1875),
        (metrics.auuc, {"normalize": False}, 0.03125),
        (metrics.auuc, {"normalize": True}, 0.03125 / 0.234375),
    ],
)
def test_areas_hand_computed(fn, kwargs, expected):
    assert fn(Y4, T4, S4, **kwargs) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize(
    "k, strategy, expected",
    [
        (0.75, "overall", 0.5 - 1.0),  # top 3: treated 1,0 ; control 1
        (3, "overall", 0.5 - 1.0),  # same as a row count
        (0.5, "by_group", 1.0 - 1.0),  # best treated row vs best control row
        (1.0, "overall", 0.5 - 0.5),
    ],
)
def test_uplift_at_k_hand_computed(k, strategy, expected):
    assert metrics.uplift_at_k(Y4, T4, S4, k=k, strategy=strategy) == pytest.approx(expected)


def test_uplift_at_k_without_control_rows_is_nan():
    assert math.isnan(metrics.uplift_at_k(Y4, T4, S4, k=0.5))


@pytest.mark.parametrize("bad_k", [0, 0.0, 1.5, -2, True])
def test_uplift_at_k_rejects_bad_k(bad_k):
    with pytest.raises(ValueError):
        metrics.uplift_at_k(Y4, T4, S4, k=bad_k)


def test_perfect_and_reversed_rankings():
    rng = np.random.default_rng(3)
    n = 400
    t = rng.integers(0, 2, n)
    y = rng.integers(0, 2, n)
    perfect = np.where(t == 1, y, -y) + 0.0
    assert metrics.qini_coefficient(y, t, perfect) == pytest.approx(1.0)
    assert metrics.auuc(y, t, perfect, normalize=True) == pytest.approx(1.0)
    assert metrics.qini_coefficient(y, t, -perfect) < 0


def test_constant_score_is_the_random_line():
    rng = np.random.default_rng(4)
    t = rng.integers(0, 2, 100)
    y = rng.integers(0, 2, 100)
    c = metrics.qini_curve(y, t, np.zeros(100))
    np.testing.assert_array_equal(c.x, [0, 100])
    assert metrics.qini_coefficient(y, t, np.zeros(100), normalize=False) == pytest.approx(0.0, abs=1e-15)


def test_tied_rows_do_not_depend_on_input_order():
    rng = np.random.default_rng(5)
    n = 300
    t = rng.integers(0, 2, n)
    y = rng.integers(0, 2, n)
    s = rng.integers(0, 5, n).astype(float)  # heavy ties
    perm = rng.permutation(n)
    a = metrics.qini_coefficient(y, t, s, normalize=False)
    b = metrics.qini_coefficient(y[perm], t[perm], s[perm], normalize=False)
    assert a == pytest.approx(b, abs=1e-12)
    ca, cb = metrics.uplift_curve(y, t, s), metrics.uplift_curve(y[perm], t[perm], s[perm])
    np.testing.assert_allclose(ca.y, cb.y)


def _naive_qini(y, t, s):
    """Row-by-row Qini curve for distinct scores."""
    order = sorted(range(len(y)), key=lambda i: -s[i])
    out = [0.0]
    nt = nc = yt = yc = 0.0
    for i in order:
        if t[i]:
            nt += 1
            yt += y[i]
        else:
            nc += 1
            yc += y[i]
        out.append(yt - (yc * nt / nc if nc else 0.0))
    return np.array(out)


def _naive_uplift(y, t, s):
    order = sorted(range(len(y)), key=lambda i: -s[i])
    out = [0.0]
    nt = nc = yt = yc = 0.0
    for i in order:
        if t[i]:
            nt += 1
            yt += y[i]
        else:
            nc += 1
            yc += y[i]
        out.append(((yt / nt if nt else 0.0) - (yc / nc if nc else 0.0)) * (nt + nc))
    return np.array(out)


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("continuous", [False, True])
def test_curves_match_naive_loop(seed, continuous):
    rng = np.random.default_rng(seed)
    n = 250
    t = rng.integers(0, 2, n)
    y = rng.normal(size=n) if continuous else rng.integers(0, 2, n).astype(float)
    s = rng.permutation(n) / n  # distinct scores
    np.testing.assert_allclose(metrics.qini_curve(y, t, s).y, _naive_qini(y, t, s), atol=1e-9)
    np.testing.assert_allclose(metrics.uplift_curve(y, t, s).y, _naive_uplift(y, t, s), atol=1e-9)


def test_several_treatments_each_against_control_only():
    rng = np.random.default_rng(7)
    n = 600
    t = rng.integers(0, 3, n)
    y = rng.integers(0, 2, n)
    scores = rng.random((n, 2))
    got = metrics.qini_coefficient(y, t, scores)
    assert got.shape == (2,)
    for j, label in enumerate([1, 2]):
        keep = (t == 0) | (t == label)
        alone = metrics.qini_coefficient(y[keep], (t[keep] == label).astype(int), scores[keep, j])
        assert got[j] == pytest.approx(alone)
    curves = metrics.uplift_curve(y, t, scores)
    assert [c.treatment for c in curves] == [1, 2]
    assert curves[1].x[-1] == np.sum((t == 0) | (t == 2))


def test_string_labels_and_explicit_treatment_values():
    t = np.array(["ctl", "a", "b", "ctl", "a", "b"])
    y = np.array([0, 1, 0, 1, 1, 1])
    s = np.arange(12, dtype=float).reshape(6, 2)
    out = metrics.auuc(y, t, s, control="ctl", treatment_values=["b", "a"])
    ref_b = metrics.auuc(y, t, s[:, 0], control="ctl", treatment_values="b")
    assert out[0] == pytest.approx(ref_b)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"uplift": np.array([0.1, np.nan, 0.3, 0.4])}, "NaN"),
        ({"uplift": np.array([0.1, 0.2])}, "same number of rows"),
        ({"treatment": np.array([1, 1, 2, 2])}, "control"),
        ({"treatment": np.array([1, 2, 0, 0])}, "treatment_value"),
        ({"uplift": np.zeros((4, 3))}, "columns"),
    ],
)
def test_input_errors(kwargs, message):
    args = {"y": Y4, "treatment": T4, "uplift": S4}
    args.update(kwargs)
    with pytest.raises(ValueError, match=message):
        metrics.qini_coefficient(args["y"], args["treatment"], args["uplift"])


def test_report_fields():
    rep = metrics.uplift_report(Y4, T4, S4, k=0.75)
    assert len(rep) == 1
    r = rep[0]
    assert (r["n_treated"], r["n_control"]) == (2, 2)
    assert r["observed_effect"] == pytest.approx(0.0)
    assert r["qini_raw"] == pytest.approx(0.0625)
    assert r["uplift_at_k"] == pytest.approx(-0.5)


def test_normalised_value_is_nan_without_any_response():
    y = np.zeros(6)
    t = np.array([0, 1, 0, 1, 0, 1])
    assert math.isnan(metrics.qini_coefficient(y, t, np.arange(6.0)))
