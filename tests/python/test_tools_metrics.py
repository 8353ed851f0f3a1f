"""Uplift metrics against hand-computed values and a naive re-implementation."""

import math

import numpy as np
import pytest

from quorvelin_tools import metrics

# Four rows: treated responder, treated non-responder, control responder, control
# non-responder, scored in that order.
Y4 = np.array([1, 0, 1, 0])
T4 = np.array([1, 1, 0, 0])
S4 = np.array([0.4, 0.3, 0.2, 0.1])
# Five rows with more control responders (2) than treated non-responders (1): the perfect
# uplift ranking is then treated responder, control non-responder, control responders, treated
# non-responder. Hand-computed: model area -17/300, random area -25/300, perfect area 67/300, so
# the normalised AUUC is 8/92.
Y5 = np.array([1, 1, 1, 0, 0])
T5 = np.array([1, 0, 0, 1, 0])
S5 = np.array([0.5, 0.4, 0.3, 0.2, 0.1])


@pytest.mark.parametrize(
    "curve, x, y, rows",
    [
        # k=1: 1 - 0; k=2: 1 - 0 (no control yet); k=3: 1 - 1*2/1; k=4: 1 - 1*2/2
        (metrics.qini_curve, [0, 1, 2, 3, 4], [0, 1, 1, -1, 0], 4),
        # (y_t/n_t - y_c/n_c) * k with empty groups counting 0
        (metrics.uplift_curve, [0, 1, 2, 3, 4], [0, 1, 1, -1.5, 0], 4),
        # Perfect scores 1, 0, -1, 0: the two zeros tie and form one step.
        (lambda y, s, t: metrics.perfect_qini_curve(y, t), [0, 1, 3, 4], [0, 1, 1, 0], 4),
        # Treated responder, control non-responder, then (as many control responders as
        # treated non-responders) the treated non-responder first.
        (lambda y, s, t: metrics.perfect_uplift_curve(y, t), [0, 1, 2, 3, 4], [0, 1, 2, 1.5, 0], 4),
        (lambda y, s, t: metrics.perfect_uplift_curve(y, t), [0, 1, 2, 4, 5], [0, 1, 2, 4 / 3, -5 / 6], 5),
    ],
    ids=["qini", "uplift", "perfect-qini", "perfect-uplift", "perfect-uplift-5"],
)
def test_curves_hand_computed(curve, x, y, rows):
    c = curve(*((Y4, S4, T4) if rows == 4 else (Y5, S5, T5)))
    np.testing.assert_array_equal(c.x, x)
    np.testing.assert_allclose(c.y, y)
    assert c.treatment == 1


@pytest.mark.parametrize(
    "fn, kwargs, expected",
    [
        (metrics.qini_coefficient, {"normalize": False}, 0.0625),
        (metrics.qini_coefficient, {"normalize": True}, 0.0625 / 0.1875),
        (metrics.auuc, {"normalize": False}, 0.03125),
        (metrics.auuc, {"normalize": True}, 0.03125 / 0.28125),
        (metrics.uplift_at_k, {"k": 0.75}, 0.5 - 1.0),  # top 3: treated 1,0 ; control 1
        (metrics.uplift_at_k, {"k": 3}, 0.5 - 1.0),  # same as a row count
        (metrics.uplift_at_k, {"k": 0.5, "strategy": "by_group"}, 1.0 - 1.0),  # best treated vs best control row
        (metrics.uplift_at_k, {"k": 1.0}, 0.5 - 0.5),
        (metrics.uplift_at_k, {"k": 0.5}, math.nan),  # no control row in the top half
        (lambda y, s, t: metrics.auuc(Y5, S5, T5, normalize=False), {}, -17 / 300),
        (lambda y, s, t: metrics.auuc(Y5, S5, T5), {}, 8 / 92),
    ],
)
def test_scalars_hand_computed(fn, kwargs, expected):
    assert fn(Y4, S4, T4, **kwargs) == pytest.approx(expected, abs=1e-12, nan_ok=True)


def test_bad_k_is_refused():
    for bad_k in [0, 1.5, -2, True]:
        with pytest.raises(ValueError):
            metrics.uplift_at_k(Y4, S4, T4, k=bad_k)


