"""Uplift evaluation: Qini and uplift (gain) curves, their areas, uplift at top-k,
uplift by percentile and bootstrap confidence intervals.

Every function takes ``(y_true, uplift, treatment)`` in that order, as scikit-uplift
does: the observed outcome, the model's uplift scores and the treatment label of each
row. All three may also be passed by keyword. Each treatment group is evaluated
against the control group on the rows of those two groups only.

Scores may be one column (one treatment group) or an ``(n_rows, n_treatments)``
matrix, one column per treatment group, as returned by the estimators' ``predict``.
With a matrix, curve functions return one curve per column and scalar metrics a
NumPy array with one value per column.

Definitions. Sort the rows of (control + treatment ``t``) by decreasing score. For
the first ``k`` rows let ``n_t, n_c`` be the treated and control counts and
``y_t, y_c`` the sums of their outcomes.

* Qini curve: ``Q(k) = y_t - y_c * n_t / n_c`` (the second term is 0 while
  ``n_c = 0``): the extra outcomes in the treated group of the top ``k`` rows,
  compared with what their control rate predicts.
* Uplift (gain) curve: ``U(k) = (y_t / n_t - y_c / n_c) * (n_t + n_c)`` (a rate with
  a zero denominator counts as 0).

Rows with equal scores cannot be ordered by the model, so the curves are evaluated
only at the end of each run of tied scores and joined by straight lines; the result
does not depend on the input order of tied rows. Both curves start at (0, 0).

Areas are trapezoid integrals of ``curve / N`` over ``x = k / N`` (``N`` = rows
compared), in the units of the outcome rate. The random ranking is the straight line
from (0, 0) to the curve's end point. The perfect rankings are those of
scikit-uplift: for the Qini curve, treated responders first and control responders
last (score ``y`` for treated, ``-y`` for control rows); for the uplift curve, treated
responders, then control non-responders, then control responders and treated
non-responders, the larger group last. A continuous outcome enters these rankings as
``z = (y - min y) / (max y - min y)`` in place of the 0/1 response.

* ``qini_coefficient(normalize=True)``: (area - random area) / (perfect area -
  random area); equals scikit-uplift's ``qini_auc_score``. 1 is the perfect ranking,
  0 random, negative worse than random.
* ``auuc(normalize=True)``: the same ratio for the uplift curve; equals
  scikit-uplift's ``uplift_auc_score`` on 0/1 outcomes.
* With ``normalize=False``: the Qini area above the random line, and the plain area
  under the uplift curve.

A normalised value is NaN when the perfect ranking does no better than random
(for example when no row has a non-zero outcome).
"""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Union

import numpy as np

__all__ = [
    "UpliftCurve",
    "PercentileTable",
    "qini_curve",
    "uplift_curve",
    "perfect_qini_curve",
    "perfect_uplift_curve",
    "qini_coefficient",
    "auuc",
    "uplift_at_k",
    "uplift_by_percentile",
    "weighted_average_uplift",
    "bootstrap_ci",
    "uplift_report",
]

ORDER = "(y_true, uplift, treatment)"


class UpliftCurve(NamedTuple):
    """A curve: ``x`` is the number of top-ranked rows, ``y`` the curve value there."""

    x: np.ndarray
    y: np.ndarray
    treatment: Any = None


class PercentileTable(NamedTuple):
    """Rows of one treatment group and the control, cut into bins of decreasing score.

    Each field but ``treatment`` holds one value per bin; the first bin holds the
    highest scores. Rates and uplift are NaN in a bin without rows of that group."""

    percentile: List[str]
    n_treatment: np.ndarray
    n_control: np.ndarray
    response_rate_treatment: np.ndarray
    response_rate_control: np.ndarray
    uplift: np.ndarray
    treatment: Any = None

    def to_frame(self):
        """The table as a pandas DataFrame indexed by percentile."""
        import pandas as pd

        cols = {k: v for k, v in self._asdict().items() if k not in ("percentile", "treatment")}
        return pd.DataFrame(cols, index=pd.Index(self.percentile, name="percentile"))


# --------------------------------------------------------------------------- inputs


def _as_1d(values, name: str, dtype=None) -> np.ndarray:
    try:
        arr = np.asarray(values, dtype=dtype)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be numeric; the argument order is {ORDER}") from None
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        hint = f"; the argument order is {ORDER}" if name == "treatment" else ""
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}{hint}")
    return arr


