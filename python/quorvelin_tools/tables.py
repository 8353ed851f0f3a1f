"""Reading and writing the command line's tables: CSV (any of `,` `;` tab `|` as the
delimiter), Parquet and Feather, through pyarrow's readers.

A table is held as an ordered dict ``name -> 1-D array``: float64 with NaN for a
numeric column, an object array of stripped strings with None for any other column.
Cells spelled as in NA_STRINGS (and any extra markers the caller names) are missing.
"""

from __future__ import annotations

import csv
import os
from typing import Dict, NamedTuple, Optional, Sequence

import numpy as np

__all__ = [
    "TableError",
    "read_table",
    "write_table",
    "stray_tokens",
    "check_writable",
    "NA_STRINGS",
    "READ_SUFFIXES",
    "WRITE_SUFFIXES",
]

# Cells read as missing values, as most CSV writers spell them.
NA_STRINGS = ("", "NA", "N/A", "n/a", "NaN", "nan", "-NaN", "-nan", "null", "NULL", "None", "#N/A", "<NA>")

_PARQUET = (".parquet", ".pq")
_FEATHER = (".feather", ".arrow", ".ipc")
_TEXT = (".csv", ".tsv", ".tab", ".txt", "")
READ_SUFFIXES = _TEXT[:-1] + _PARQUET + _FEATHER
WRITE_SUFFIXES = (".csv", ".tsv", ".txt") + _PARQUET + _FEATHER

Table = Dict[str, np.ndarray]


class TableError(ValueError):
    """The file is missing, unreadable or not a well-formed table."""


def _suffix(path: str) -> str:
    return os.path.splitext(os.fspath(path))[1].lower()


def _pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise TableError("reading and writing tables needs pyarrow; install it with 'pip install pyarrow'") from None
    import pyarrow as pa

    return pa


# --------------------------------------------------------------------------- reading


def read_table(path: str, sep: Optional[str] = None, na_values: Sequence[str] = ()) -> Table:
    """Reads a CSV, Parquet or Feather file, chosen by the file name's suffix (text
    for anything else). ``sep`` is the CSV delimiter (found from the header line when
    None); ``na_values`` adds missing-value markers to NA_STRINGS."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise TableError(f"file not found: {path}")
    if os.path.isdir(path):
        raise TableError(f"{path} is a directory, not a table file")
    suffix = _suffix(path)
    if suffix in _PARQUET:
        return _read_arrow(path, "Parquet")
    if suffix in _FEATHER:
        return _read_arrow(path, "Feather")
    return _read_csv(path, sep, tuple(na_values))


def _header_line(path: str) -> str:
    with open(path, "rb") as fh:
        head = fh.read(1 << 16)
    if head.startswith(b"PK\x03\x04") or b"\x00" in head:
        raise TableError(
            f"{path}: not a text table (a binary file, such as a spreadsheet); save it as CSV, "
            "or use a .parquet or .feather file"
        )
    if head.startswith(b"\xef\xbb\xbf"):  # a UTF-8 byte-order mark is not part of the first name
        head = head[3:]
    line = head.split(b"\n", 1)[0].rstrip(b"\r")
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        raise TableError(f"{path}: not UTF-8 text") from None
    if not text.strip() and not head.strip():
        raise TableError(f"{path}: empty file, no header line")
    return text


def detect_sep(header: str) -> str:
    """The delimiter of a header line: the most frequent of , ; tab | (comma if none)."""
    counts = {s: header.count(s) for s in (",", ";", "\t", "|")}
    best = max(counts, key=lambda s: counts[s])
    return best if counts[best] else ","


def _parse_header(text: str, sep: str, path: str):
    names = [h.strip() for h in next(csv.reader([text], delimiter=sep))] if text else []
    if not names or names == [""]:
        raise TableError(f"{path}: the header line is empty")
    if any(n == "" for n in names):
        raise TableError(f"{path}: malformed table: a header field is empty")
    seen = set()
    for n in names:
        if n in seen:
            raise TableError(f"{path}: column {n!r} occurs twice in the header")
        seen.add(n)
    return names


def _read_csv(path: str, sep: Optional[str], na_values) -> Table:
    pa = _pyarrow()
    import pyarrow.csv as pcsv

    header = _header_line(path)
    if sep is None:
        sep = "\t" if _suffix(path) in (".tsv", ".tab") else detect_sep(header)
    if len(sep) != 1:
        raise TableError(f"--sep must be one character, got {sep!r}")
    names = _parse_header(header, sep, path)
    try:
        tab = pcsv.read_csv(
            path,
            read_options=pcsv.ReadOptions(column_names=names, skip_rows=1),
            parse_options=pcsv.ParseOptions(delimiter=sep),
            convert_options=pcsv.ConvertOptions(
                null_values=list(NA_STRINGS) + list(na_values),
                strings_can_be_null=True,
                quoted_strings_can_be_null=True,
            ),
        )
    except pa.ArrowInvalid as exc:
        raise TableError(_csv_problem(path, sep, len(names), exc)) from None
    return _columns(tab, names, strip=True)


def _csv_problem(path, sep, width, exc) -> str:
    """Names the first line whose field count differs from the header's; pyarrow's
    message names only the row's text."""
    try:
        with open(path, "r", encoding="utf-8-sig", newline="") as fh:
            reader = csv.reader(fh, delimiter=sep)
            next(reader, None)
            for row in reader:
                if row and len(row) != width:
                    return (
                        f"{path}: malformed table: line {reader.line_num} has {len(row)} fields, "
                        f"the header has {width}"
                    )
    except (UnicodeDecodeError, csv.Error):
        pass
    text = str(exc).replace("CSV parse error: ", "")
    if "invalid UTF8" in text or "UTF8" in text:
        return f"{path}: not UTF-8 text"
    return f"{path}: malformed table: {text}"


