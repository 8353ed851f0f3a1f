"""scikit-learn style uplift forests over the ``quorvelin`` extension module.

The extension takes a table as column names plus rows of numbers or ``None``, and
treatment groups as small integers with 0 for control. This layer accepts NumPy
arrays and pandas DataFrames, treatment labels of any sortable type, NaN for
missing values and non-numeric categories, and turns them into that form.
"""

from __future__ import annotations

import inspect
import json
import math
import os
import tempfile
import warnings
from collections.abc import Mapping
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .modelfile import ModelFile, parse_model_text

__all__ = [
    "QuorvelinError",
    "UpliftRandomForestClassifier",
    "UpliftRandomForestRegressor",
    "load_estimator",
]

_META_SUFFIX = ".meta.json"
_META_FORMAT = "quorvelin-tools-estimator"
_MAX_GROUPS = 255  # treatment values are stored in one byte


class QuorvelinError(RuntimeError):
    """A failure reported by the extension module (bad table, unreadable model, ...).

    The module's own exception type derives from BaseException so that it passes
    through ``except Exception``; at this layer it becomes an ordinary error."""


def import_module():
    """The extension module, or ImportError with a hint."""
    try:
        import quorvelin
    except ImportError as exc:
        raise ImportError(
            "the quorvelin extension module is not importable; build and install the "
            "project with 'pip install .'"
        ) from exc
    return quorvelin


def call_module(fn, *args):
    """Calls into the extension, turning its BaseException-derived stops into
    QuorvelinError while letting Ctrl-C and interpreter exits through."""
    try:
        return fn(*args)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except Exception:
        raise
    except BaseException as exc:  # the module's stop type
        raise QuorvelinError(str(exc)) from exc


def _module_takes_arrays(module) -> bool:
    """Whether the extension accepts a 2-D float64 ndarray (NaN = missing) in place of
    a list of rows. No released build does yet; the flag is the switch."""
    return bool(getattr(module, "ACCEPTS_NDARRAY", False))


# ------------------------------------------------------------------------ table input


def _is_dataframe(X) -> bool:
    return type(X).__name__ == "DataFrame" and hasattr(X, "columns") and hasattr(X, "dtypes")


def _is_named(X) -> bool:
    return _is_dataframe(X) or isinstance(X, Mapping)


def _pandas():
    try:
        import pandas
    except ImportError:
        return None
    return pandas


def _rows_with_none(matrix: np.ndarray) -> List[List[Optional[float]]]:
    """Rows of a float64 matrix as lists, with None where the matrix holds NaN."""
    rows = matrix.tolist()
    nan = np.isnan(matrix)
    if nan.any():
        for r, c in zip(*np.nonzero(nan)):
            rows[r][c] = None
    return rows


def _isna_object(values: np.ndarray) -> np.ndarray:
    pd = _pandas()
    if pd is not None:
        return np.asarray(pd.isna(values), dtype=bool)
    out = np.zeros(values.shape[0], dtype=bool)
    for i, v in enumerate(values):
        if v is None or (isinstance(v, float) and math.isnan(v)):
            out[i] = True
    return out


def _plain(v):
    if isinstance(v, np.generic):
        return v.item()
    return v


def _sort_labels(values) -> List:
    values = list(values)
    try:
        return sorted(values)
    except TypeError:
        return sorted(values, key=lambda v: (type(v).__name__, str(v)))


def _encode(values: np.ndarray, categories: List, missing: np.ndarray) -> np.ndarray:
    """Category codes as floats: the position in ``categories``, NaN when missing and
    ``len(categories)`` for a value not seen at fit time (the model then routes it
    like any other unseen category)."""
    n = values.shape[0]
    unseen = float(len(categories))
    pd = _pandas()
    if pd is not None and len(set(map(_hashable_key, categories))) == len(categories):
        codes = pd.Index(categories, dtype=object).get_indexer(values).astype(np.float64)
        codes[codes < 0] = unseen
        codes[missing] = np.nan
        return codes
    lookup: Dict[Any, int] = {}
    for i, c in enumerate(categories):
        lookup.setdefault(c, i)
    codes = np.empty(n, dtype=np.float64)
    for i, v in enumerate(values):
        if missing[i]:
            codes[i] = np.nan
        else:
            try:
                codes[i] = lookup.get(_plain(v), unseen)
            except TypeError:  # unhashable value
                codes[i] = unseen
    return codes