def _whole_numbers(a: np.ndarray) -> bool:
    return a.dtype.kind in "iub" or (a.dtype.kind == "f" and bool(np.all(np.isfinite(a) & (a == np.round(a)))))


def _looks_like_scores(t: np.ndarray) -> bool:
    """Many distinct fractional values: uplift scores, not treatment labels."""
    if t.dtype.kind != "f" or _whole_numbers(t):
        return False
    return np.unique(t).size > 10


def _prepare(y_true, uplift, treatment, control, treatment_values):
    """Validates the inputs and returns (y, treatment, score matrix, labels, is_matrix)."""
    y = _as_1d(y_true, "y_true", dtype=np.float64)
    treatment = _as_1d(treatment, "treatment")
    try:
        scores = np.asarray(uplift, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"uplift must hold numeric scores; the argument order is {ORDER}") from None
    is_matrix = scores.ndim == 2
    if scores.ndim == 1:
        scores = scores[:, None]
    elif scores.ndim != 2:
        raise ValueError(f"uplift must be one- or two-dimensional, got shape {scores.shape}")
    n = y.shape[0]
    if treatment.shape[0] != n or scores.shape[0] != n:
        raise ValueError(
            f"y_true, uplift and treatment must have the same number of rows "
            f"(got {n}, {scores.shape[0]}, {treatment.shape[0]})"
        )
    if _looks_like_scores(treatment):
        raise ValueError(
            f"treatment holds {np.unique(treatment).size} distinct fractional values, which look "
            f"like uplift scores: the argument order is {ORDER}"
        )
    if np.isnan(y).any():
        raise ValueError("y_true contains NaN")
    if np.isnan(scores).any():
        raise ValueError("uplift contains NaN")
    is_control = treatment == control
    if n > 0 and not np.any(is_control):
        if _whole_numbers(scores) and np.any(scores == control):
            raise ValueError(
                f"no row of treatment has the control label {control!r}, but uplift holds it: "
                f"the argument order is {ORDER}"
            )
        raise ValueError(f"no row has the control label {control!r}")
    if treatment_values is None:
        others = treatment[~is_control]
        labels = list(np.unique(others)) if others.size else []
        if len(labels) != scores.shape[1]:
            if scores.shape[1] == 1:
                raise ValueError(
                    f"treatment holds {len(labels)} treatment labels besides control; "
                    "pass treatment_values to choose"
                )
            raise ValueError(
                f"uplift has {scores.shape[1]} columns but treatment holds {len(labels)} "
                "treatment labels besides control; pass treatment_values"
            )
    else:
        if np.ndim(treatment_values) == 0:
            treatment_values = [treatment_values]
        labels = list(treatment_values)
        if len(labels) != scores.shape[1]:
            raise ValueError(f"uplift has {scores.shape[1]} columns but {len(labels)} treatment values were given")
    return y, treatment, scores, labels, is_matrix


def _pair(y, treatment, score, control, label):
    """Rows of control + one treatment group: (y, is_treated, score)."""
    is_t = treatment == label
    keep = is_t | (treatment == control)
    return y[keep], is_t[keep], score[keep]


# --------------------------------------------------------------------- cumulative sums


class _Ranked(NamedTuple):
    """The rows of one comparison sorted by decreasing score, with the index of the
    last row of every run of tied scores."""

    order: np.ndarray
    y: np.ndarray
    t: np.ndarray
    ends: np.ndarray


def _rank(y, is_t, score) -> _Ranked:
    order = np.argsort(-score, kind="mergesort")
    s = score[order]
    ends = np.append(np.flatnonzero(np.diff(s) != 0), s.shape[0] - 1) if s.shape[0] else np.zeros(0, dtype=np.intp)
    return _Ranked(order, y[order], is_t[order].astype(np.float64), ends)


def _sums(r: _Ranked, weight: Optional[np.ndarray] = None):
    """Cumulative (rows, treated, control, treated outcome, control outcome) at the end
    of every run of ties, preceded by the zero point. ``weight`` (in ranked order)
    counts each row that many times, as a bootstrap sample does."""
    n = r.y.shape[0]
    w = np.ones(n) if weight is None else weight
    tw = r.t * w
    out = np.zeros((4, r.ends.shape[0] + 1))
    for row, v in zip(out, (w, tw, r.y * w, r.y * tw)):
        row[1:] = np.cumsum(v)[r.ends]
    k, n_t, y_all, y_t = out
    # Control sums as differences: three fewer passes over the rows, which the
    # bootstrap repeats hundreds of times.
    return k, n_t, k - n_t, y_t, y_all - y_t