def _read_arrow(path: str, kind: str) -> Table:
    pa = _pyarrow()
    try:
        if kind == "Parquet":
            import pyarrow.parquet as pq

            tab = pq.read_table(path)
        else:
            import pyarrow.feather as feather

            tab = feather.read_table(path)
    except (OSError, pa.ArrowException) as exc:
        raise TableError(f"{path}: not a readable {kind} file ({exc})") from None
    names = [str(n) for n in tab.column_names]
    if not names:
        raise TableError(f"{path}: the table has no columns")
    if len(set(names)) != len(names):
        dup = next(n for n in names if names.count(n) > 1)
        raise TableError(f"{path}: column {dup!r} occurs twice in the header")
    return _columns(tab, names, strip=False)


def _columns(tab, names, strip: bool) -> Table:
    import pyarrow as pa
    import pyarrow.compute as pc

    table: Table = {}
    for name, col in zip(names, tab.columns):
        t = col.type
        if pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t) or pa.types.is_null(t):
            table[name] = np.asarray(pc.cast(col, pa.float64()).to_numpy(zero_copy_only=False), dtype=np.float64)
            continue
        if not (pa.types.is_string(t) or pa.types.is_large_string(t)):
            col = pc.cast(col, pa.string())
        if strip:
            col = pc.utf8_trim_whitespace(col)
        table[name] = np.asarray(col.to_numpy(zero_copy_only=False), dtype=object)
    return table


class StrayTokens(NamedTuple):
    """Cells that keep an otherwise numeric column from being read as numbers."""

    token: str  # the first such cell's text
    row: int  # its data row, 1 = the first row after the header
    count: int  # how many cells do not parse as numbers
    tokens: tuple  # the distinct texts of those cells (at most a few)


def stray_tokens(values: np.ndarray, max_tokens: int = 3, max_share: float = 0.05) -> Optional[StrayTokens]:
    """For a text column that is numbers except for a few cells (at most
    ``max_tokens`` distinct texts, in at most ``max_share`` of the filled cells), those
    cells; None for a numeric column or genuine text."""
    if values.dtype.kind != "O":
        return None
    import pandas as pd

    filled = pd.notna(values)
    parsed = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").to_numpy()
    bad = filled & np.isnan(parsed)
    n_bad, n_filled = int(bad.sum()), int(filled.sum())
    if n_bad == 0 or n_bad == n_filled or n_bad > max_share * n_filled:
        return None
    tokens = tuple(dict.fromkeys(values[bad].tolist()))
    if len(tokens) > max_tokens:
        return None
    first = int(np.flatnonzero(bad)[0])
    return StrayTokens(str(values[first]), first + 1, n_bad, tokens)


# --------------------------------------------------------------------------- writing


def check_writable(path: str) -> str:
    """The format for an output name (csv, tsv, parquet, feather); TableError for a
    suffix no writer here produces, such as .xlsx."""
    suffix = _suffix(path)
    if suffix in _PARQUET:
        return "parquet"
    if suffix in _FEATHER:
        return "feather"
    if suffix in (".tsv", ".tab"):
        return "tsv"
    if suffix in (".csv", ".txt", "") or os.fspath(path).startswith("/dev/"):
        return "csv"
    raise TableError(
        f"cannot write a {suffix} file: name the output .csv, .tsv, .parquet or .feather"
    )


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
    """Writes a table as CSV (tab-separated for .tsv), Parquet or Feather, by the
    file name's suffix. Columns named in ``single_precision`` hold 32-bit values and
    are written as such (in CSV, with the shortest text that reads back to the same
    32-bit value)."""
    kind = check_writable(path)
    names = list(table)
    single = set(single_precision)
    if kind in ("parquet", "feather"):
        pa = _pyarrow()
        arrays = []
        for n in names:
            col = table[n]
            if col.dtype.kind in "iufb":
                arrays.append(pa.array(col.astype(np.float32) if n in single else col))
            else:
                arrays.append(pa.array([None if v is None else str(v) for v in col], type=pa.string()))
        tab = pa.table(arrays, names=names)
        if kind == "parquet":
            import pyarrow.parquet as pq

            pq.write_table(tab, path)
        else:
            import pyarrow.feather as feather

            feather.write_feather(tab, path)
        return
    columns = [table[n] for n in names]
    n_rows = len(columns[0]) if columns else 0
    with open(path, "w", encoding="utf-8", newline="") as fh:
        w = csv.writer(fh, lineterminator="\n", delimiter="\t" if kind == "tsv" else ",")
        w.writerow(names)
        # In slices, so the text of a large table never sits in memory all at once.
        for start in range(0, n_rows, _WRITE_ROWS):
            formatted = []
            for name, col in zip(names, columns):
                part = col[start:start + _WRITE_ROWS].tolist()
                if col.dtype.kind == "f":
                    single_col = name in single
                    formatted.append([_format_float(f, single_col) for f in part])
                else:
                    formatted.append([_format(v) for v in part])
            w.writerows(zip(*formatted))


_WRITE_ROWS = 50_000
