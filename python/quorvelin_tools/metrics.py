"""Uplift evaluation: Qini and uplift (gain) curves, their areas, and uplift at top-k.

All functions take the observed outcome ``y``, the treatment label of every row and
the model's uplift scores. Each treatment group is evaluated against the control
group on the rows of those two groups only; rows of other treatment groups are
ignored for that comparison.

Scores may be one column (one treatment group) or an ``(n_rows, n_treatments)``
matrix, one column per treatment group, as returned by the estimators' ``predict``.
With a matrix, curve functions return one curve per column and scalar metrics a
NumPy array with one value per column.

Definitions. Sort the rows of (control + treatment ``t``) by decreasing score. For
the first ``k`` rows let ``n_t, n_c`` be the treated and control counts and
``y_t, y_c`` the sums of their outcomes.

* Qini curve: ``Q(k) = y_t - y_c * n_t / n_c`` (``y_c * n_t / n_c`` taken as 0 while
  ``n_c = 0``): the extra outcomes in the treated group of the top ``k`` rows,
  compared with what their control rate predicts.
* Uplift (gain) curve: ``U(k) = (y_t / n_t - y_c / n_c) * (n_t + n_c)`` (a rate with
  a zero denominator counts as 0): the difference of rates, scaled to the ``k`` rows.

Rows with equal scores cannot be ordered by the model, so the curves are evaluated
only at the end of each run of tied scores and joined by straight lines; the result
does not depend on the input order of tied rows. Both curves start at (0, 0).

Areas. An area is the trapezoid integral of ``curve / N`` over ``x = k / N``
(``N`` = number of rows compared), so it is in the units of the outcome rate and
does not grow with the table size. The random ranking is the straight line from
(0, 0) to the curve's end point; the perfect ranking sorts by ``y`` for treated
rows and by ``-y`` for control rows (responders among the treated first,
responders among the controls last).

* ``qini_coefficient(normalize=False)``: area(Qini) - area(random).
* ``qini_coefficient(normalize=True)`` (default): that difference divided by the
  same difference for the perfect ranking; 1 is perfect, 0 is random, negative is
  worse than random.
* ``auuc(normalize=False)`` (default): area under the uplift curve.
* ``auuc(normalize=True)``: (area - random area) / (perfect area - random area),
  the gain-curve analogue of the normalised Qini coefficient.

A normalised value is NaN when the perfect ranking does no better than random
(for example when no row has a non-zero outcome).
"""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Union

import numpy as np

__all__ = [
    "UpliftCurve",
    "qini_curve",
    "uplift_curve",
    "perfect_qini_curve",
    "perfect_uplift_curve",
    "qini_coefficient",
    "auuc",
    "uplift_at_k",
    "uplift_report",
]


class UpliftCurve(NamedTuple):
    """A curve: ``x`` is the number of top-ranked rows, ``y`` the curve value there."""

    x: np.ndarray
    y: np.ndarray
    treatment: Any = None


# --------------------------------------------------------------------------- inputs


def _as_1d(values, name: str, dtype=None) -> np.ndarray:
    arr = np.asarray(values, dtype=dtype)
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    return arr