def _safe_div(a, b):
    out = np.zeros_like(a, dtype=np.float64)
    np.divide(a, b, out=out, where=b != 0)
    return out


def _curve(kind, sums):
    k, n_t, n_c, y_t, y_c = sums
    if kind == "qini":
        return k, y_t - _safe_div(y_c * n_t, n_c)
    return k, (_safe_div(y_t, n_t) - _safe_div(y_c, n_c)) * (n_t + n_c)


def _perfect_score(kind, y, is_t):
    if kind == "qini":
        return np.where(is_t, y, -y)
    lo, hi = (float(y.min()), float(y.max())) if y.size else (0.0, 0.0)
    z = (y - lo) / (hi - lo) if hi > lo else np.zeros_like(y)
    # Treated responders, then control non-responders; then whichever of control
    # responders and treated non-responders weighs more, so the curve falls least.
    if np.sum(z[~is_t]) > np.sum(1.0 - z[is_t]):
        return np.where(is_t, 3.0 * z, 2.0 - z)
    return np.where(is_t, 2.0 * z + 1.0, 2.0 - 2.0 * z)


def _area(x, v):
    """Trapezoid area of v / N over x / N, N = x[-1]."""
    total = x[-1]
    if total <= 0:
        return 0.0
    xs = x / total
    vs = v / total
    return float(np.sum((xs[1:] - xs[:-1]) * (vs[1:] + vs[:-1]) * 0.5))


def _random_area(x, v):
    total = x[-1]
    if total <= 0:
        return 0.0
    return float(v[-1] / total * 0.5)


class _Comparison:
    """One treatment group against control: the model's and the perfect ranking."""

    def __init__(self, kind, y, is_t, score):
        self.kind = kind
        self.is_t = is_t
        self.actual = _rank(y, is_t, score)
        self.perfect = _rank(y, is_t, _perfect_score(kind, y, is_t))

    def value(self, normalize, subtract_random, counts=None):
        """The area score; ``counts`` (in input order) weights the rows."""
        w = None if counts is None else counts[self.actual.order]
        x, v = _curve(self.kind, _sums(self.actual, w))
        area, rand = _area(x, v), _random_area(x, v)
        if normalize:
            wp = None if counts is None else counts[self.perfect.order]
            xp, vp = _curve(self.kind, _sums(self.perfect, wp))
            best = _area(xp, vp) - rand
            return (area - rand) / best if best > 0 else float("nan")
        return area - rand if subtract_random else area


# ----------------------------------------------------------------------------- curves


def _curves(kind, y_true, uplift, treatment, control, treatment_values, perfect=False):
    y, treatment, scores, labels, is_matrix = _prepare(y_true, uplift, treatment, control, treatment_values)
    out = []
    for j, label in enumerate(labels):
        yy, tt, ss = _pair(y, treatment, scores[:, j], control, label)
        if perfect:
            ss = _perfect_score(kind, yy, tt)
        x, v = _curve(kind, _sums(_rank(yy, tt, ss)))
        out.append(UpliftCurve(x, v, label))
    return out if is_matrix else out[0]


def qini_curve(y_true, uplift, treatment, control=0, treatment_values=None):
    """Qini curve of each treatment group versus control.

    Returns an :class:`UpliftCurve` (``x`` = number of top-ranked rows, ``y`` = Qini
    value, in outcome units), or a list of them when ``uplift`` is a matrix.
    ``treatment_values`` names the treatment label of the score column(s); by default
    the sorted labels other than ``control``.
    """
    return _curves("qini", y_true, uplift, treatment, control, treatment_values)


def uplift_curve(y_true, uplift, treatment, control=0, treatment_values=None):
    """Uplift (cumulative gain) curve of each treatment group versus control; see
    :func:`qini_curve` for the arguments and the result."""
    return _curves("uplift", y_true, uplift, treatment, control, treatment_values)