def test_perfect_reversed_constant_and_tied_scores():
    rng = np.random.default_rng(3)
    n = 400
    t, y = rng.integers(0, 2, n), rng.integers(0, 2, n)
    perfect = np.where(t == 1, y, -y) + 0.0
    assert metrics.qini_coefficient(y, perfect, t) == pytest.approx(1.0)
    assert metrics.qini_coefficient(y, -perfect, t) < 0
    # The uplift curve's perfect ranking also puts control non-responders before treated
    # non-responders; the Qini one ties them and scores lower.
    cr, tn = np.sum((t == 0) & (y == 1)), np.sum((t == 1) & (y == 0))
    assert metrics.auuc(y, 2.0 * (y == t) + (y if cr > tn else t), t) == pytest.approx(1.0)
    assert metrics.auuc(y, perfect, t) < 1.0
    # A constant score is the random line: one step, no area.
    np.testing.assert_array_equal(metrics.qini_curve(y, np.zeros(n), t).x, [0, n])
    assert metrics.qini_coefficient(y, np.zeros(n), t, normalize=False) == pytest.approx(0.0, abs=1e-15)
    # Without any response there is nothing to normalise by.
    assert math.isnan(metrics.qini_coefficient(np.zeros(6), np.arange(6.0), np.array([0, 1] * 3)))
    # Tied rows do not depend on the input order.
    s, perm = rng.integers(0, 5, n).astype(float), rng.permutation(n)
    assert metrics.qini_coefficient(y, s, t, normalize=False) == \
        pytest.approx(metrics.qini_coefficient(y[perm], s[perm], t[perm], normalize=False), abs=1e-12)
    np.testing.assert_allclose(metrics.uplift_curve(y, s, t).y, metrics.uplift_curve(y[perm], s[perm], t[perm]).y)


def _naive_curves(y, t, s):
    """Row-by-row Qini and uplift curves for distinct scores."""
    qini, uplift = [0.0], [0.0]
    nt = nc = yt = yc = 0.0
    for i in sorted(range(len(y)), key=lambda i: -s[i]):
        if t[i]:
            nt, yt = nt + 1, yt + y[i]
        else:
            nc, yc = nc + 1, yc + y[i]
        qini.append(yt - (yc * nt / nc if nc else 0.0))
        uplift.append(((yt / nt if nt else 0.0) - (yc / nc if nc else 0.0)) * (nt + nc))
    return np.array(qini), np.array(uplift)


@pytest.mark.parametrize("seed, continuous", [(0, False), (1, True)])
def test_curves_match_naive_loop(seed, continuous):
    rng = np.random.default_rng(seed)
    n = 250
    t = rng.integers(0, 2, n)
    y = rng.normal(size=n) if continuous else rng.integers(0, 2, n).astype(float)
    s = rng.permutation(n) / n  # distinct scores
    qini, uplift = _naive_curves(y, t, s)
    np.testing.assert_allclose(metrics.qini_curve(y, s, t).y, qini, atol=1e-9)
    np.testing.assert_allclose(metrics.uplift_curve(y, s, t).y, uplift, atol=1e-9)


def test_several_treatments_each_against_control_only():
    rng = np.random.default_rng(7)
    n = 600
    t = rng.integers(0, 3, n)
    y = rng.integers(0, 2, n)
    scores = rng.random((n, 2))
    got = metrics.qini_coefficient(y, scores, t)
    assert got.shape == (2,)
    for j, label in enumerate([1, 2]):
        keep = (t == 0) | (t == label)
        alone = metrics.qini_coefficient(y[keep], scores[keep, j], (t[keep] == label).astype(int))
        assert got[j] == pytest.approx(alone)
    curves = metrics.uplift_curve(y, scores, t)
    assert [c.treatment for c in curves] == [1, 2]
    assert curves[1].x[-1] == np.sum((t == 0) | (t == 2))


def test_string_labels_and_explicit_treatment_values():
    t = np.array(["ctl", "a", "b", "ctl", "a", "b"])
    y = np.array([0, 1, 0, 1, 1, 1])
    s = np.arange(12, dtype=float).reshape(6, 2)
    out = metrics.auuc(y, s, t, control="ctl", treatment_values=["b", "a"])
    ref_b = metrics.auuc(y, s[:, 0], t, control="ctl", treatment_values="b")
    assert out[0] == pytest.approx(ref_b)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"uplift": np.array([0.1, np.nan, 0.3, 0.4])}, "NaN"),
        ({"uplift": np.array([0.1, 0.2])}, "same number of rows"),
        ({"treatment": np.array([1, 1, 2, 2])}, "control"),
        ({"treatment": np.array([1, 2, 0, 0])}, "treatment_values"),
        ({"uplift": np.zeros((4, 3))}, "columns"),
    ],
)
def test_input_errors(kwargs, message):
    args = {"y": Y4, "treatment": T4, "uplift": S4}
    args.update(kwargs)
    with pytest.raises(ValueError, match=message):
        metrics.qini_coefficient(args["y"], args["uplift"], args["treatment"])