def _prepare(y, treatment, uplift, control, treatment_values):
    """Validates the inputs and returns (y, treatment, score matrix, labels, is_matrix)."""
    y = _as_1d(y, "y", dtype=np.float64)
    treatment = _as_1d(treatment, "treatment")
    scores = np.asarray(uplift, dtype=np.float64)
    is_matrix = scores.ndim == 2
    if scores.ndim == 1:
        scores = scores[:, None]
    elif scores.ndim != 2:
        raise ValueError(f"uplift must be one- or two-dimensional, got shape {scores.shape}")
    n = y.shape[0]
    if treatment.shape[0] != n or scores.shape[0] != n:
        raise ValueError(
            f"y, treatment and uplift must have the same number of rows "
            f"(got {n}, {treatment.shape[0]}, {scores.shape[0]})"
        )
    if np.isnan(y).any():
        raise ValueError("y contains NaN")
    if np.isnan(scores).any():
        raise ValueError("uplift contains NaN")
    is_control = treatment == control
    if n > 0 and not np.any(is_control):
        raise ValueError(f"no row has the control label {control!r}")
    if treatment_values is None:
        others = treatment[~is_control]
        labels = list(np.unique(others)) if others.size else []
        if len(labels) != scores.shape[1]:
            if scores.shape[1] == 1:
                raise ValueError(
                    f"treatment holds {len(labels)} treatment labels besides control; "
                    "pass treatment_value / treatment_values to choose"
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
            raise ValueError(
                f"uplift has {scores.shape[1]} columns but {len(labels)} treatment values were given"
            )
    return y, treatment, scores, labels, is_matrix


def _pair(y, treatment, score, control, label):
    """Rows of control + one treatment group: (y, is_treated, score)."""
    is_t = treatment == label
    keep = is_t | (treatment == control)
    return y[keep], is_t[keep], score[keep]


# --------------------------------------------------------------------- cumulative sums


def _cumulative(y, is_t, score):
    """Cumulative counts and outcome sums at the end of every run of tied scores,
    preceded by the zero point. Returns (k, n_t, n_c, y_t, y_c) as float arrays."""
    n = y.shape[0]
    if n == 0:
        z = np.zeros(1)
        return z, z, z, z, z
    order = np.argsort(-score, kind="mergesort")
    s = score[order]
    t = is_t[order].astype(np.float64)
    yy = y[order]
    ends = np.flatnonzero(np.diff(s) != 0)
    ends = np.append(ends, n - 1)
    n_t = np.cumsum(t)[ends]
    n_c = (ends + 1) - n_t
    y_t = np.cumsum(yy * t)[ends]
    y_c = np.cumsum(yy * (1.0 - t))[ends]
    k = (ends + 1).astype(np.float64)
    zero = np.zeros(1)
    return (
        np.concatenate([zero, k]),
        np.concatenate([zero, n_t]),
        np.concatenate([zero, n_c]),
        np.concatenate([zero, y_t]),
        np.concatenate([zero, y_c]),
    )


def _safe_div(a, b):
    out = np.zeros_like(a, dtype=np.float64)
    np.divide(a, b, out=out, where=b != 0)
    return out


def _qini_values(n_t, n_c, y_t, y_c):
    return y_t - _safe_div(y_c * n_t, n_c)


def _uplift_values(n_t, n_c, y_t, y_c):
    return (_safe_div(y_t, n_t) - _safe_div(y_c, n_c)) * (n_t + n_c)


def _one_curve(kind, y, is_t, score):
    k, n_t, n_c, y_t, y_c = _cumulative(y, is_t, score)
    if kind == "qini":
        return k, _qini_values(n_t, n_c, y_t, y_c)
    return k, _uplift_values(n_t, n_c, y_t, y_c)


def _perfect_score(y, is_t):
    return np.where(is_t, y, -y)


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


# ----------------------------------------------------------------------------- curves


def _curves(kind, y, treatment, uplift, control, treatment_value, perfect=False):
    y, treatment, scores, labels, is_matrix = _prepare(y, treatment, uplift, control, treatment_value)
    out = []
    for j, label in enumerate(labels):
        yy, tt, ss = _pair(y, treatment, scores[:, j], control, label)
        if perfect:
            ss = _perfect_score(yy, tt)
        x, v = _one_curve(kind, yy, tt, ss)
        out.append(UpliftCurve(x, v, label))
    return out if is_matrix else out[0]


def qini_curve(y, treatment, uplift, control=0, treatment_value=None):
    """Qini curve of each treatment group versus control.

    Returns an :class:`UpliftCurve` (``x`` = number of top-ranked rows, ``y`` = Qini
    value, in outcome units), or a list of them when ``uplift`` is a matrix.
    ``treatment_value`` names the treatment label of the score column(s); by default
    the sorted labels other than ``control``.
    """
    return _curves("qini", y, treatment, uplift, control, treatment_value)


def uplift_curve(y, treatment, uplift, control=0, treatment_value=None):
    """Uplift (cumulative gain) curve of each treatment group versus control; see
    :func:`qini_curve` for the arguments and the result."""
    return _curves("uplift", y, treatment, uplift, control, treatment_value)


def perfect_qini_curve(y, treatment, control=0, treatment_value=None):
    """Qini curve of the perfect ranking (the reference of the normalised coefficient)."""
    y = _as_1d(y, "y", dtype=np.float64)
    return _curves("qini", y, treatment, np.zeros(y.shape[0]), control, treatment_value, perfect=True)


def perfect_uplift_curve(y, treatment, control=0, treatment_value=None):
    """Uplift curve of the perfect ranking."""
    y = _as_1d(y, "y", dtype=np.float64)
    return _curves("uplift", y, treatment, np.zeros(y.shape[0]), control, treatment_value, perfect=True)


# ---------------------------------------------------------------------------- scalars


def _scalar(kind, y, treatment, uplift, control, treatment_values, normalize, subtract_random):
    y, treatment, scores, labels, is_matrix = _prepare(y, treatment, uplift, control, treatment_values)
    values = np.empty(len(labels))
    for j, label in enumerate(labels):
        yy, tt, ss = _pair(y, treatment, scores[:, j], control, label)
        x, v = _one_curve(kind, yy, tt, ss)
        area = _area(x, v)
        rand = _random_area(x, v)
        if normalize:
            xp, vp = _one_curve(kind, yy, tt, _perfect_score(yy, tt))
            best = _area(xp, vp) - rand
            values[j] = (area - rand) / best if best > 0 else np.nan
        else:
            values[j] = area - rand if subtract_random else area
    return values if is_matrix else float(values[0])


def qini_coefficient(y, treatment, uplift, control=0, treatment_values=None, normalize=True):
    """Qini coefficient per treatment group: the area between the Qini curve and the
    random line, divided (``normalize=True``) by that of the perfect ranking.

    Returns a float for one score column, an array for a score matrix."""
    return _scalar("qini", y, treatment, uplift, control, treatment_values, normalize, True)


def auuc(y, treatment, uplift, control=0, treatment_values=None, normalize=False):
    """Area under the uplift (gain) curve per treatment group; with ``normalize=True``
    the excess over random relative to the perfect ranking's excess."""
    return _scalar("uplift", y, treatment, uplift, control, treatment_values, normalize, False)


def uplift_at_k(
    y,
    treatment,
    uplift,
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
    y, treatment, scores, labels, is_matrix = _prepare(y, treatment, uplift, control, treatment_values)
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


def uplift_report(
    y,
    treatment,
    uplift,
    control=0,
    treatment_values=None,
    k: Union[float, int] = 0.3,
) -> List[Dict[str, Any]]:
    """One dict per treatment group with its sizes, observed average effect, Qini
    coefficient (raw and normalised), AUUC (raw and normalised) and uplift at ``k``."""
    y_, treatment_, scores, labels, _ = _prepare(y, treatment, uplift, control, treatment_values)
    qn = np.atleast_1d(qini_coefficient(y_, treatment_, scores, control, labels, normalize=True))
    qr = np.atleast_1d(qini_coefficient(y_, treatment_, scores, control, labels, normalize=False))
    au = np.atleast_1d(auuc(y_, treatment_, scores, control, labels, normalize=False))
    an = np.atleast_1d(auuc(y_, treatment_, scores, control, labels, normalize=True))
    uk = np.atleast_1d(uplift_at_k(y_, treatment_, scores, k, control, labels))
    is_c = treatment_ == control
    rows = []
    for j, label in enumerate(labels):
        is_t = treatment_ == label
        rows.append(
            {
                "treatment": _plain(label),
                "n_treated": int(is_t.sum()),
                "n_control": int(is_c.sum()),
                "observed_effect": _mean(y_[is_t]) - _mean(y_[is_c]),
                "qini": float(qn[j]),
                "qini_raw": float(qr[j]),
                "auuc": float(au[j]),
                "auuc_normalized": float(an[j]),
                "uplift_at_k": float(uk[j]),
                "k": k,
            }
        )
    return rows


def _plain(value):
    """A label as a plain Python value (for JSON and printing)."""
    if isinstance(value, np.generic):
        return value.item()
    return value