def _hashable_key(v):
    try:
        hash(v)
    except TypeError:
        return id(v)
    return v


class _Column:
    __slots__ = ("name", "values", "categorical", "categories")

    def __init__(self, name, values, categorical, categories=None):
        self.name = name
        self.values = values  # float64, NaN = missing
        self.categorical = categorical
        self.categories = categories  # None: numeric values used as category codes


def _series_kind(series) -> str:
    """'category', 'numeric' or 'object' for a pandas Series."""
    dtype = series.dtype
    name = getattr(dtype, "name", str(dtype))
    if name == "category":
        return "category"
    if name in ("bool", "boolean"):
        return "numeric"
    kind = getattr(dtype, "kind", "O")
    return "numeric" if kind in "iufb" else "object"


def _series_numeric(series) -> np.ndarray:
    try:
        return series.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        return np.asarray(series, dtype=np.float64)


def _named_columns(X) -> List[Tuple[str, np.ndarray, Optional[List], bool]]:
    """(name, values, dtype categories, numeric) per column of a DataFrame or of a
    mapping name -> 1-D array. Numeric columns come as float64 (NaN = missing),
    others as object arrays."""
    out: List[Tuple[str, np.ndarray, Optional[List], bool]] = []
    if _is_dataframe(X):
        for c in X.columns:
            s = X[c]
            if getattr(s, "ndim", 1) != 1:
                raise ValueError(f"column name {str(c)!r} occurs twice")
            kind = _series_kind(s)
            if kind == "numeric":
                out.append((str(c), _series_numeric(s), None, True))
            elif kind == "category":
                cats = [_plain(v) for v in s.cat.categories]
                out.append((str(c), s.to_numpy(dtype=object), cats, False))
            else:
                out.append((str(c), s.to_numpy(dtype=object), None, False))
        return out
    n = None
    for k, v in X.items():
        arr = np.asarray(v)
        if arr.ndim != 1:
            raise ValueError(f"column {k!r} must be one-dimensional")
        if n is None:
            n = arr.shape[0]
        elif arr.shape[0] != n:
            raise ValueError(f"column {k!r} has {arr.shape[0]} values, the first column {n}")
        if arr.dtype.kind in "iufb":
            out.append((str(k), arr.astype(np.float64), None, True))
        else:
            out.append((str(k), arr.astype(object), None, False))
    return out


def _n_rows_named(X) -> int:
    if _is_dataframe(X):
        return len(X)
    for v in X.values():
        return int(np.asarray(v).shape[0])
    return 0


def _check_names(names: Sequence[str]):
    seen = set()
    for n in names:
        if n == "" or "\n" in n:
            raise ValueError(f"feature name {n!r} is empty or contains a line feed; rename it")
        if n in seen:
            raise ValueError(f"feature name {n!r} occurs twice")
        seen.add(n)


def _numeric_matrix(X) -> np.ndarray:
    arr = np.asarray(X)
    if arr.ndim == 1:
        raise ValueError("X must be two-dimensional (n_rows, n_features); reshape a single feature with X.reshape(-1, 1)")
    if arr.ndim != 2:
        raise ValueError(f"X must be two-dimensional, got shape {arr.shape}")
    return arr


# ------------------------------------------------------------------------- base class