def perfect_qini_curve(y_true, treatment, control=0, treatment_values=None):
    """Qini curve of the perfect ranking (the reference of the normalised coefficient)."""
    y = _as_1d(y_true, "y_true", dtype=np.float64)
    return _curves("qini", y, np.zeros(y.shape[0]), treatment, control, treatment_values, perfect=True)


def perfect_uplift_curve(y_true, treatment, control=0, treatment_values=None):
    """Uplift curve of the perfect ranking (the reference of the normalised AUUC)."""
    y = _as_1d(y_true, "y_true", dtype=np.float64)
    return _curves("uplift", y, np.zeros(y.shape[0]), treatment, control, treatment_values, perfect=True)


# ---------------------------------------------------------------------------- scalars


def _comparisons(kind, y_true, uplift, treatment, control, treatment_values):
    y, treatment, scores, labels, is_matrix = _prepare(y_true, uplift, treatment, control, treatment_values)
    comps = []
    for j, label in enumerate(labels):
        yy, tt, ss = _pair(y, treatment, scores[:, j], control, label)
        comps.append(_Comparison(kind, yy, tt, ss))
    return comps, is_matrix


def _scalar(kind, y_true, uplift, treatment, control, treatment_values, normalize, subtract_random):
    comps, is_matrix = _comparisons(kind, y_true, uplift, treatment, control, treatment_values)
    values = np.array([c.value(normalize, subtract_random) for c in comps])
    return values if is_matrix else float(values[0])


def qini_coefficient(y_true, uplift, treatment, control=0, treatment_values=None, normalize=True):
    """Qini coefficient per treatment group: the area between the Qini curve and the
    random line, divided (``normalize=True``) by that of the perfect ranking.

    Returns a float for one score column, an array for a score matrix."""
    return _scalar("qini", y_true, uplift, treatment, control, treatment_values, normalize, True)


def auuc(y_true, uplift, treatment, control=0, treatment_values=None, normalize=True):
    """Area under the uplift (gain) curve per treatment group. Normalised (default):
    the excess over random relative to the perfect ranking's excess (1 = perfect,
    0 = random); otherwise the plain area."""
    return _scalar("uplift", y_true, uplift, treatment, control, treatment_values, normalize, False)


def bootstrap_ci(
    y_true,
    uplift,
    treatment,
    control=0,
    treatment_values=None,
    *,
    metric: str = "qini",
    normalize: bool = True,
    ci: float = 0.95,
    n_bootstrap: int = 200,
    random_state: Optional[int] = 0,
):
    """Percentile bootstrap interval of the Qini coefficient (``metric="qini"``) or the
    AUUC (``metric="auuc"``).

    Each replicate redraws the treated and the control rows separately, with
    replacement, so group sizes stay fixed. Seeded by ``random_state``: the same call
    gives the same interval. Returns ``(low, high)``: floats for one score column,
    arrays for a score matrix."""
    if metric not in ("qini", "auuc"):
        raise ValueError("metric must be 'qini' or 'auuc'")
    if not 0.0 < float(ci) < 1.0:
        raise ValueError("ci must be a level strictly between 0 and 1, such as 0.95")
    if int(n_bootstrap) < 1:
        raise ValueError("n_bootstrap must be at least 1")
    kind = "qini" if metric == "qini" else "uplift"
    comps, is_matrix = _comparisons(kind, y_true, uplift, treatment, control, treatment_values)
    rng = np.random.default_rng(random_state)
    alpha = (1.0 - float(ci)) / 2.0
    lows, highs = np.empty(len(comps)), np.empty(len(comps))
    for j, comp in enumerate(comps):
        groups = [np.flatnonzero(comp.is_t), np.flatnonzero(~comp.is_t)]
        draws = np.empty(int(n_bootstrap))
        for b in range(draws.size):
            counts = np.zeros(comp.is_t.shape[0])
            for rows in groups:
                if rows.size:
                    counts[rows] = np.bincount(rng.integers(0, rows.size, rows.size), minlength=rows.size)
            draws[b] = comp.value(normalize, kind == "qini", counts)
        draws = draws[~np.isnan(draws)]
        if draws.size == 0:
            lows[j] = highs[j] = np.nan
        else:
            lows[j], highs[j] = np.quantile(draws, [alpha, 1.0 - alpha])
    if is_matrix:
        return lows, highs
    return float(lows[0]), float(highs[0])


# --------------------------------------------------------------------------- top-k


