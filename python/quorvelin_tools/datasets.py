"""Synthetic uplift data with known treatment effects.

Every generated row carries its true uplift for each treatment group, so a model's
estimates can be compared with the truth, not only ranked by Qini or AUUC.

The data-generating process (all groups assigned uniformly at random, so the effect
estimates are unconfounded):

* continuous features ``x0 .. x{p-1}`` are standard normal, with ``x1`` correlated
  with ``x0``; categorical features ``c0 .. c{q-1}`` take the integer codes
  ``0 .. n_categories-1`` (category 0 most frequent);
* a baseline ``mu(x)`` that does not depend on the treatment (on the logit scale for
  the classification data) and, for every treatment group ``k``, a heterogeneous
  effect ``tau_k(x)`` built from a few features and the first categorical feature;
* classification: ``P(y=1 | x, k) = sigmoid(mu(x) + tau_k(x))`` and the true uplift of
  group ``k`` is ``sigmoid(mu + tau_k) - sigmoid(mu)``;
  regression: ``y = mu(x) + tau_k(x) + noise`` and the true uplift is ``tau_k(x)``;
* after the outcomes are drawn, a fraction of the feature cells is blanked (NaN),
  completely at random, so the truth refers to the full feature vector.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

import numpy as np

__all__ = [
    "UpliftDataset",
    "make_uplift_classification",
    "make_uplift_regression",
]


@dataclass
class UpliftDataset:
    """A generated uplift table.

    Attributes:
        X: ``(n_rows, n_features)`` float64 matrix; NaN marks a missing value.
            Categorical columns hold integer category codes stored as floats.
        feature_names: one name per column of ``X``.
        categorical_features: the names of the categorical columns.
        treatment: ``(n_rows,)`` int64, 0 for control and ``1..n_treatments``.
        y: ``(n_rows,)`` outcome; int64 0/1 for classification, float64 otherwise.
        true_uplift: ``(n_rows, n_treatments)`` float64, column ``k-1`` is the true
            effect of treatment ``k`` versus control for that row.
        task: ``"classification"`` or ``"regression"``.
    """

    X: np.ndarray
    feature_names: List[str]
    categorical_features: List[str]
    treatment: np.ndarray
    y: np.ndarray
    true_uplift: np.ndarray
    task: str
    info: Dict[str, Any] = field(default_factory=dict)

    @property
    def n_rows(self) -> int:
        return int(self.X.shape[0])

    @property
    def n_treatments(self) -> int:
        return int(self.true_uplift.shape[1])

    @property
    def categorical_indices(self) -> List[int]:
        return [self.feature_names.index(c) for c in self.categorical_features]

    def columns(self, include_truth: bool = False, categories_as_text: bool = False) -> Dict[str, np.ndarray]:
        """The table as an ordered mapping ``name -> column`` (features, then
        ``treatment`` and ``y``, then ``true_uplift_<k>`` if asked for).

        With ``categories_as_text`` the categorical columns hold the labels "A", "B",
        ... (None for missing) instead of codes, so that a reader of a written table
        recognises them as categorical."""
        out: Dict[str, np.ndarray] = {}
        cats = set(self.categorical_features)
        for j, name in enumerate(self.feature_names):
            col = self.X[:, j]
            if categories_as_text and name in cats:
                col = np.array([None if c != c else _category_text(int(c)) for c in col.tolist()], dtype=object)
            out[name] = col
        out["treatment"] = self.treatment
        out["y"] = self.y
        if include_truth:
            for k in range(self.n_treatments):
                out[f"true_uplift_{k + 1}"] = self.true_uplift[:, k]
        return out

    def to_frame(self, include_truth: bool = False):
        """The table as a pandas DataFrame; categorical features get the pandas
        ``category`` dtype (with NaN for missing). Requires pandas."""
        try:
            import pandas as pd
        except ImportError as exc:  # pragma: no cover - depends on the environment
            raise ImportError("to_frame() needs pandas; install it with 'pip install pandas'") from exc
        cols = self.columns(include_truth=include_truth)
        frame = pd.DataFrame(cols)
        for name in self.categorical_features:
            frame[name] = pd.Categorical(frame[name].astype("Int64"))
        return frame

    def split(self, test_fraction: float = 0.3, seed: Optional[int] = None):
        """Random train/test split; returns two datasets."""
        if not 0.0 < test_fraction < 1.0:
            raise ValueError("test_fraction must be between 0 and 1")
        rng = np.random.default_rng(seed)
        order = rng.permutation(self.n_rows)
        n_test = int(round(self.n_rows * test_fraction))
        return self.subset(order[n_test:]), self.subset(order[:n_test])

    def subset(self, rows: np.ndarray) -> "UpliftDataset":
        return UpliftDataset(
            X=self.X[rows],
            feature_names=list(self.feature_names),
            categorical_features=list(self.categorical_features),
            treatment=self.treatment[rows],
            y=self.y[rows],
            true_uplift=self.true_uplift[rows],
            task=self.task,
            info=dict(self.info),
        )


def _category_text(code: int) -> str:
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    return letters[code] if 0 <= code < len(letters) else f"C{code}"


def _sigmoid(z: np.ndarray) -> np.ndarray:
    return 1.0 / (1.0 + np.exp(-z))


def _check_args(n_rows, n_features, n_categorical, n_treatments, n_categories, missing_fraction):
    if int(n_rows) < 1:
        raise ValueError("n_rows must be at least 1")
    if int(n_features) < 3:
        raise ValueError("n_features must be at least 3 (the effects use x0, x1 and x2)")
    if int(n_categorical) < 0:
        raise ValueError("n_categorical must not be negative")
    if int(n_treatments) < 1:
        raise ValueError("n_treatments must be at least 1 (besides the control group)")
    if int(n_treatments) > 254:
        raise ValueError("n_treatments must be at most 254")
    if int(n_categories) < 2:
        raise ValueError("n_categories must be at least 2")
    if not 0.0 <= float(missing_fraction) < 1.0:
        raise ValueError("missing_fraction must be in [0, 1)")


def _features(rng, n_rows, n_features, n_categorical, n_categories):
    cont = rng.standard_normal((n_rows, n_features))
    # A correlated pair makes the split search face redundant candidates.
    cont[:, 1] = 0.6 * cont[:, 0] + 0.8 * cont[:, 1]
    # Zipf-like category frequencies: category 0 most common.
    weights = 1.0 / np.arange(1, n_categories + 1)
    weights /= weights.sum()
    cats = rng.choice(n_categories, size=(n_rows, n_categorical), p=weights).astype(np.float64)
    names = [f"x{j}" for j in range(n_features)] + [f"c{j}" for j in range(n_categorical)]
    return cont, cats, names


def _effects(cont, cats, n_treatments, scale):
    """Heterogeneous effects tau_k(x), one column per treatment group.

    Group k responds to a different mix of features, with alternating sign on x2 so
    that the groups rank rows differently."""
    n = cont.shape[0]
    cat_term = np.zeros(n)
    if cats.shape[1] > 0:
        c0 = cats[:, 0]
        cat_term = np.where(c0 == 0, 0.4, np.where(c0 == 1, -0.3, 0.0))
    tau = np.empty((n, n_treatments))
    for k in range(n_treatments):
        sign = 1.0 if k % 2 == 0 else -1.0
        strength = 1.0 + 0.25 * k
        tau[:, k] = scale * strength * (
            0.5 * np.tanh(1.5 * cont[:, 0])
            + sign * 0.35 * (cont[:, 2] > 0)
            + cat_term
            - 0.1 * k
        )
    return tau


def _assign(rng, n_rows, n_treatments, treatment_probs):
    n_groups = n_treatments + 1
    if treatment_probs is None:
        p = np.full(n_groups, 1.0 / n_groups)
    else:
        p = np.asarray(treatment_probs, dtype=np.float64)
        if p.shape != (n_groups,) or np.any(p < 0) or not np.isclose(p.sum(), 1.0):
            raise ValueError(
                f"treatment_probs must be {n_groups} non-negative numbers summing to 1 "
                "(control first)"
            )
    return rng.choice(n_groups, size=n_rows, p=p).astype(np.int64)


def _blank(rng, X, missing_fraction):
    if missing_fraction > 0.0:
        mask = rng.random(X.shape) < missing_fraction
        X[mask] = np.nan
    return X


def make_uplift_classification(
    n_rows: int = 10_000,
    n_features: int = 8,
    n_categorical: int = 2,
    n_treatments: int = 2,
    missing_fraction: float = 0.05,
    seed: Optional[int] = None,
    n_categories: int = 5,
    base_rate: float = 0.3,
    effect_scale: float = 1.0,
    treatment_probs=None,
) -> UpliftDataset:
    """Binary-outcome uplift data (``y`` in {0, 1}) with known true uplift.

    Args:
        n_rows: number of rows.
        n_features: number of continuous features (at least 3).
        n_categorical: number of categorical features.
        n_treatments: treatment groups besides control (at least 1).
        missing_fraction: fraction of feature cells set to NaN, at random.
        seed: seed of the generator (None: fresh entropy).
        n_categories: categories per categorical feature.
        base_rate: approximate control response rate.
        effect_scale: multiplies every effect on the logit scale.
        treatment_probs: assignment probabilities, control first (default uniform).
    """
    _check_args(n_rows, n_features, n_categorical, n_treatments, n_categories, missing_fraction)
    if not 0.0 < base_rate < 1.0:
        raise ValueError("base_rate must be between 0 and 1")
    rng = np.random.default_rng(seed)
    cont, cats, names = _features(rng, int(n_rows), int(n_features), int(n_categorical), int(n_categories))
    logit0 = np.log(base_rate / (1.0 - base_rate))
    mu = logit0 + 0.8 * cont[:, 1] - 0.5 * cont[:, 3 % n_features] ** 2 + 0.25
    if cats.shape[1] > 1:
        mu = mu + 0.3 * (cats[:, 1] == 0)
    tau = _effects(cont, cats, int(n_treatments), 0.8 * float(effect_scale))
    treatment = _assign(rng, int(n_rows), int(n_treatments), treatment_probs)
    p0 = _sigmoid(mu)
    pk = _sigmoid(mu[:, None] + tau)
    true_uplift = pk - p0[:, None]
    p_obs = np.where(treatment == 0, p0, pk[np.arange(n_rows), np.maximum(treatment - 1, 0)])
    y = (rng.random(int(n_rows)) < p_obs).astype(np.int64)
    X = _blank(rng, np.hstack([cont, cats]), float(missing_fraction))
    return UpliftDataset(
        X=X,
        feature_names=names,
        categorical_features=names[int(n_features):],
        treatment=treatment,
        y=y,
        true_uplift=true_uplift,
        task="classification",
        info={"seed": seed, "missing_fraction": float(missing_fraction)},
    )


def make_uplift_regression(
    n_rows: int = 10_000,
    n_features: int = 8,
    n_categorical: int = 2,
    n_treatments: int = 2,
    missing_fraction: float = 0.05,
    seed: Optional[int] = None,
    n_categories: int = 5,
    noise: float = 1.0,
    effect_scale: float = 1.0,
    treatment_probs=None,
) -> UpliftDataset:
    """Continuous-outcome uplift data with known true uplift ``tau_k(x)``.

    The arguments are those of :func:`make_uplift_classification`, with ``noise``
    (standard deviation of the Gaussian outcome noise) in place of ``base_rate``.
    """
    _check_args(n_rows, n_features, n_categorical, n_treatments, n_categories, missing_fraction)
    if float(noise) < 0:
        raise ValueError("noise must not be negative")
    rng = np.random.default_rng(seed)
    cont, cats, names = _features(rng, int(n_rows), int(n_features), int(n_categorical), int(n_categories))
    mu = 2.0 + 1.5 * cont[:, 1] + np.sin(2.0 * cont[:, 3 % n_features])
    if cats.shape[1] > 1:
        mu = mu + 0.5 * cats[:, 1]
    tau = _effects(cont, cats, int(n_treatments), 1.5 * float(effect_scale))
    treatment = _assign(rng, int(n_rows), int(n_treatments), treatment_probs)
    effect_obs = np.where(treatment == 0, 0.0, tau[np.arange(n_rows), np.maximum(treatment - 1, 0)])
    y = mu + effect_obs + float(noise) * rng.standard_normal(int(n_rows))
    X = _blank(rng, np.hstack([cont, cats]), float(missing_fraction))
    return UpliftDataset(
        X=X,
        feature_names=names,
        categorical_features=names[int(n_features):],
        treatment=treatment,
        y=y.astype(np.float64),
        true_uplift=tau.copy(),
        task="regression",
        info={"seed": seed, "missing_fraction": float(missing_fraction), "noise": float(noise)},
    )