class _UpliftForest:
    _model_name = ""
    _classifier = False
    # Column names to use in the model file for the treatment, outcome and weight
    # columns (keys "treatment", "y", "weight"); generic names when unset.
    _role_headers: Optional[Dict[str, Optional[str]]] = None

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

    # -- parameters -------------------------------------------------------------

    @classmethod
    def _param_names(cls) -> List[str]:
        sig = inspect.signature(_UpliftForest.__init__)
        return [p for p in sig.parameters if p != "self"]

    def get_params(self, deep: bool = True) -> Dict[str, Any]:
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params):
        valid = set(self._param_names())
        for key, value in params.items():
            if key not in valid:
                raise ValueError(
                    f"invalid parameter {key!r} for {type(self).__name__}; "
                    f"valid parameters: {sorted(valid)}"
                )
            setattr(self, key, value)
        return self

    def __repr__(self):
        defaults = _UpliftForest().get_params() if type(self) is _UpliftForest else type(self)().get_params()
        changed = [
            f"{k}={v!r}" for k, v in self.get_params().items() if not _same(v, defaults.get(k))
        ]
        return f"{type(self).__name__}({', '.join(changed)})"

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
        }
        if weight_col is not None:
            conf["weight"] = weight_col
        seed = self._seed()
        if seed is not None:
            conf["seed"] = seed
        return conf

    # -- table conversion ---------------------------------------------------------

    def _cat_spec(self, names: List[str]) -> set:
        wanted = self.categorical_features
        if wanted is None:
            return set()
        if isinstance(wanted, (str, int, np.integer)):
            wanted = [wanted]
        out = set()
        for item in wanted:
            if isinstance(item, (bool, np.bool_)):
                raise ValueError("categorical_features must hold column names or indices")
            if isinstance(item, (int, np.integer)):
                if not -len(names) <= int(item) < len(names):
                    raise ValueError(f"categorical feature index {item} out of range")
                out.add(names[int(item)])
            else:
                if str(item) not in names:
                    raise ValueError(f"categorical feature {item!r} is not a column of X")
                out.add(str(item))
        return out

    def _fit_columns(self, X) -> List[_Column]:
        """Reads X for fitting and learns its schema (names, categories)."""
        if _is_named(X):
            raw = _named_columns(X)
            names = [r[0] for r in raw]
            _check_names(names)
            declared = self._cat_spec(names)
            cols = []
            for name, values, dtype_cats, numeric in raw:
                if numeric:
                    cols.append(_Column(name, values, name in declared))
                    continue
                missing = _isna_object(values)
                if dtype_cats is None:
                    dtype_cats = _sort_labels({_plain(v) for v in values[~missing]})
                cols.append(_Column(name, _encode(values, dtype_cats, missing), True, dtype_cats))
            self.feature_names_in_ = np.asarray(names, dtype=object)
            return cols
        arr = _numeric_matrix(X)
        names = [f"x{j}" for j in range(arr.shape[1])]
        declared = self._cat_spec(names)
        if hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        cols = []
        for j, name in enumerate(names):
            col = arr[:, j]
            if name in declared and col.dtype.kind not in "iufb":
                values = col.astype(object)
                missing = _isna_object(values)
                categories = _sort_labels({_plain(v) for v in values[~missing]})
                cols.append(_Column(name, _encode(values, categories, missing), True, categories))
            else:
                try:
                    cols.append(_Column(name, col.astype(np.float64), name in declared))
                except (TypeError, ValueError):
                    raise ValueError(
                        f"column {j} of X is not numeric; declare it in categorical_features "
                        "or pass a DataFrame"
                    ) from None
        return cols

    def _predict_matrix(self, X) -> np.ndarray:
        """Reads X with the schema learnt at fit time; returns the float64 feature
        matrix in fit order (NaN = missing)."""
        names = self.feature_names_
        cats = self._categories
        if _is_named(X):
            raw = {r[0]: r for r in _named_columns(X)}
            missing_cols = [n for n in names if n not in raw]
            if missing_cols:
                raise ValueError(f"X lacks the feature column(s) {missing_cols} seen at fit time")
            out = np.empty((_n_rows_named(X), len(names)), dtype=np.float64)
            for j, name in enumerate(names):
                _, values, _, numeric = raw[name]
                categories = cats.get(name)
                if categories is not None:
                    values = values.astype(object)
                    out[:, j] = _encode(values, categories, _isna_object(values))
                elif numeric:
                    out[:, j] = values
                elif name in self.categorical_features_:
                    raise ValueError(
                        f"column {name!r} holds text, but the model knows its categories only as "
                        "numeric codes (the text-to-code mapping is kept in the model's "
                        ".meta.json file, written by save())"
                    )
                else:
                    raise ValueError(f"column {name!r} was numeric at fit time but is not now")
            return out
        arr = _numeric_matrix(X)
        if arr.shape[1] != len(names):
            raise ValueError(f"X has {arr.shape[1]} columns; the model was fitted on {len(names)}")
        if all(c is None for c in cats.values()) and arr.dtype.kind in "iufb":
            return arr.astype(np.float64)
        out = np.empty(arr.shape, dtype=np.float64)
        for j, name in enumerate(names):
            categories = cats.get(name)
            col = arr[:, j]
            if categories is not None:
                values = col.astype(object)
                out[:, j] = _encode(values, categories, _isna_object(values))
            else:
                try:
                    out[:, j] = col.astype(np.float64)
                except (TypeError, ValueError):
                    raise ValueError(f"column {j} of X is not numeric") from None
        return out

    @staticmethod
    def _reserved(base: str, taken: set) -> str:
        name = base
        while name in taken:
            name = "_" + name + "_"
        taken.add(name)
        return name

    # -- fitting --------------------------------------------------------------------

    def _treatment_codes(self, treatment) -> Tuple[np.ndarray, List]:
        t = np.asarray(treatment)
        if t.ndim != 1:
            raise ValueError("treatment must be one-dimensional")
        if t.dtype.kind == "f" and np.isnan(t).any():
            raise ValueError("treatment contains missing values")
        if t.dtype.kind == "O" and _isna_object(t).any():
            raise ValueError("treatment contains missing values")
        labels = [_plain(v) for v in np.unique(t)] if t.dtype.kind != "O" else _sort_labels(
            {_plain(v) for v in t}
        )
        wanted = _plain(self.control_name)
        matches = [v for v in labels if v == wanted]
        if not matches:
            raise ValueError(f"control_name {self.control_name!r} does not occur in treatment")
        control = matches[0]
        others = [v for v in labels if v != control]
        if not others:
            raise ValueError("treatment holds only the control group; at least one treatment group is needed")
        if len(others) + 1 > _MAX_GROUPS:
            raise ValueError(f"at most {_MAX_GROUPS - 1} treatment groups besides control are supported")
        classes = [control] + others
        lookup = {c: i for i, c in enumerate(classes)}
        codes = np.fromiter((lookup[_plain(v)] for v in t), dtype=np.float64, count=t.shape[0])
        return codes, classes

    def _check_y(self, y, n) -> np.ndarray:
        arr = np.asarray(y)
        if arr.ndim == 2 and arr.shape[1] == 1:
            arr = arr[:, 0]
        if arr.ndim != 1 or arr.shape[0] != n:
            raise ValueError(f"y must be one-dimensional with {n} values")
        try:
            arr = arr.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError("y must be numeric") from None
        if np.isnan(arr).any():
            raise ValueError("y contains missing values")
        if self._classifier and not np.isin(arr, (0.0, 1.0)).all():
            raise ValueError("y must hold only 0 and 1 for the classifier")
        return arr

    def fit(self, X, treatment, y, sample_weight=None):
        """Fits a new forest (an earlier fit is discarded).

        Args:
            X: (n_rows, n_features) array or DataFrame; NaN / None mean missing.
            treatment: one label per row; ``control_name`` marks the control group.
            y: outcome per row (0/1 for the classifier).
            sample_weight: optional non-negative weight per row.
        """
        module = import_module()
        columns = self._fit_columns(X)
        if not columns:
            raise ValueError("X has no feature column")
        n = columns[0].values.shape[0]
        if n == 0:
            raise ValueError("X has no rows")
        t_codes, classes = self._treatment_codes(treatment)
        if t_codes.shape[0] != n:
            raise ValueError(f"treatment has {t_codes.shape[0]} values, X has {n} rows")
        y_arr = self._check_y(y, n)
        names = [c.name for c in columns]
        cats = [c.name for c in columns if c.categorical]
        taken = set(names)
        # Callers that know the table's own column names (the command line) may ask for
        # them in the model file instead of the generic ones.
        hint = self._role_headers or {}
        t_col = self._reserved(hint.get("treatment") or "__treatment__", taken)
        y_col = self._reserved(hint.get("y") or "__y__", taken)
        w_col = None
        parts = [c.values for c in columns] + [t_codes, y_arr]
        headers = names + [t_col, y_col]
        if sample_weight is not None:
            w = np.asarray(sample_weight, dtype=np.float64).reshape(-1)
            if w.shape[0] != n:
                raise ValueError(f"sample_weight has {w.shape[0]} values, X has {n} rows")
            if np.isnan(w).any() or (w < 0).any():
                raise ValueError("sample_weight must be non-negative numbers")
            w_col = self._reserved(hint.get("weight") or "__weight__", taken)
            parts.append(w)
            headers.append(w_col)
        conf = self._conf(names, cats, t_col, y_col, w_col)
        matrix = np.column_stack(parts)
        model = call_module(module.CausalModel, self._model_name, conf)
        call_module(model.fit, headers, self._table_arg(module, matrix))
        self.model_ = model
        self.classes_ = np.asarray(classes, dtype=object if _mixed(classes) else None)
        self.n_treatments_ = len(classes) - 1
        self.feature_names_ = names
        self.n_features_in_ = len(names)
        self.categorical_features_ = cats
        self._categories = {c.name: c.categories for c in columns}
        self._conf_used = conf
        self._importances = None
        return self

    @staticmethod
    def _table_arg(module, matrix: np.ndarray):
        if _module_takes_arrays(module):
            return np.ascontiguousarray(matrix, dtype=np.float64)
        return _rows_with_none(matrix)

    # -- prediction -----------------------------------------------------------------

    def _check_fitted(self):
        if not hasattr(self, "model_"):
            raise ValueError(f"this {type(self).__name__} is not fitted yet; call fit first")

    def predict(self, X) -> np.ndarray:
        """Estimated uplift per row and treatment group: an ``(n_rows, n_treatments)``
        array, column ``k-1`` for ``classes_[k]`` versus control."""
        self._check_fitted()
        module = import_module()
        matrix = self._predict_matrix(X)
        if matrix.shape[0] == 0:
            return np.empty((0, self.n_treatments_))
        result = call_module(self.model_.predict, list(self.feature_names_), self._table_arg(module, matrix))
        out = np.asarray(result, dtype=np.float64).reshape(matrix.shape[0], -1)
        if np.isnan(out).any():
            bad = np.flatnonzero(np.isnan(out).any(axis=0))
            warnings.warn(
                f"{int(np.isnan(out).any(axis=1).sum())} row(s) got a NaN estimate for treatment "
                f"group(s) {[_plain(self.classes_[j + 1]) for j in bad]}: no node on the "
                "rows' paths, root included, holds training rows of both that group and the "
                "control. Use more rows per group.",
                RuntimeWarning,
                stacklevel=2,
            )
        return out

    # -- persistence ----------------------------------------------------------------

    def _meta(self) -> Dict[str, Any]:
        params = {}
        for k, v in self.get_params().items():
            if k == "random_state" and not (v is None or isinstance(v, (int, np.integer))):
                v = None
            params[k] = _jsonable(v, k)
        return {
            "format": _META_FORMAT,
            "version": 1,
            "estimator": type(self).__name__,
            "model_name": self._model_name,
            "params": params,
            "classes": [_jsonable(c, "treatment label") for c in self.classes_.tolist()],
            "feature_names": list(self.feature_names_),
            "categorical_features": list(self.categorical_features_),
            "categories": {
                k: None if v is None else [_jsonable(c, f"category of {k}") for c in v]
                for k, v in self._categories.items()
            },
            "dataframe": hasattr(self, "feature_names_in_"),
        }

    def save(self, path) -> None:
        """Writes the model file at ``path`` and the label mapping next to it, in
        ``<path>.meta.json``. The model file alone loads with the raw module."""
        self._check_fitted()
        meta = self._meta()
        path = os.fspath(path)
        call_module(self.model_.save, path)
        with open(path + _META_SUFFIX, "w", encoding="utf-8") as fh:
            json.dump(meta, fh, indent=1)
            fh.write("\n")

    @classmethod
    def load(cls, path):
        """Restores an estimator saved with :meth:`save`. Without the sidecar file the
        schema is read from the model file itself (features in order, treatment
        groups 0..k, control 0)."""
        est = load_estimator(path)
        if cls is not _UpliftForest and not isinstance(est, cls):
            raise ValueError(f"{path} holds a {type(est).__name__}, not a {cls.__name__}")
        return est

    # -- inspection -----------------------------------------------------------------

    def model_text(self) -> str:
        """The text of the model file."""
        self._check_fitted()
        fd, tmp = tempfile.mkstemp(prefix="quorvelin-", suffix=".model")
        os.close(fd)
        try:
            call_module(self.model_.save, tmp)
            with open(tmp, "r", encoding="utf-8") as fh:
                return fh.read()
        finally:
            try:
                os.unlink(tmp)
            except OSError:
                pass

    def model_file(self) -> ModelFile:
        return parse_model_text(self.model_text())

    @property
    def feature_importances_(self) -> np.ndarray:
        """Normalised sum of the split nodes' gain importance per feature, in the order
        of ``feature_names_``."""
        self._check_fitted()
        if getattr(self, "_importances", None) is None:
            self._importances = self.model_file().feature_importance(normalize=True)
        return self._importances.copy()