def uplift_at_k(
    y_true,
    uplift,
    treatment,
    k: Union[float, int] = 0.3,
    control=0,
    treatment_values=None,
    strategy: str = "overall",
):
    """Observed uplift among the top-scored rows: treated mean outcome minus control
    mean outcome.

    ``k`` is a fraction in (0, 1] (a float) or a number of rows (an int).
    ``strategy="overall"`` takes the top ``k`` of the pooled treated + control rows;
    ``strategy="by_group"`` takes the top ``k`` of the treated rows and of the control
    rows separately. The value is NaN when one group has no row in the selection.
    """
    if strategy not in ("overall", "by_group"):
        raise ValueError("strategy must be 'overall' or 'by_group'")
    y, treatment, scores, labels, is_matrix = _prepare(y_true, uplift, treatment, control, treatment_values)
    values = np.empty(len(labels))
    for j, label in enumerate(labels):
        yy, tt, ss = _pair(y, treatment, scores[:, j], control, label)
        if strategy == "overall":
            top = _top(ss, k)
            values[j] = _mean(yy[top][tt[top]]) - _mean(yy[top][~tt[top]])
        else:
            yt, st = yy[tt], ss[tt]
            yc, sc = yy[~tt], ss[~tt]
            values[j] = _mean(yt[_top(st, k)]) - _mean(yc[_top(sc, k)])
    return values if is_matrix else float(values[0])


def _top(score, k):
    n = score.shape[0]
    if isinstance(k, (bool, np.bool_)):
        raise ValueError("k must be a fraction in (0, 1] or a positive number of rows")
    if isinstance(k, (int, np.integer)):
        if k < 1:
            raise ValueError("k must be a fraction in (0, 1] or a positive number of rows")
        count = min(int(k), n)
    else:
        k = float(k)
        if not 0.0 < k <= 1.0:
            raise ValueError("k must be a fraction in (0, 1] or a positive number of rows")
        count = int(np.ceil(k * n - 1e-9))
    order = np.argsort(-score, kind="mergesort")
    return order[:count]


def _mean(v):
    return float(np.mean(v)) if v.size else float("nan")


# ---------------------------------------------------------------------- percentiles


def _slices(n, n_bins):
    """Start and end of ``n_bins`` consecutive, nearly equal slices of ``n`` rows."""
    edges = np.concatenate([[0], np.cumsum([len(p) for p in np.array_split(np.arange(n), n_bins)])])
    return list(zip(edges[:-1], edges[1:]))


def _bin_sums(y, n_bins):
    """Row count and outcome sum of each slice of ``y``."""
    cuts = _slices(y.size, n_bins)
    return np.array([b - a for a, b in cuts], dtype=np.float64), np.array([y[a:b].sum() for a, b in cuts])


def _percentile_table(yy, tt, ss, bins, strategy, label) -> PercentileTable:
    # Tied scores that straddle a bin edge go to the bins in reverse input order, as
    # scikit-uplift places them, so that the two tables agree row for row.
    order = np.argsort(ss, kind="mergesort")[::-1]
    y_sorted, t_sorted = yy[order], tt[order]
    if strategy == "overall":
        cuts = _slices(yy.size, bins)
        n_t = np.array([t_sorted[a:b].sum() for a, b in cuts], dtype=np.float64)
        n_c = np.array([b - a for a, b in cuts], dtype=np.float64) - n_t
        s_t = np.array([y_sorted[a:b][t_sorted[a:b]].sum() for a, b in cuts])
        s_c = np.array([y_sorted[a:b][~t_sorted[a:b]].sum() for a, b in cuts])
    else:
        n_t, s_t = _bin_sums(y_sorted[t_sorted], bins)
        n_c, s_c = _bin_sums(y_sorted[~t_sorted], bins)
    rate_t = np.full(bins, np.nan)
    rate_c = np.full(bins, np.nan)
    np.divide(s_t, n_t, out=rate_t, where=n_t > 0)
    np.divide(s_c, n_c, out=rate_c, where=n_c > 0)
    step = 100.0 / bins
    names = [f"{step * i:g}-{step * (i + 1):g}" for i in range(bins)]
    return PercentileTable(
        names, n_t.astype(np.int64), n_c.astype(np.int64), rate_t, rate_c, rate_t - rate_c, label
    )


