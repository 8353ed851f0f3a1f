"""The estimator's saved artefact: one text file holding everything ``predict`` needs.

Line 1 is ``#quorvelin-estimator `` followed by one JSON object (estimator kind, parameters,
treatment labels, column schema with the text-to-code mapping of categorical columns); the
rest of the file is the engine's model file, byte for byte as the engine writes it. So the
model text is recovered by dropping the first line, and nothing can get separated from it.
Older saves (a plain model file with an optional ``<path>.meta.json`` next to it) still load.
"""

from __future__ import annotations

import json
import math
import os
import stat
import tempfile
from typing import Any, Dict, Optional, Tuple

MAGIC = "#quorvelin-estimator "
FORMAT = "quorvelin-tools-estimator"
VERSION = 2
LEGACY_SUFFIX = ".meta.json"


def jsonable(value, what):
    if hasattr(value, "item") and not isinstance(value, (list, tuple, dict)):
        value = value.item()
    if isinstance(value, (list, tuple)):
        return [jsonable(v, what) for v in value]
    if isinstance(value, dict):
        return {str(k): jsonable(v, what) for k, v in value.items()}
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"cannot store {what} {value!r}")
        return value
    raise ValueError(f"cannot store {what} {value!r} of type {type(value).__name__} in the saved estimator")


def split_text(text: str) -> Tuple[Optional[Dict[str, Any]], str]:
    """(header, model text) of an artefact's text; (None, text) for a plain model file."""
    if not text.startswith(MAGIC):
        return None, text
    first, _, rest = text.partition("\n")
    try:
        header = json.loads(first[len(MAGIC):])
    except json.JSONDecodeError as exc:
        raise ValueError(f"the estimator header line is not valid JSON ({exc.msg})") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise ValueError("the first line is not a quorvelin estimator header")
    return header, rest


def write(path: str, header: Dict[str, Any], model_text: str) -> None:
    """Writes the artefact atomically: a reader sees the old file or the new one, whole."""
    line = MAGIC + json.dumps(dict(header, format=FORMAT, version=VERSION), separators=(",", ":"))
    if "\n" in line:
        raise ValueError("the estimator header must fit on one line")
    # Save through a symbolic link to the file it names, refuse to replace anything that is not
    # a regular file (a device or FIFO would become a plain file), and honour the target's
    # permissions as a plain open for writing would.
    path = os.path.realpath(path)
    if os.path.lexists(path):
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise ValueError(f"{path}: exists and is not a regular file; refusing to replace it")
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
    directory = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(prefix=".quorvelin-", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as fh:
            fh.write(line + "\n" + model_text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def read(path: str) -> Tuple[Optional[Dict[str, Any]], str]:
    """(header, model text) of a saved estimator. For a plain model file the header comes from
    a legacy ``.meta.json`` next to it when there is one, else it is None."""
    if not os.path.exists(path):
        raise FileNotFoundError(f"model file not found: {path}")
    with open(path, "r", encoding="utf-8", newline="") as fh:
        text = fh.read()
    header, model_text = split_text(text)
    if header is not None:
        return header, model_text
    meta_path = path + LEGACY_SUFFIX
    if os.path.exists(meta_path):
        with open(meta_path, "r", encoding="utf-8") as fh:
            try:
                meta = json.load(fh)
            except json.JSONDecodeError as exc:
                raise ValueError(f"{meta_path}: not valid JSON ({exc.msg})") from None
        if not isinstance(meta, dict) or meta.get("format") != FORMAT:
            raise ValueError(f"{meta_path}: not a quorvelin estimator metadata file")
        return meta, model_text
    return None, model_text
