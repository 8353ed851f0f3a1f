"""scikit-learn uplift forests over the ``quorvelin`` extension module.

``fit(X, y, treatment, sample_weight=None)`` takes the argument order of scikit-uplift and
causalml 1.0. Tables go to the engine column by column through the module's private door
(no per-row Python objects, GIL released while trees grow), so the estimators run at the
engine's own speed. Column handling lives in :mod:`._schema`, the saved file in
:mod:`._artefact`.
"""

from __future__ import annotations

import math
import os
import warnings
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
from sklearn.base import BaseEstimator

from . import _artefact
from ._door import (
    QuorvelinError,
    TreeProgress,
    call_module,
    fit_columns,
    import_module,
    predict_columns,
    predict_detail,
)
from ._schema import TableSchema, isna, plain, sort_labels
from .modelfile import ModelFile, parse_model_text

__all__ = [
    "QuorvelinError",
    "UpliftRandomForestClassifier",
    "UpliftRandomForestRegressor",
    "load_estimator",
]

_MAX_GROUPS = 255  # treatment values are stored in one byte
_ORDER_HINT = (
    "fit takes (X, y, treatment): y is the outcome and treatment the group label of each row, "
    "the order of scikit-uplift and causalml 1.0 (the old order was (X, treatment, y)); "
    "pass them by keyword, fit(X, y=..., treatment=...), to be explicit"
)


def _mixed(values) -> bool:
    return len({type(v) for v in values}) > 1 or any(isinstance(v, str) for v in values)


def _labels_array(labels) -> np.ndarray:
    return np.asarray(labels, dtype=object if _mixed(labels) else None)