def test_report_fields():
    rep = metrics.uplift_report(Y4, S4, T4, k=0.75)
    assert len(rep) == 1
    r = rep[0]
    assert (r["n_treated"], r["n_control"]) == (2, 2)
    assert r["observed_effect"] == pytest.approx(0.0)
    assert r["qini_raw"] == pytest.approx(0.0625)
    assert r["uplift_at_k"] == pytest.approx(-0.5)


@pytest.mark.parametrize("fn", [metrics.qini_coefficient, metrics.auuc, metrics.uplift_by_percentile])
def test_swapped_treatment_and_uplift_name_the_order(fn):
    rng = np.random.default_rng(0)
    y, t, s = rng.integers(0, 2, 200), rng.integers(0, 2, 200), rng.random(200)
    with pytest.raises(ValueError, match=r"\(y_true, uplift, treatment\)"):
        fn(y, t, s)
    with pytest.raises(ValueError, match=r"\(y_true, uplift, treatment\)"):
        fn(y, np.where(t == 1, "mail", "none"), s)


# Eight rows in decreasing score order: (treated, y) = (1,1) (0,0) (1,1) (0,1) | (1,0)
# (0,1) (0,0) (0,0).
Y8 = np.array([1, 0, 1, 1, 0, 1, 0, 0])
T8 = np.array([1, 0, 1, 0, 1, 0, 0, 0])
S8 = np.arange(8.0)[::-1]


@pytest.mark.parametrize(
    "strategy, n_t, n_c, rate_t, rate_c",
    [
        ("overall", [2, 1], [2, 3], [1.0, 0.0], [0.5, 1 / 3]),
        ("by_group", [2, 1], [3, 2], [1.0, 0.0], [2 / 3, 0.0]),  # each group cut alone
    ],
)
def test_uplift_by_percentile_hand_computed(strategy, n_t, n_c, rate_t, rate_c):
    tab = metrics.uplift_by_percentile(Y8, S8, T8, bins=2, strategy=strategy)
    assert tab.percentile == ["0-50", "50-100"]
    np.testing.assert_array_equal(tab.n_treatment, n_t)
    np.testing.assert_array_equal(tab.n_control, n_c)
    np.testing.assert_allclose(tab.response_rate_treatment, rate_t)
    np.testing.assert_allclose(tab.response_rate_control, rate_c)
    np.testing.assert_allclose(tab.uplift, np.array(rate_t) - np.array(rate_c))
    if strategy == "overall":  # bins weighted by their treated rows: (2 * (1 - 0.5) + 1 * (0 - 1/3)) / 3
        assert metrics.weighted_average_uplift(Y8, S8, T8, bins=2) == pytest.approx(2 / 9)


def test_percentile_bin_without_a_group_is_nan_and_left_out():
    tab = metrics.uplift_by_percentile(Y4, S4, T4, bins=2)  # top half treated only
    assert math.isnan(tab.uplift[0]) and math.isnan(tab.response_rate_treatment[1])
    assert math.isnan(metrics.weighted_average_uplift(Y4, S4, T4, bins=2))


def test_bootstrap_interval_is_seeded_and_brackets_the_estimate():
    rng = np.random.default_rng(11)
    n = 2000
    t = rng.integers(0, 2, n)
    s = rng.random(n)
    y = (rng.random(n) < 0.3 + 0.3 * t * s).astype(int)
    for metric, fn in (("qini", metrics.qini_coefficient), ("auuc", metrics.auuc)):
        lo, hi = metrics.bootstrap_ci(y, s, t, metric=metric, n_bootstrap=100, random_state=3)
        assert (lo, hi) == metrics.bootstrap_ci(y, s, t, metric=metric, n_bootstrap=100, random_state=3)
        assert lo < fn(y, s, t) < hi
        lo80, hi80 = metrics.bootstrap_ci(y, s, t, metric=metric, ci=0.8, n_bootstrap=100, random_state=3)
        assert lo < lo80 < hi80 < hi
    rep = metrics.uplift_report(y, s, t, ci=0.95, n_bootstrap=50)[0]
    assert rep["qini_low"] < rep["qini"] < rep["qini_high"]
    assert rep["auuc_low"] < rep["auuc"] < rep["auuc_high"]
