"""Reading and writing the command line's tables (CSV, or Parquet with pyarrow).

A table is held as an ordered dict ``name -> 1-D array``: float64 with NaN for a
numeric column, an object array with None for any other column. A column is numeric
when every cell that is not a missing-value marker (NA_STRINGS) parses as a number.
"""

from __future__ import annotations

import csv
import os
from typing import Dict, List, Sequence

import numpy as np

__all__ = ["TableError", "read_table", "write_table", "NA_STRINGS"]

# Cells read as missing values, as most CSV writers spell them.
NA_STRINGS = frozenset(
    ["", "NA", "N/A", "n/a", "NaN", "nan", "-NaN", "-nan", "null", "NULL", "None", "#N/A", "<NA>"]
)

Table = Dict[str, np.ndarray]


class TableError(ValueError):
    """The file is missing, unreadable or not a well-formed table."""


def _is_parquet(path: str) -> bool:
    return path.lower().endswith((".parquet", ".pq"))


def read_table(path: str) -> Table:
    """Reads a CSV file (with a header line; every row must have as many fields as the
    header) or a Parquet file."""
    if not os.path.exists(path):
        raise TableError(f"file not found: {path}")
    if os.path.isdir(path):
        raise TableError(f"{path} is a directory, not a table file")
    if _is_parquet(path):
        return _read_parquet(path)
    return _read_csv(path)


def _check_header(names: Sequence[str], path: str):
    seen = set()
    for n in names:
        if n in seen:
            raise TableError(f"{path}: column {n!r} occurs twice in the header")
        seen.add(n)
    if not names:
        raise TableError(f"{path}: the table has no columns")


def _read_csv(path: str) -> Table:
    try:
        with open(path, "r", encoding="utf-8", newline="") as fh:
            reader = csv.reader(fh)
            try:
                header = next(reader)
            except StopIteration:
                raise TableError(f"{path}: empty file, no header line") from None
            header = [h.strip() for h in header]
            _check_header(header, path)
            if any(h == "" for h in header):
                raise TableError(f"{path}: malformed table: a header field is empty")
            width = len(header)
            rows: List[List[str]] = []
            for row in reader:
                if not row:
                    continue
                if len(row) != width:
                    raise TableError(
                        f"{path}: malformed table: line {reader.line_num} has {len(row)} "
                        f"fields, the header has {width}"
                    )
                rows.append(row)
    except UnicodeDecodeError:
        raise TableError(f"{path}: not UTF-8 text") from None
    except csv.Error as exc:
        raise TableError(f"{path}: malformed table: {exc}") from None
    table: Table = {}
    columns = list(zip(*rows)) if rows else [() for _ in header]
    for name, col in zip(header, columns):
        table[name] = _parse_column(col)
    return table


def _parse_column(col: Sequence[str]) -> np.ndarray:
    """A numeric column as float64 (NaN for missing cells), any other as an object
    array of stripped strings (None for missing cells)."""
    try:
        return np.array(col, dtype=np.float64)
    except ValueError:
        pass
    cleaned = [v.strip() for v in col]
    try:
        return np.array(["nan" if v in NA_STRINGS else v for v in cleaned], dtype=np.float64)
    except ValueError:
        pass
    return np.array([None if v in NA_STRINGS else v for v in cleaned], dtype=object)


def _read_parquet(path: str) -> Table:
    try:
        import pyarrow.parquet as pq
        import pyarrow as pa
        import pyarrow.compute as pc
    except ImportError:
        raise TableError(
            f"{path}: reading Parquet needs pyarrow; install it with 'pip install pyarrow' "
            "or convert the table to CSV"
        ) from None
    try:
        tab = pq.read_table(path)
    except (OSError, pa.ArrowInvalid) as exc:
        raise TableError(f"{path}: not a readable Parquet file ({exc})") from None
    names = [str(n) for n in tab.column_names]
    _check_header(names, path)
    table: Table = {}
    for name, col in zip(names, tab.columns):
        t = col.type
        if pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t):
            table[name] = np.asarray(pc.cast(col, pa.float64()).to_numpy(zero_copy_only=False), dtype=np.float64)
        else:
            values = col.to_pylist()
            table[name] = np.asarray([None if v is None else v for v in values], dtype=object)
    return table


def _format(v) -> str:
    if v is None:
        return ""
    if isinstance(v, (float, np.floating)):
        return _format_float(float(v))
    if isinstance(v, np.generic):
        return str(v.item())
    return str(v)


def _format_float(f: float, single: bool = False) -> str:
    if f != f:
        return ""
    if f.is_integer() and abs(f) < 1e15:
        return str(int(f))
    # Shortest text that reads back to the same value (of 32-bit width if asked).
    return str(np.float32(f)) if single else repr(f)


def write_table(path: str, table: Table, single_precision: Sequence[str] = ()) -> None:
    """Writes a table as CSV, or as Parquet when the name ends in .parquet / .pq.
    Columns named in ``single_precision`` hold 32-bit values and are written with
    the shortest text that reads back to the same 32-bit value."""
    names = list(table)
    if _is_parquet(path):
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise TableError("writing Parquet needs pyarrow; install it with 'pip install pyarrow'") from None
        arrays = []
        for n in names:
            col = table[n]
            if col.dtype.kind in "iufb":
                arrays.append(pa.array(col))
            else:
                arrays.append(pa.array([None if v is None else str(v) for v in col]))
        pq.write_table(pa.table(arrays, names=names), path)
        return
    single = set(single_precision)
    columns = [table[n] for n in names]
    n_rows = len(columns[0]) if columns else 0
    with open(path, "w", encoding="utf-8", newline="") as fh:
        w = csv.writer(fh, lineterminator="\n")
        w.writerow(names)
        formatted = []
        for name, col in zip(names, columns):
            if col.dtype.kind == "f":
                formatted.append([_format_float(f, name in single) for f in col.tolist()])
            else:
                formatted.append([_format(v) for v in col.tolist()])
        for i in range(n_rows):
            w.writerow([c[i] for c in formatted])
