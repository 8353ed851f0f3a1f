"""The column schema of an estimator: which features it was fitted on, which of them are
categorical, and the text-to-code mapping of each categorical column.

Tables arrive as NumPy arrays, pandas DataFrames (NumPy, nullable and Arrow-backed
columns), ``pyarrow.Table`` or a mapping of name to 1-D array, and leave as one 1-D
NumPy column per feature for the engine's column door: numeric columns as they are where
the dtype allows (float32/float64/integers/booleans are read in place, NaN = missing),
categorical columns as float64 codes (NaN = missing, ``len(categories)`` for a value
unseen at fit time, which the model routes like any other unseen category).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

_READ_AS_IS = {np.dtype(t) for t in ("float32", "float64", "int8", "int16", "int32", "int64",
                                      "uint8", "uint16", "uint32", "uint64", "bool")}


def _pandas():
    try:
        import pandas
    except ImportError:
        return None
    return pandas


def plain(v):
    """A NumPy scalar as the Python value it holds."""
    return v.item() if isinstance(v, np.generic) else v


def sort_labels(values) -> List:
    values = list(values)
    try:
        return sorted(values)
    except TypeError:
        return sorted(values, key=lambda v: (type(v).__name__, str(v)))


def isna(values: np.ndarray) -> np.ndarray:
    pd = _pandas()
    if pd is not None:
        return np.asarray(pd.isna(values), dtype=bool)
    return np.fromiter(
        (v is None or (isinstance(v, float) and math.isnan(v)) for v in values), dtype=bool, count=len(values)
    )


def encode(values: np.ndarray, categories: List) -> np.ndarray:
    """Codes of ``values`` (object array) in ``categories``, as float64."""
    missing = isna(values)
    unseen = float(len(categories))
    pd = _pandas()
    try:
        if pd is None:
            raise TypeError
        codes = pd.Index(categories, dtype=object).get_indexer(values).astype(np.float64)
        codes[codes < 0] = unseen
    except (TypeError, ValueError):  # unhashable or duplicated labels: one by one
        lookup: Dict[Any, int] = {}
        for i, c in enumerate(categories):
            try:
                lookup.setdefault(c, i)
            except TypeError:
                pass
        codes = np.empty(len(values), dtype=np.float64)
        for i, v in enumerate(values):
            try:
                codes[i] = lookup.get(plain(v), unseen)
            except TypeError:
                codes[i] = unseen
    codes[missing] = np.nan
    return codes


# --------------------------------------------------------------------- reading one column


@dataclass
class RawColumn:
    """One column of the caller's table: numeric values (1-D array the door reads, NaN =
    missing) or labels (object array), and the categories a categorical dtype declares."""

    name: str
    numeric: Optional[np.ndarray] = None
    labels: Optional[np.ndarray] = None
    dtype_categories: Optional[List] = None
    dtype_codes: Optional[np.ndarray] = None  # integer codes in dtype_categories, -1 missing


def _arrow_numeric(chunked) -> Optional[np.ndarray]:
    """A numeric Arrow column as NumPy, without a copy when it is one chunk without nulls."""
    import pyarrow as pa

    t = chunked.type
    if not (pa.types.is_floating(t) or pa.types.is_integer(t) or pa.types.is_boolean(t)):
        return None
    if chunked.num_chunks == 1 and chunked.null_count == 0 and not pa.types.is_boolean(t):
        return chunked.chunk(0).to_numpy(zero_copy_only=True)
    return chunked.to_numpy().astype(np.float64) if chunked.null_count == 0 else np.asarray(
        chunked.cast(pa.float64()).to_numpy(zero_copy_only=False), dtype=np.float64
    )


def _arrow_column(name: str, chunked) -> RawColumn:
    import pyarrow as pa

    if isinstance(chunked, pa.Array):
        chunked = pa.chunked_array([chunked])
    numeric = _arrow_numeric(chunked)
    if numeric is not None:
        return RawColumn(name, numeric=numeric)
    if pa.types.is_dictionary(chunked.type):
        combined = chunked.combine_chunks() if chunked.num_chunks != 1 else chunked.chunk(0)
        cats = [plain(v) for v in combined.dictionary.to_pylist()]
        return RawColumn(name, labels=np.asarray(combined.to_pylist(), dtype=object), dtype_categories=cats)
    return RawColumn(name, labels=np.asarray(chunked.to_pylist(), dtype=object))


def _series_column(name: str, s) -> RawColumn:
    dtype = s.dtype
    if isinstance(dtype, np.dtype):
        if dtype in _READ_AS_IS:
            return RawColumn(name, numeric=s.to_numpy())
        if dtype.kind in "fiu":
            return RawColumn(name, numeric=s.to_numpy(dtype=np.float64))
        return RawColumn(name, labels=s.to_numpy(dtype=object))
    if getattr(dtype, "name", "") == "category":
        cats = [plain(v) for v in s.cat.categories]
        return RawColumn(name, labels=None, dtype_categories=cats, dtype_codes=s.cat.codes.to_numpy())
    pa_array = getattr(s.array, "_pa_array", None)
    if pa_array is not None:  # Arrow-backed (ArrowDtype, or string[pyarrow])
        return _arrow_column(name, pa_array)
    kind = getattr(dtype, "kind", "O")
    if kind in "iufb":  # nullable Int64 / Float64 / boolean: pd.NA becomes NaN
        return RawColumn(name, numeric=s.to_numpy(dtype=np.float64, na_value=np.nan))
    return RawColumn(name, labels=s.to_numpy(dtype=object))


def _array_column(name: str, values) -> RawColumn:
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"column {name!r} must be one-dimensional")
    if arr.dtype in _READ_AS_IS:
        return RawColumn(name, numeric=arr)
    if arr.dtype.kind in "fiu":
        return RawColumn(name, numeric=arr.astype(np.float64))
    return RawColumn(name, labels=arr.astype(object))


def is_named(X) -> bool:
    return is_dataframe(X) or is_arrow_table(X) or isinstance(X, Mapping)


def is_dataframe(X) -> bool:
    return type(X).__name__ == "DataFrame" and hasattr(X, "columns") and hasattr(X, "dtypes")


def is_arrow_table(X) -> bool:
    return type(X).__name__ == "Table" and type(X).__module__.startswith("pyarrow")


def named_columns(X) -> Tuple[List[RawColumn], int]:
    """The columns of a DataFrame, pyarrow Table or mapping, and the row count."""
    if is_dataframe(X):
        out = []
        for i, c in enumerate(X.columns):
            s = X.iloc[:, i]
            out.append(_series_column(str(c), s))
        return out, len(X)
    if is_arrow_table(X):
        return [_arrow_column(str(n), X.column(n)) for n in X.column_names], X.num_rows
    out, n = [], None
    for k, v in X.items():
        col = _series_column(str(k), v) if type(v).__name__ == "Series" else _array_column(str(k), v)
        length = len(col.numeric if col.numeric is not None else (
            col.labels if col.labels is not None else col.dtype_codes))
        if n is None:
            n = length
        elif length != n:
            raise ValueError(f"column {k!r} has {length} values, the first column {n}")
        out.append(col)
    return out, n or 0


def matrix(X) -> np.ndarray:
    arr = np.asarray(X)
    if arr.ndim == 1:
        raise ValueError(
            "X must be two-dimensional (n_rows, n_features); reshape a single feature with X.reshape(-1, 1)"
        )
    if arr.ndim != 2:
        raise ValueError(f"X must be two-dimensional, got shape {arr.shape}")
    return arr


def n_rows(X) -> int:
    if is_named(X):
        return named_columns(X)[1]
    return matrix(X).shape[0]


# ---------------------------------------------------------------------------- the schema


@dataclass
class TableSchema:
    """What an estimator learnt about its feature table at fit time."""

    names: List[str]
    categorical: List[str]
    # Per feature: the labels behind codes 0..k-1, or None for values used as they are.
    categories: Dict[str, Optional[List]]
    named: bool  # fitted on a DataFrame / Table / mapping (columns found by name)

    @classmethod
    def learn(cls, X, categorical_features) -> Tuple["TableSchema", List[np.ndarray]]:
        """The schema of the fit table and its columns for the door."""
        if is_named(X):
            raw, _ = named_columns(X)
            names = [c.name for c in raw]
            _check_names(names)
            declared = _declared(categorical_features, names)
            schema = cls(names, [], {}, True)
            cols = [schema._learn_column(c, c.name in declared) for c in raw]
        else:
            arr = matrix(X)
            names = [f"x{j}" for j in range(arr.shape[1])]
            declared = _declared(categorical_features, names)
            schema = cls(names, [], {}, False)
            cols = []
            for j, name in enumerate(names):
                raw = _array_column(name, arr[:, j])
                if raw.labels is not None and name not in declared:
                    raise ValueError(
                        f"column {j} of X is not numeric; declare it in categorical_features or pass a DataFrame"
                    )
                cols.append(schema._learn_column(raw, name in declared))
        return schema, cols

    def _learn_column(self, raw: RawColumn, declared: bool) -> np.ndarray:
        name = raw.name
        if raw.numeric is not None:
            self.categories[name] = None
            if declared:
                self.categorical.append(name)
            return raw.numeric
        self.categorical.append(name)
        if raw.dtype_categories is not None:
            cats = raw.dtype_categories
        else:
            labels = raw.labels
            cats = sort_labels({plain(v) for v in labels[~isna(labels)]})
        self.categories[name] = cats
        return _codes(raw, cats)

    def columns(self, X) -> List[np.ndarray]:
        """The feature columns of a table to predict, in fit order, coded as at fit time."""
        if is_named(X):
            raw, _ = named_columns(X)
            by_name = {c.name: c for c in raw}
            missing = [n for n in self.names if n not in by_name]
            if missing:
                raise ValueError(f"X lacks the feature column(s) {missing} seen at fit time")
            return [self._column(by_name[n]) for n in self.names]
        arr = matrix(X)
        if arr.shape[1] != len(self.names):
            raise ValueError(f"X has {arr.shape[1]} columns; the model was fitted on {len(self.names)}")
        out = []
        for j, name in enumerate(self.names):
            raw = _array_column(name, arr[:, j])
            if raw.labels is not None and self.categories.get(name) is None:
                raise ValueError(f"column {j} of X is not numeric")
            out.append(self._column(raw))
        return out

    def _column(self, raw: RawColumn) -> np.ndarray:
        cats = self.categories.get(raw.name)
        if cats is not None:
            return _codes(raw, cats)
        if raw.numeric is not None:
            return raw.numeric
        if raw.name in self.categorical:
            raise ValueError(
                f"column {raw.name!r} holds text, but the model knows its categories only as numeric codes"
            )
        raise ValueError(f"column {raw.name!r} was numeric at fit time but is not now")

    def to_json(self) -> Dict[str, Any]:
        return {
            "feature_names": list(self.names),
            "categorical_features": list(self.categorical),
            "categories": {k: v for k, v in self.categories.items()},
            "dataframe": self.named,
        }

    @classmethod
    def from_json(cls, d: Dict[str, Any]) -> "TableSchema":
        names = list(d["feature_names"])
        cats = d.get("categories") or {}
        return cls(names, list(d["categorical_features"]), {n: cats.get(n) for n in names}, bool(d.get("dataframe")))


def _codes(raw: RawColumn, cats: List) -> np.ndarray:
    if raw.numeric is not None:  # numbers where labels were learnt: look the numbers up
        return encode(raw.numeric.astype(object), cats)
    if raw.dtype_codes is not None:
        if raw.dtype_categories == cats:
            codes = raw.dtype_codes.astype(np.float64)
            codes[raw.dtype_codes < 0] = np.nan
            return codes
        labels = np.asarray(raw.dtype_categories + [None], dtype=object)[raw.dtype_codes]
        return encode(labels, cats)
    return encode(raw.labels, cats)


def _check_names(names: Sequence[str]):
    seen = set()
    for n in names:
        if n == "" or "\n" in n:
            raise ValueError(f"feature name {n!r} is empty or contains a line feed; rename it")
        if n in seen:
            raise ValueError(f"feature name {n!r} occurs twice")
        seen.add(n)


def _declared(wanted, names: List[str]) -> set:
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
        elif str(item) in names:
            out.add(str(item))
        else:
            raise ValueError(f"categorical feature {item!r} is not a column of X")
    return out