def uplift_by_percentile(
    y_true, uplift, treatment, control=0, treatment_values=None, bins: int = 10, strategy: str = "overall"
):
    """Counts, response rates and uplift per percentile bin of the score (deciles by
    default), highest scores first.

    ``strategy="overall"`` cuts the pooled treated + control rows into ``bins`` slices
    of nearly equal size; ``"by_group"`` cuts the treated and the control rows
    separately. Returns a :class:`PercentileTable` (``.to_frame()`` gives a
    DataFrame), or a list of them for a score matrix."""
    if strategy not in ("overall", "by_group"):
        raise ValueError("strategy must be 'overall' or 'by_group'")
    if isinstance(bins, (bool, np.bool_)) or not isinstance(bins, (int, np.integer)) or bins < 1:
        raise ValueError("bins must be a positive integer")
    y, treatment, scores, labels, is_matrix = _prepare(y_true, uplift, treatment, control, treatment_values)
    out = []
    for j, label in enumerate(labels):
        yy, tt, ss = _pair(y, treatment, scores[:, j], control, label)
        out.append(_percentile_table(yy, tt, ss, int(bins), strategy, label))
    return out if is_matrix else out[0]


def weighted_average_uplift(
    y_true, uplift, treatment, control=0, treatment_values=None, bins: int = 10, strategy: str = "overall"
):
    """Mean of the per-bin uplift of :func:`uplift_by_percentile`, weighted by each
    bin's treated rows (bins lacking either group are left out)."""
    tables = uplift_by_percentile(y_true, uplift, treatment, control, treatment_values, bins, strategy)
    single = isinstance(tables, PercentileTable)
    values = []
    for tab in [tables] if single else tables:
        ok = ~np.isnan(tab.uplift)
        w = tab.n_treatment[ok].astype(np.float64)
        values.append(float(np.sum(w * tab.uplift[ok]) / w.sum()) if w.sum() > 0 else float("nan"))
    return values[0] if single else np.array(values)


# ----------------------------------------------------------------------------- report


def uplift_report(
    y_true,
    uplift,
    treatment,
    control=0,
    treatment_values=None,
    k: Union[float, int] = 0.3,
    ci: Optional[float] = None,
    n_bootstrap: int = 200,
    random_state: Optional[int] = 0,
) -> List[Dict[str, Any]]:
    """One dict per treatment group with its sizes, observed average effect, Qini
    coefficient (normalised and raw), AUUC (normalised and raw) and uplift at ``k``;
    with ``ci`` (such as 0.95) also bootstrap intervals ``qini_low``/``qini_high`` and
    ``auuc_low``/``auuc_high``."""
    y, t, scores, labels, _ = _prepare(y_true, uplift, treatment, control, treatment_values)
    args = (y, scores, t, control, labels)
    qn = np.atleast_1d(qini_coefficient(*args, normalize=True))
    qr = np.atleast_1d(qini_coefficient(*args, normalize=False))
    an = np.atleast_1d(auuc(*args, normalize=True))
    ar = np.atleast_1d(auuc(*args, normalize=False))
    uk = np.atleast_1d(uplift_at_k(y, scores, t, k, control, labels))
    intervals = {}
    if ci is not None:
        for metric in ("qini", "auuc"):
            lo, hi = bootstrap_ci(*args, metric=metric, ci=ci, n_bootstrap=n_bootstrap, random_state=random_state)
            intervals[metric] = (np.atleast_1d(lo), np.atleast_1d(hi))
    is_c = t == control
    rows = []
    for j, label in enumerate(labels):
        is_t = t == label
        row = {
            "treatment": _plain(label),
            "n_treated": int(is_t.sum()),
            "n_control": int(is_c.sum()),
            "observed_effect": _mean(y[is_t]) - _mean(y[is_c]),
            "qini": float(qn[j]),
            "qini_raw": float(qr[j]),
            "auuc": float(an[j]),
            "auuc_raw": float(ar[j]),
            "uplift_at_k": float(uk[j]),
            "k": k,
        }
        for metric, (lo, hi) in intervals.items():
            row[f"{metric}_low"] = float(lo[j])
            row[f"{metric}_high"] = float(hi[j])
        rows.append(row)
    return rows


def _plain(value):
    """A label as a plain Python value (for JSON and printing)."""
    if isinstance(value, np.generic):
        return value.item()
    return value