def _same(a, b) -> bool:
    try:
        return bool(a == b) and type(a) is type(b)
    except Exception:
        return False


def _mixed(values) -> bool:
    return len({type(v) for v in values}) > 1 or any(isinstance(v, str) for v in values)


def _jsonable(value, what):
    value = _plain(value)
    if isinstance(value, (list, tuple)):
        return [_jsonable(v, what) for v in value]
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"cannot store {what} {value!r}")
        return value
    raise ValueError(f"cannot store {what} {value!r} of type {type(value).__name__} in the metadata file")


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


def load_estimator(path, kind: Optional[str] = None):
    """Loads an estimator from a model file and, when present, its ``.meta.json``.

    ``kind`` ("RandomForestClassifier" or "RandomForestRegressor") is needed only for a
    model file without metadata, since the model file does not record its kind."""
    path = os.fspath(path)
    module = import_module()
    meta = None
    meta_path = path + _META_SUFFIX
    if os.path.exists(meta_path):
        with open(meta_path, "r", encoding="utf-8") as fh:
            try:
                meta = json.load(fh)
            except json.JSONDecodeError as exc:
                raise ValueError(f"{meta_path}: not valid JSON ({exc.msg})") from None
        if not isinstance(meta, dict) or meta.get("format") != _META_FORMAT:
            raise ValueError(f"{meta_path}: not a quorvelin estimator metadata file")
    if not os.path.exists(path):
        raise FileNotFoundError(f"model file not found: {path}")
    if meta is not None:
        cls = _KINDS.get(meta.get("estimator", ""))
        if cls is None:
            raise ValueError(f"{meta_path}: unknown estimator {meta.get('estimator')!r}")
    else:
        if kind is None:
            raise ValueError(
                f"{path} has no {_META_SUFFIX} file; pass kind='RandomForestClassifier' "
                "or kind='RandomForestRegressor'"
            )
        cls = _KINDS.get(kind)
        if cls is None:
            raise ValueError(f"unknown model kind {kind!r}")
    seed_model = call_module(module.CausalModel, cls._model_name, {})
    model = call_module(seed_model.load, cls._model_name, path)
    est = cls()
    if meta is not None:
        params = meta.get("params", {})
        est.set_params(**{k: v for k, v in params.items() if k in est._param_names()})
        classes = meta["classes"]
        est.feature_names_ = list(meta["feature_names"])
        est.categorical_features_ = list(meta["categorical_features"])
        est._categories = {k: v for k, v in meta["categories"].items()}
        if meta.get("dataframe"):
            est.feature_names_in_ = np.asarray(est.feature_names_, dtype=object)
    else:
        with open(path, "r", encoding="utf-8") as fh:
            mf = parse_model_text(fh.read())
        groups = mf.n_groups or 2
        classes = list(range(groups))
        est.feature_names_ = mf.feature_names
        est.categorical_features_ = mf.categorical_features
        est._categories = {n: None for n in est.feature_names_}
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
            categorical_features=est.categorical_features_ or None,
        )
    est.model_ = model
    est.classes_ = np.asarray(classes, dtype=object if _mixed(classes) else None)
    est.n_treatments_ = len(classes) - 1
    est.n_features_in_ = len(est.feature_names_)
    est._importances = None
    return est