class _UpliftForest(BaseEstimator):
    _model_name = ""
    _classifier = False
    # Column names to use in the model file for the treatment, outcome and weight columns
    # (keys "treatment", "y", "weight"); generic names when unset.
    _role_headers: Optional[Dict[str, Optional[str]]] = None
    # With metadata routing on, meta-estimators pass `treatment` to fit without being asked.
    __metadata_request__fit = {"treatment": True}

    def __init__(
        self,
        n_estimators: int = 100,
        max_depth: Optional[int] = 6,
        min_samples_leaf: int = 100,
        min_samples_treatment: int = 10,
        n_reg: int = 10,
        max_features=10,
        n_bins: int = 30,
        alpha: float = 0.9,
        normalization: bool = True,
        subsample: float = 1.0,
        random_state=None,
        n_jobs: Optional[int] = 1,
        control_name=0,
        categorical_features=None,
        verbose: int = 0,
        evaluationFunction: str = "KL",
        regression_criterion: str = "first_arm",
        honesty: bool = False,
        estimation_sample_size: float = 0.5,
    ):
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.min_samples_leaf = min_samples_leaf
        self.min_samples_treatment = min_samples_treatment
        self.n_reg = n_reg
        self.max_features = max_features
        self.n_bins = n_bins
        self.alpha = alpha
        self.normalization = normalization
        self.subsample = subsample
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.control_name = control_name
        self.categorical_features = categorical_features
        self.verbose = verbose
        # Opt-in engine settings, passed through only when not at their defaults:
        # evaluationFunction ("KL", "ED", "Chi", "CTS", "DDP") for the classifier,
        # regression_criterion ("first_arm", "all_arms") for the regressor, and honest
        # estimation on a share of each tree's rows.
        self.evaluationFunction = evaluationFunction
        self.regression_criterion = regression_criterion
        self.honesty = honesty
        self.estimation_sample_size = estimation_sample_size

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        tags.input_tags.allow_nan = True
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        tags.non_deterministic = self.random_state is None
        return tags

    # -- configuration ------------------------------------------------------------

    def _n_threads(self) -> int:
        n = self.n_jobs
        if n is None:
            return 1
        n = int(n)
        if n == 0:
            raise ValueError("n_jobs must not be 0")
        if n < 0:
            n = max(1, (os.cpu_count() or 1) + 1 + n)
        return n

    def _seed(self) -> Optional[int]:
        rs = self.random_state
        if rs is None:
            return None
        if isinstance(rs, (bool, np.bool_)):
            raise ValueError("random_state must be None, an int or a NumPy random generator")
        if isinstance(rs, (int, np.integer)):
            rs = int(rs)
            if not 0 <= rs < 2**64 - 1:
                raise ValueError("random_state must be between 0 and 2**64 - 2")
            return rs
        if isinstance(rs, np.random.RandomState):
            return int(rs.randint(0, 2**31 - 1))
        if isinstance(rs, np.random.Generator):
            return int(rs.integers(0, 2**63 - 1))
        raise ValueError("random_state must be None, an int or a NumPy random generator")

    def _n_max_features(self, n_features: int) -> int:
        mf = self.max_features
        if mf is None:
            return max(n_features, 1)
        if isinstance(mf, str):
            if mf == "sqrt":
                return max(1, int(math.sqrt(n_features)))
            if mf == "log2":
                return max(1, int(math.log2(n_features))) if n_features > 1 else 1
            raise ValueError("max_features must be an int, a fraction, 'sqrt', 'log2' or None")
        if isinstance(mf, (float, np.floating)):
            if not 0.0 < mf <= 1.0:
                raise ValueError("a fractional max_features must be in (0, 1]")
            return max(1, int(mf * n_features))
        mf = int(mf)
        if mf < 1:
            raise ValueError("max_features must be at least 1")
        return mf

    def _conf(self, features, cats, treatment_col, y_col, weight_col) -> Dict[str, Any]:
        def count(name, value, minimum=0):
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
                raise ValueError(f"{name} must be an integer")
            value = int(value)
            if value < minimum:
                raise ValueError(f"{name} must be at least {minimum}")
            return value

        n_bins = count("n_bins", self.n_bins, 1)
        if n_bins > 254:
            raise ValueError("n_bins must be at most 254")
        max_depth = 2**32 if self.max_depth is None else count("max_depth", self.max_depth)
        subsample = float(self.subsample)
        if not 0.0 < subsample:
            raise ValueError("subsample must be positive")
        conf: Dict[str, Any] = {
            "feature": list(features),
            "cat": list(cats),
            "treatment": [treatment_col],
            "y": y_col,
            "n_bin": n_bins,
            "min_samples_leaf": count("min_samples_leaf", self.min_samples_leaf),
            "min_samples_treatment": count("min_samples_treatment", self.min_samples_treatment),
            "n_reg": count("n_reg", self.n_reg),
            "alpha": float(self.alpha),
            "normalization": bool(self.normalization),
            "max_features": self._n_max_features(len(features)),
            "max_depth": max_depth,
            "n_tree": count("n_estimators", self.n_estimators),
            "subsample": subsample,
            "n_thread": self._n_threads(),
            # Each tree on its own random stream: the same forest on any n_jobs.
            "seed_per_tree": True,
        }
        if weight_col is not None:
            conf["weight"] = weight_col
        if self._classifier and self.evaluationFunction != "KL":
            conf["evaluation_function"] = str(self.evaluationFunction)
        if not self._classifier and self.regression_criterion != "first_arm":
            conf["regression_criterion"] = str(self.regression_criterion)
        if self.honesty:
            conf["honesty"] = True
        if float(self.estimation_sample_size) != 0.5:
            conf["estimation_sample_size"] = float(self.estimation_sample_size)
        seed = self._seed()
        if seed is not None:
            conf["seed"] = seed
        return conf

    @staticmethod
    def _reserved(base: str, taken: set) -> str:
        name = base
        while name in taken:
            name = "_" + name + "_"
        taken.add(name)
        return name

    # -- fitting --------------------------------------------------------------------

    def _treatment_codes(self, treatment, n: int) -> Tuple[np.ndarray, List]:
        t = np.asarray(treatment)
        if t.ndim != 1:
            raise ValueError("treatment must be one-dimensional")
        if t.shape[0] != n:
            raise ValueError(f"treatment has {t.shape[0]} values, X has {n} rows")
        if (t.dtype.kind == "f" and np.isnan(t).any()) or (t.dtype.kind == "O" and isna(t).any()):
            raise ValueError("treatment contains missing values")
        if t.dtype.kind == "O":
            labels = sort_labels({plain(v) for v in t})
            lookup = {c: i for i, c in enumerate(labels)}
            inverse = np.fromiter((lookup[plain(v)] for v in t), dtype=np.intp, count=n)
        else:
            uniq, inverse = np.unique(t, return_inverse=True)
            labels = [plain(v) for v in uniq]
        wanted = plain(self.control_name)
        matches = [i for i, v in enumerate(labels) if v == wanted]
        if not matches:
            raise ValueError(f"control_name {self.control_name!r} does not occur in treatment")
        control = matches[0]
        if len(labels) < 2:
            raise ValueError("treatment holds only the control group; at least one treatment group is needed")
        if len(labels) > _MAX_GROUPS:
            raise ValueError(f"at most {_MAX_GROUPS - 1} treatment groups besides control are supported")
        order = [control] + [i for i in range(len(labels)) if i != control]
        code_of = np.empty(len(labels), dtype=np.uint8)
        code_of[order] = np.arange(len(labels), dtype=np.uint8)
        return code_of[inverse.reshape(-1)], [labels[i] for i in order]

    def _check_y(self, y, n: int) -> np.ndarray:
        arr = np.asarray(y)
        if arr.ndim == 2 and arr.shape[1] == 1:
            arr = arr[:, 0]
        if arr.ndim != 1 or arr.shape[0] != n:
            raise ValueError(f"y must be one-dimensional with {n} values")
        if arr.dtype.kind not in "iufb":
            try:
                arr = arr.astype(np.float64)
            except (TypeError, ValueError):
                raise ValueError(f"y must be numeric outcomes; {_ORDER_HINT}") from None
        arr = np.asarray(arr, dtype=np.float64)
        if np.isnan(arr).any():
            raise ValueError("y contains missing values")
        if self._classifier and not np.isin(arr, (0.0, 1.0)).all():
            raise ValueError("y must hold only 0 and 1 for the classifier")
        return arr

    def _check_order(self, y, treatment) -> None:
        """Stops a call in the old (X, treatment, y) order where the values tell: y that holds
        the control label and looks like group labels while treatment looks like outcomes."""
        y_arr, t_arr = np.asarray(y), np.asarray(treatment)
        if y_arr.ndim != 1 or t_arr.ndim != 1:
            return
        control = plain(self.control_name)
        t_has_control = bool(np.any(t_arr == control)) if t_arr.size else True
        if y_arr.dtype.kind not in "iufb":
            raise ValueError(f"y holds labels, not outcomes; {_ORDER_HINT}")
        if t_has_control:
            # Still suspicious for the classifier: labels beyond 0/1 in y, 0/1 in treatment.
            if self._classifier and t_arr.dtype.kind in "iufb" and np.isin(t_arr, (0, 1)).all() \
                    and not np.isin(y_arr, (0, 1)).all() and np.all(y_arr == np.round(y_arr)):
                raise ValueError(
                    f"y must hold only 0 and 1 for the classifier, but holds {len(np.unique(y_arr))} "
                    f"distinct integers while treatment holds only 0 and 1; {_ORDER_HINT}"
                )
            return
        if np.any(y_arr == control):
            raise ValueError(
                f"control_name {self.control_name!r} occurs in y but not in treatment; {_ORDER_HINT}"
            )

    def fit(self, X, y, treatment, sample_weight=None):
        """Fits a new forest (an earlier fit is kept until this one succeeds).

        Args:
            X: (n_rows, n_features) array, DataFrame, ``pyarrow.Table`` or mapping of columns;
                NaN / None / ``pd.NA`` mean missing; text and categorical columns become
                categories.
            y: outcome per row (0/1 for the classifier).
            treatment: group label per row; ``control_name`` marks the control group.
            sample_weight: optional non-negative weight per row.
        """
        import_module()
        self._check_order(y, treatment)
        schema, columns = TableSchema.learn(X, self.categorical_features)
        if not columns:
            raise ValueError("X has no feature column")
        n = columns[0].shape[0]
        if n == 0:
            raise ValueError("X has no rows")
        t_codes, classes = self._treatment_codes(treatment, n)
        y_arr = self._check_y(y, n)
        taken = set(schema.names)
        # Callers that know the table's own column names (the command line) may ask for
        # them in the model file instead of the generic ones.
        hint = self._role_headers or {}
        t_col = self._reserved(hint.get("treatment") or "__treatment__", taken)
        y_col = self._reserved(hint.get("y") or "__y__", taken)
        w_col = None
        columns = columns + [t_codes, y_arr]
        headers = schema.names + [t_col, y_col]
        if sample_weight is not None:
            w = np.asarray(sample_weight, dtype=np.float64).reshape(-1)
            if w.shape[0] != n:
                raise ValueError(f"sample_weight has {w.shape[0]} values, X has {n} rows")
            # The engine weighs in 32-bit floats: infinity, or a value that becomes it, makes
            # every statistic NaN.
            if not np.isfinite(w).all() or (w < 0).any() or (w > np.finfo(np.float32).max).any():
                raise ValueError("sample_weight must be finite non-negative numbers")
            w_col = self._reserved(hint.get("weight") or "__weight__", taken)
            columns.append(w)
            headers.append(w_col)
        conf = self._conf(schema.names, schema.categorical, t_col, y_col, w_col)
        model = call_module(import_module().CausalModel, self._model_name, conf)
        progress = TreeProgress(conf["n_tree"]) if self.verbose else None
        fit_columns(model, headers, columns, progress)
        if progress is not None:
            progress.finish()
        self._set_fitted(model, schema, classes)
        self._conf_used = conf
        return self

    def _set_fitted(self, model, schema: TableSchema, classes) -> None:
        self.model_ = model
        self.classes_ = _labels_array(classes)
        self.n_treatments_ = len(classes) - 1
        self.feature_names_ = list(schema.names)
        self.n_features_in_ = len(schema.names)
        self.categorical_features_ = list(schema.categorical)
        self._schema = schema
        self._importances = None
        if schema.named:
            self.feature_names_in_ = np.asarray(schema.names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_

    # -- prediction -----------------------------------------------------------------

    def _check_fitted(self):
        if not hasattr(self, "model_"):
            raise ValueError(f"this {type(self).__name__} is not fitted yet; call fit first")

    def predict(self, X, full_output: bool = False, return_std: bool = False):
        """Estimated uplift per row and treatment group: an ``(n_rows, n_treatments)`` array,
        column ``k-1`` for ``classes_[k]`` versus control.

        ``return_std=True`` also returns the spread (population standard deviation) of the
        trees' estimates per row and group: ``(uplift, std)``. ``full_output=True`` returns a
        DataFrame instead, like causalml's: the estimated outcome under each group (the mean
        over trees of the group's outcome in the row's leaf), ``recommended_treatment``,
        ``delta_<group>`` (the uplift) and ``max_delta``; with ``return_std`` it gains
        ``std_<group>`` columns.
        """
        self._check_fitted()
        columns = self._schema.columns(X)
        k = self.n_treatments_
        if not columns or columns[0].shape[0] == 0:
            uplift = np.empty((0, k))
            std = np.empty((0, k))
            outcome = np.empty((0, k + 1))
        else:
            uplift = predict_columns(self.model_, self.feature_names_, columns, k)
            std, outcome = predict_detail(self.model_, self.feature_names_, columns, k, return_std, full_output)
        self._warn_nan(uplift)
        if full_output:
            return self._full_frame(X, uplift, outcome, std if return_std else None)
        return (uplift, std) if return_std else uplift

    def _warn_nan(self, out: np.ndarray) -> None:
        nan = np.isnan(out)
        if nan.any():
            bad = np.flatnonzero(nan.any(axis=0))
            warnings.warn(
                f"{int(nan.any(axis=1).sum())} row(s) got a NaN estimate for treatment "
                f"group(s) {[plain(self.classes_[j + 1]) for j in bad]}: no node on the "
                "rows' paths, root included, holds training rows of both that group and the "
                "control. Use more rows per group.",
                RuntimeWarning,
                stacklevel=3,
            )

    def _full_frame(self, X, uplift, outcome, std):
        import pandas as pd

        labels = [str(c) for c in self.classes_]
        data: Dict[str, np.ndarray] = {}
        for j, name in enumerate(labels):
            data[name] = outcome[:, j]
        best = np.argmax(np.where(np.isnan(uplift), -np.inf, uplift), axis=1) if uplift.size else np.zeros(0, int)
        max_delta = uplift[np.arange(uplift.shape[0]), best] if uplift.size else np.zeros(0)
        recommended = np.where(max_delta > 0, best + 1, 0)
        data["recommended_treatment"] = self.classes_[recommended]
        for j, name in enumerate(labels[1:]):
            data[f"delta_{name}"] = uplift[:, j]
        data["max_delta"] = max_delta
        if std is not None:
            for j, name in enumerate(labels[1:]):
                data[f"std_{name}"] = std[:, j]
        index = X.index if hasattr(X, "index") and type(X).__name__ == "DataFrame" else None
        return pd.DataFrame(data, index=index)

    def recommend(self, X, value=1.0, cost=0.0) -> np.ndarray:
        """The treatment label with the best expected net value per row, control when no
        group beats it: ``value * uplift[k] - cost[k]`` against 0 for control.

        ``value`` is the worth of one unit of outcome (a number or one per row); ``cost``
        the cost of treating one row: a number, one per treatment group (sequence in the
        order of ``classes_[1:]`` or mapping label -> cost), or an (n_rows, n_treatments)
        array."""
        uplift = self.predict(X)
        n, k = uplift.shape
        value = np.asarray(value, dtype=np.float64)
        if value.ndim == 1:
            value = value[:, None]
        if isinstance(cost, dict):
            missing = [c for c in self.classes_[1:].tolist() if c not in cost]
            if missing:
                raise ValueError(f"cost has no entry for treatment group(s) {missing}")
            cost = [cost[c] for c in self.classes_[1:].tolist()]
        cost = np.asarray(cost, dtype=np.float64)
        if cost.ndim == 1 and cost.shape[0] != k:
            raise ValueError(f"cost has {cost.shape[0]} values, the model {k} treatment group(s)")
        net = np.broadcast_to(value * uplift - cost, (n, k))
        net = np.where(np.isnan(net), -np.inf, net)
        best = np.argmax(net, axis=1) if k else np.zeros(n, dtype=int)
        gain = net[np.arange(n), best] if n else np.zeros(0)
        return self.classes_[np.where(gain > 0, best + 1, 0)]

    # -- persistence ----------------------------------------------------------------

    def _header(self) -> Dict[str, Any]:
        params = {}
        for k, v in self.get_params().items():
            if k == "random_state" and not (v is None or isinstance(v, (int, np.integer))):
                v = None
            params[k] = _artefact.jsonable(v, k)
        return {
            "estimator": type(self).__name__,
            "model_name": self._model_name,
            "params": params,
            "classes": [_artefact.jsonable(c, "treatment label") for c in self.classes_.tolist()],
            **{k: _artefact.jsonable(v, k) for k, v in self._schema.to_json().items()},
        }

    def save(self, path) -> None:
        """Writes one self-contained file: a header line (parameters, treatment labels,
        columns and the categories of text columns) followed by the engine's model text
        unchanged. :func:`load_estimator` restores it; :meth:`export_model` writes the bare
        model file for the module and the command line."""
        self._check_fitted()
        _artefact.write(os.fspath(path), self._header(), self.model_text())

    def export_model(self, path) -> None:
        """Writes the engine's own model file (what ``CausalModel.save`` writes)."""
        self._check_fitted()
        call_module(self.model_.save, os.fspath(path))

    @classmethod
    def load(cls, path):
        """Restores an estimator saved with :meth:`save`."""
        est = load_estimator(path)
        if cls is not _UpliftForest and not isinstance(est, cls):
            raise ValueError(f"{path} holds a {type(est).__name__}, not a {cls.__name__}")
        return est

    # -- inspection -----------------------------------------------------------------

    def model_text(self) -> str:
        """The text of the model file."""
        self._check_fitted()
        # The pickle state of a CausalModel is its model text.
        return call_module(self.model_.__reduce__)[2]

    def model_file(self) -> ModelFile:
        return parse_model_text(self.model_text())

    @property
    def feature_importances_(self) -> np.ndarray:
        """Normalised sum of the split nodes' gain importance per feature, in the order of
        ``feature_names_``."""
        self._check_fitted()
        if getattr(self, "_importances", None) is None:
            self._importances = self.model_file().feature_importance(normalize=True)
        return self._importances.copy()


class UpliftRandomForestClassifier(_UpliftForest):
    """Uplift random forest for a binary outcome (KL-divergence splits).

    ``predict`` returns the estimated change in P(y = 1) for each treatment group
    versus control."""

    _model_name = "RandomForestClassifier"
    _classifier = True


class UpliftRandomForestRegressor(_UpliftForest):
    """Uplift random forest for a continuous outcome.

    ``predict`` returns the estimated change in the mean of y for each treatment
    group versus control."""

    _model_name = "RandomForestRegressor"
    _classifier = False


_KINDS = {
    "UpliftRandomForestClassifier": UpliftRandomForestClassifier,
    "UpliftRandomForestRegressor": UpliftRandomForestRegressor,
    "RandomForestClassifier": UpliftRandomForestClassifier,
    "RandomForestRegressor": UpliftRandomForestRegressor,
}


def _is_label(value) -> bool:
    return isinstance(value, (str, int, float)) and not isinstance(value, bool)


def _is_int(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


# What each stored parameter may be; anything else is a damaged or hand-edited file.
_PARAM_CHECKS = {
    "n_estimators": _is_int,
    "max_depth": lambda v: v is None or _is_int(v),
    "min_samples_leaf": _is_int,
    "min_samples_treatment": _is_int,
    "n_reg": _is_int,
    "max_features": lambda v: v is None or _is_number(v) or isinstance(v, str),
    "n_bins": _is_int,
    "alpha": _is_number,
    "normalization": lambda v: isinstance(v, bool),
    "subsample": _is_number,
    "random_state": lambda v: v is None or _is_int(v),
    "n_jobs": lambda v: v is None or _is_int(v),
    "control_name": _is_label,
    "categorical_features": lambda v: v is None or (isinstance(v, list) and all(isinstance(c, str) or _is_int(c) for c in v)),
}


def _check_meta(meta: Dict[str, Any], meta_path: str, model_file) -> None:
    """Raises ValueError unless the metadata has the types a save writes and describes
    the model next to it (its features, and one label per treatment group)."""

    def bad(what):
        raise ValueError(f"{meta_path}: {what}")

    params = meta.get("params", {})
    if not isinstance(params, dict):
        bad("'params' must be an object")
    for name, value in params.items():
        check = _PARAM_CHECKS.get(name)
        if check is not None and not check(value):
            bad(f"parameter {name} has an invalid value {value!r}")
    classes = meta.get("classes")
    if not isinstance(classes, list) or len(classes) < 2 or not all(_is_label(c) for c in classes):
        bad("'classes' must list the control and at least one treatment label")
    groups = model_file.n_groups
    if groups is not None and groups != len(classes):
        bad(f"it names {len(classes)} treatment groups, but the model has {groups}")
    features = meta.get("feature_names")
    if features != model_file.feature_names:
        bad("'feature_names' differ from the model's features")
    cats = meta.get("categorical_features")
    if not isinstance(cats, list) or not all(isinstance(c, str) and c in features for c in cats):
        bad("'categorical_features' must list some of the model's features")
    categories = meta.get("categories")
    if not isinstance(categories, dict) or not all(
        isinstance(k, str) and (v is None or (isinstance(v, list) and all(_is_label(c) for c in v)))
        for k, v in categories.items()
    ):
        bad("'categories' must map feature names to null or a list of labels")


def load_estimator(path, kind: Optional[str] = None):
    """Loads an estimator saved with ``save`` (one file), or a plain model file: with its
    ``.meta.json`` from older saves, or else with ``kind`` ("RandomForestClassifier" or
    "RandomForestRegressor"), since a model file does not record its kind."""
    path = os.fspath(path)
    module = import_module()
    header, text = _artefact.read(path)
    if header is not None:
        cls = _KINDS.get(header.get("estimator", ""))
        if cls is None:
            raise ValueError(f"{path}: unknown estimator {header.get('estimator')!r}")
    else:
        if kind is None:
            raise ValueError(
                f"{path} is a bare model file; pass kind='RandomForestClassifier' or kind='RandomForestRegressor'"
            )
        cls = _KINDS.get(kind)
        if cls is None:
            raise ValueError(f"unknown model kind {kind!r}")
    model = call_module(module.CausalModel, cls._model_name, {})
    if header is not None and header.get("version", 1) >= 2:
        call_module(model.__setstate__, text)
    else:  # a model file on disk: the module's own strict reader
        model = call_module(model.load, cls._model_name, path)
    est = cls()
    if header is not None:
        _check_meta(header, path, parse_model_text(text))
        params = header.get("params", {})
        est.set_params(**{k: v for k, v in params.items() if k in est.get_params()})
        classes = header["classes"]
        schema = TableSchema.from_json(header)
    else:
        mf = parse_model_text(text)
        classes = list(range(mf.n_groups or 2))
        schema = TableSchema(mf.feature_names, mf.categorical_features, {n: None for n in mf.feature_names}, False)
        cfg = mf.config
        est.set_params(
            n_estimators=cfg.get("n_tree", 100),
            max_depth=cfg.get("max_depth", 6),
            min_samples_leaf=cfg.get("min_samples_leaf", 100),
            min_samples_treatment=cfg.get("min_samples_treatment", 10),
            n_reg=cfg.get("n_reg", 10),
            max_features=cfg.get("max_features", 10),
            n_bins=cfg.get("n_bin", 30),
            alpha=cfg.get("alpha", 0.9),
            normalization=cfg.get("normalization", True),
            subsample=cfg.get("subsample", 1.0),
            random_state=cfg.get("seed"),
            n_jobs=cfg.get("n_thread", 1) or 1,
            control_name=0,
            categorical_features=list(mf.categorical_features) or None,
            evaluationFunction=cfg.get("evaluation_function", "KL"),
            regression_criterion=cfg.get("regression_criterion", "first_arm"),
            honesty=cfg.get("honesty", False),
            estimation_sample_size=cfg.get("estimation_sample_size", 0.5),
        )
    est._set_fitted(model, schema, classes)
    return est
