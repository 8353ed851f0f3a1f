"""The command-line commands generate, train, predict, evaluate and inspect.

Each ``cmd_*`` takes the parsed arguments, prints its result on stdout and its
progress on stderr, and raises UsageError for any problem with the user's input.
"""

from __future__ import annotations

import json
import math
import os
import re
import sys
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from . import _artefact, datasets, metrics
from .console import Progress, UsageError, fmt, json_default, label_text, print_table
from .modelfile import ModelFileError, read_model_file
from .tables import TableError, check_writable, read_table, stray_tokens, write_table

# --------------------------------------------------------------------------- settings


def _int_at_least(lo: int, hi: Optional[int] = None):
    def check(value) -> int:
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            raise ValueError("must be an integer")
        try:
            n = int(value)
        except ValueError:
            raise ValueError(f"must be an integer, not {value!r}") from None
        if n < lo:
            raise ValueError(f"must be at least {lo}")
        if hi is not None and n > hi:
            raise ValueError(f"must be at most {hi}")
        return n

    return check


def _finite_float(value) -> float:
    if isinstance(value, bool):
        raise ValueError("must be a number")
    try:
        f = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"must be a number, not {value!r}") from None
    if not math.isfinite(f):
        raise ValueError("must be a finite number")
    return f


def _positive_float(value) -> float:
    try:
        f = _finite_float(value)
    except ValueError as exc:
        if "finite" not in str(exc):
            raise
        raise ValueError("must be a positive number") from None
    if not f > 0:
        raise ValueError("must be a positive number")
    return f


class Setting:
    """A forest setting: its flag, its keys in a --conf file, the estimator parameter
    it sets, how its value is checked, and its default (for the help text)."""

    def __init__(self, flag, conf_keys, param, check, default, help):
        self.flag, self.conf_keys, self.param, self.check = flag, conf_keys, param, check
        self.default, self.help = default, help

    @property
    def dest(self) -> str:
        return self.flag[2:].replace("-", "_")

    @property
    def metavar(self) -> str:
        return "X" if self.check in (_finite_float, _positive_float) else "N"


SETTINGS = [
    Setting("--n-tree", ("n_tree", "n_estimators"), "n_estimators", _int_at_least(1), 100, "trees in the forest"),
    Setting("--max-depth", ("max_depth",), "max_depth", _int_at_least(0), 6, "depth limit of a tree (root = 0)"),
    Setting("--min-samples-leaf", ("min_samples_leaf",), "min_samples_leaf", _int_at_least(0), 100,
            "classifier: least total weight of each child of a split"),
    Setting("--min-samples-treatment", ("min_samples_treatment",), "min_samples_treatment", _int_at_least(0), 10,
            "classifier: least weight of every group in each child"),
    Setting("--n-reg", ("n_reg",), "n_reg", _int_at_least(0), 10,
            "classifier: weight of the parent's rate when shrinking a child's"),
    Setting("--max-features", ("max_features",), "max_features", _int_at_least(1), 10,
            "features drawn as split candidates at each node"),
    Setting("--n-bin", ("n_bin", "n_bins"), "n_bins", _int_at_least(1, 254), 30, "bins per continuous feature (1-254)"),
    Setting("--alpha", ("alpha",), "alpha", _finite_float, 0.9,
            "classifier: weight of the split-balance normalisation; regressor: group-imbalance penalty"),
    Setting("--subsample", ("subsample",), "subsample", _positive_float, 1.0,
            "fraction of the rows drawn, with replacement, for each tree"),
    Setting("--threads", ("n_thread", "n_jobs", "threads"), "n_jobs", _int_at_least(1), 1,
            "worker threads for training"),
    Setting("--seed", ("seed", "random_state"), "random_state", _int_at_least(0, 2**64 - 2), "none, a random seed",
            "seed of the random source; with --threads 1 training is then reproducible"),
]
_BY_CONF_KEY = {k: s for s in SETTINGS for k in s.conf_keys}
_CONF_ROLES = {"feature", "cat", "treatment", "y", "weight", "index", "control", "kind", "ignore", "normalization"}

# Estimator parameters as the command line spells them, for messages that come from
# the estimator layer.
_PARAM_FLAGS = {s.param: s.flag for s in SETTINGS}
_PARAM_FLAGS.update({"control_name": "--control", "categorical_features": "--cat", "sample_weight": "--weight",
                     "treatment": "--treatment", "y": "--outcome"})


def cli_words(message: str) -> str:
    """A message of the estimator layer with its parameter names replaced by flags."""
    return re.sub(r"\b(" + "|".join(map(re.escape, _PARAM_FLAGS)) + r")\b", lambda m: _PARAM_FLAGS[m.group(1)], message)


def flag_type(setting: Setting):
    """An argparse type for a setting's flag: argparse then names the flag on error."""
    import argparse

    def convert(text):
        try:
            return setting.check(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    convert.__name__ = setting.dest
    return convert


def kind_from(text: Optional[str], where: str = "--kind") -> Optional[str]:
    if text is None:
        return None
    if not isinstance(text, str):
        raise UsageError(f"{where} must be classifier or regressor")
    t = text.strip().lower()
    if t in ("classifier", "classification", "randomforestclassifier", "upliftrandomforestclassifier"):
        return "classifier"
    if t in ("regressor", "regression", "randomforestregressor", "upliftrandomforestregressor"):
        return "regressor"
    raise UsageError(f"{where} {text!r} is not a model kind; use classifier or regressor")


# ------------------------------------------------------------------------------ input


def split_list(value: Optional[str]) -> Optional[List[str]]:
    if value is None:
        return None
    return [v.strip() for v in value.split(",") if v.strip()]


def load_table(path: str, progress: Progress, args=None) -> Dict[str, np.ndarray]:
    sep = getattr(args, "sep", None)
    na = split_list(getattr(args, "na", None)) or []
    if sep is not None:
        sep = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";"}.get(sep, sep)
    with progress.step(f"reading {path}"):
        table = read_table(path, sep=sep, na_values=na)
    n = len(next(iter(table.values()))) if table else 0
    progress.say(f"{path}: {n:,} rows, {len(table)} columns")
    return table


def _columns_text(table) -> str:
    names = list(table)
    return ", ".join(names[:30]) + (f" ... ({len(names)} in all)" if len(names) > 30 else "")


def require_columns(table, names: Sequence[str], path: str, what: str):
    missing = [n for n in names if n not in table]
    if missing:
        raise UsageError(f"{path}: {what} {', '.join(map(repr, missing))} not found; the columns are: {_columns_text(table)}")


def _numeric_column(table, name: str, path: str, role: str) -> np.ndarray:
    col = table[name]
    if col.dtype.kind == "f":
        return col
    stray = stray_tokens(col)
    if stray is not None:
        raise UsageError(
            f"{path}: the {role} column {name!r} is numeric except for {stray.token!r} in row {stray.row} "
            f"({stray.count} cell(s)); if it means a missing value, pass --na {_shell_word(stray.token)}"
        )
    raise UsageError(f"{path}: the {role} column {name!r} is not numeric")


def _shell_word(text: str) -> str:
    return text if re.fullmatch(r"[\w.,/-]+", text) else "'" + text.replace("'", "'\\''") + "'"


def treatment_labels(col: np.ndarray, name: str) -> np.ndarray:
    """Numeric treatment columns with whole numbers become int64 so labels print as 1, 2."""
    if col.dtype.kind == "f":
        if np.isnan(col).any():
            raise UsageError(f"the treatment column {name!r} has missing values (row {int(np.argmax(np.isnan(col))) + 1})")
        if np.all(col == np.round(col)):
            return col.astype(np.int64)
        return col
    missing = np.array([v is None for v in col])
    if missing.any():
        raise UsageError(f"the treatment column {name!r} has missing values (row {int(np.argmax(missing)) + 1})")
    return col


def control_value(text, t: np.ndarray, name: str):
    """The --control label as the treatment column holds it; UsageError listing the
    labels found when no row has it."""
    text = str(text)
    found = [label_text(v) for v in np.unique(t)]
    shown = ", ".join(found[:20]) + (" ..." if len(found) > 20 else "")
    value: Any = text
    if t.dtype.kind in "iuf":
        try:
            f = float(text)
        except ValueError:
            raise UsageError(f"--control {text!r} is not a label of the numeric treatment column {name!r}; labels found: {shown}") from None
        value = int(f) if f.is_integer() and t.dtype.kind in "iu" else f
    if not np.any(t == value):
        raise UsageError(f"--control {text!r} is not a label of the treatment column {name!r}; labels found: {shown}")
    return value


# ------------------------------------------------------------------------------ conf


def read_conf(path: str) -> Dict[str, Any]:
    if not os.path.exists(path):
        raise UsageError(f"configuration file not found: {path}")
    try:
        with open(path, "r", encoding="utf-8-sig") as fh:
            conf = json.load(fh)
    except json.JSONDecodeError as exc:
        raise UsageError(f"{path}: not valid JSON ({exc.msg}, line {exc.lineno} column {exc.colno})") from None
    except UnicodeDecodeError:
        raise UsageError(f"{path}: not UTF-8 text") from None
    if not isinstance(conf, dict):
        raise UsageError(f"{path}: the configuration must be a JSON object")
    unknown = [k for k in conf if k not in _BY_CONF_KEY and k not in _CONF_ROLES]
    if unknown:
        raise UsageError(f"{path}: unknown configuration key(s) {', '.join(unknown)}")
    for key in ("y", "weight", "kind"):
        if key in conf and conf[key] is not None and not isinstance(conf[key], str):
            raise UsageError(f"{path}: {key!r} must be one column name (a string)")
    if "control" in conf and not isinstance(conf["control"], (str, int, float)) or isinstance(conf.get("control"), bool):
        raise UsageError(f"{path}: 'control' must be a label (a string or a number)")
    if "normalization" in conf and not isinstance(conf["normalization"], bool):
        raise UsageError(f"{path}: 'normalization' must be true or false")
    for key, value in conf.items():
        setting = _BY_CONF_KEY.get(key)
        if setting is not None and value is not None:
            try:
                setting.check(value)
            except ValueError as exc:
                raise UsageError(f"{path}: {key!r} (as {setting.flag}) {exc}") from None
    return conf


def _as_list(value, what, path) -> List[str]:
    if value is None:
        return []
    if isinstance(value, str):
        return [value]
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return value
    raise UsageError(f"{path}: {what!r} must be a column name or a list of column names")


# ---------------------------------------------------------------------------- generate


def cmd_generate(args) -> int:
    progress = Progress(args.quiet)
    try:
        check_writable(args.output)
    except TableError as exc:
        raise UsageError(str(exc)) from None
    fn = datasets.make_uplift_classification if args.task == "classification" else datasets.make_uplift_regression
    try:
        with progress.step(f"generating {args.rows:,} rows of {args.task} data"):
            data = fn(
                n_rows=args.rows,
                n_features=args.features,
                n_categorical=args.categorical,
                n_treatments=args.treatments,
                missing_fraction=args.missing,
                seed=args.seed,
            )
    except ValueError as exc:
        words = {"n_rows": "--rows", "n_features": "--features", "n_categorical": "--categorical",
                 "n_treatments": "--treatments", "missing_fraction": "--missing"}
        raise UsageError(re.sub(r"\b(" + "|".join(words) + r")\b", lambda m: words[m.group(1)], str(exc))) from None
    cols = data.columns(include_truth=args.truth, categories_as_text=True)
    with progress.step(f"writing {args.output}"):
        write_table(args.output, cols)
    print(
        f"wrote {args.output}: {data.n_rows:,} rows; features {', '.join(data.feature_names)} "
        f"(categorical, as text: {', '.join(data.categorical_features) or 'none'}); treatment column "
        f"'treatment' (0 = control, {data.n_treatments} treatment groups); outcome column 'y'"
    )
    return 0


# ------------------------------------------------------------------------------- train


def _train_roles(args, conf):
    where = args.conf or "--conf"
    treatment = args.treatment or (_as_list(conf.get("treatment"), "treatment", where) or [None])[0]
    outcome = args.outcome or conf.get("y")
    weight = args.weight or conf.get("weight") or None
    if not treatment:
        raise UsageError("name the treatment column with --treatment (or 'treatment' in --conf)")
    if not outcome:
        raise UsageError("name the outcome column with --outcome (or 'y' in --conf)")
    features = split_list(args.features) or _as_list(conf.get("feature"), "feature", where) or None
    cats = split_list(args.cat)
    if cats is None:
        cats = _as_list(conf.get("cat"), "cat", where)
    ignore = split_list(args.ignore) or _as_list(conf.get("ignore"), "ignore", where)
    ignore = ignore + _as_list(conf.get("index"), "index", where)
    return treatment, outcome, weight, features, cats, ignore


def _estimator_params(args, conf) -> Dict[str, Any]:
    params: Dict[str, Any] = {}
    for key, value in conf.items():
        setting = _BY_CONF_KEY.get(key)
        if setting is not None and value is not None:
            params[setting.param] = setting.check(value)
    if conf.get("normalization") is False:
        params["normalization"] = False
    for setting in SETTINGS:
        value = getattr(args, setting.dest)
        if value is not None:
            params[setting.param] = value
    if args.no_normalization:
        params["normalization"] = False
    return params


def cmd_train(args) -> int:
    from .estimators import UpliftRandomForestClassifier, UpliftRandomForestRegressor

    progress = Progress(args.quiet)
    conf = read_conf(args.conf) if args.conf else {}
    treatment, outcome, weight, features, cats, ignore = _train_roles(args, conf)
    kind = kind_from(args.kind) or kind_from(conf.get("kind"), "'kind' in --conf")
    params = _estimator_params(args, conf)
    if os.path.exists(args.output) and not os.path.isfile(args.output):
        # The model is written to a temporary file that then replaces the target:
        # never do that to a directory or a device.
        raise UsageError(f"-o {args.output}: not a regular file; name a model file such as model.qvl")

    table = load_table(args.table, progress, args)
    require_columns(table, [treatment], args.table, "treatment column (--treatment)")
    require_columns(table, [outcome], args.table, "outcome column (--outcome)")
    if weight:
        require_columns(table, [weight], args.table, "weight column (--weight)")
    require_columns(table, ignore, args.table, "--ignore column(s)")
    if features is None:
        reserved = {treatment, outcome, weight} | set(ignore)
        features = [c for c in table if c not in reserved]
        if not features:
            raise UsageError(f"{args.table}: no feature column left besides the treatment and outcome")
    require_columns(table, features, args.table, "--features column(s)")
    require_columns(table, cats, args.table, "--cat column(s)")
    not_features = [c for c in cats if c not in features]
    if not_features:
        raise UsageError(f"--cat names {', '.join(map(repr, not_features))}, which {'is' if len(not_features) == 1 else 'are'} not among the features")
    for f in features:
        if table[f].dtype.kind == "O" and f not in cats:
            stray = stray_tokens(table[f])
            if stray is not None:
                raise UsageError(
                    f"{args.table}: column {f!r} is numeric except for {stray.token!r} in row {stray.row} "
                    f"({stray.count} cell(s)), so it would be read as categorical; pass --na "
                    f"{_shell_word(stray.token)} if that means a missing value, or --cat {f} to keep it categorical"
                )
    text_cols = [f for f in features if table[f].dtype.kind == "O" and f not in cats]
    progress.say(
        f"features ({len(features)}): {', '.join(features)}; categorical: {', '.join(list(cats) + text_cols) or 'none'}"
    )
    y = _numeric_column(table, outcome, args.table, "outcome")
    if np.isnan(y).any():
        raise UsageError(f"{args.table}: the outcome column {outcome!r} has missing values (row {int(np.argmax(np.isnan(y))) + 1})")
    w = _numeric_column(table, weight, args.table, "weight") if weight else None
    t = treatment_labels(table[treatment], treatment)
    if kind is None:
        kind = "classifier" if np.isin(y, (0.0, 1.0)).all() else "regressor"
        progress.say(f"outcome {outcome!r} is {'binary' if kind == 'classifier' else 'continuous'}: training a {kind}")
    elif kind == "classifier" and not np.isin(y, (0.0, 1.0)).all():
        raise UsageError(f"--kind classifier needs a 0/1 outcome, but {outcome!r} holds other values; use --kind regressor")
    control_text = args.control if args.control is not None else conf.get("control", 0)
    params["control_name"] = control_value(control_text, t, treatment)
    params["categorical_features"] = cats or None

    cls = UpliftRandomForestClassifier if kind == "classifier" else UpliftRandomForestRegressor
    est = cls(**params)
    est._role_headers = {"treatment": treatment, "y": outcome, "weight": weight}
    est.verbose = 0 if args.quiet else 1  # trees grown and an ETA, for a fit of more than 2 s
    X = {f: table[f] for f in features}
    with progress.step(f"training {est.n_estimators} trees on {len(y):,} rows, {len(features)} features"):
        try:
            est.fit(X, y=y, treatment=t, sample_weight=w)
        except ValueError as exc:
            raise UsageError(cli_words(str(exc))) from None
    out = args.output
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    est.save(out)
    groups = ", ".join(label_text(c) for c in est.classes_[1:])
    print(
        f"wrote {out}: {est._model_name}, {est.n_estimators} trees, "
        f"{len(features)} features ({len(est.categorical_features_)} categorical), "
        f"control {label_text(est.classes_[0])}, treatment groups {groups}"
    )
    return 0


# ----------------------------------------------------------------------------- predict


def check_model_file(path: str):
    """UsageError unless ``path`` starts like a model file (a JSON configuration)."""
    if not os.path.exists(path):
        raise UsageError(f"model file not found: {path}")
    if os.path.isdir(path):
        raise UsageError(f"{path} is a directory, not a model file")
    with open(path, "rb") as fh:
        head = fh.read(4096)
    first = head.lstrip(b"\xef\xbb\xbf").split(b"\n", 1)[0].strip()
    if first.startswith((b"{", _artefact.MAGIC.encode())):  # a bare model file, or a saved estimator
        return
    if not head.strip():
        raise UsageError(f"{path} is empty, not a model file")
    looks = ""
    if b"\x00" in head or head.startswith(b"PK"):
        looks = " (a binary file)"
    elif any(sep in first for sep in (b",", b";", b"\t")):
        looks = " (it looks like a table: the model file comes first, as in 'quorvelin predict MODEL TABLE')"
    raise UsageError(f"{path} is not a quorvelin model file{looks}")


def cmd_predict(args) -> int:
    from .estimators import load_estimator

    progress = Progress(args.quiet)
    check_model_file(args.model)
    if args.output != "-":
        try:
            check_writable(args.output)
        except TableError as exc:
            raise UsageError(str(exc)) from None
    kind = kind_from(args.kind)
    with progress.step(f"loading {args.model}"):
        try:
            est = load_estimator(args.model, kind={"classifier": "RandomForestClassifier", "regressor": "RandomForestRegressor"}.get(kind))
        except ValueError as exc:
            raise UsageError(cli_words(str(exc)).replace("pass kind=", "pass --kind ").replace("'RandomForestClassifier' or kind='RandomForestRegressor'", "classifier or --kind regressor")) from None
    table = load_table(args.table, progress, args)
    require_columns(table, est.feature_names_, args.table, "feature column(s) of the model")
    keep = split_list(args.keep) or []
    require_columns(table, keep, args.table, "--keep column(s)")
    numeric = [f for f in est.feature_names_ if f not in set(est.categorical_features_)]
    for f in numeric:
        if table[f].dtype.kind == "O":
            _numeric_column(table, f, args.table, "numeric feature")
    X = {f: table[f] for f in est.feature_names_}
    n = len(next(iter(X.values())))
    with progress.step(f"predicting {n:,} rows with {est.n_estimators} trees"):
        try:
            pred = est.predict(X)
        except ValueError as exc:
            raise UsageError(cli_words(str(exc))) from None
    pred = np.asarray(pred, dtype=np.float64).reshape(n, -1)
    labels = list(est.classes_[1:])
    if pred.shape[1] != len(labels):
        raise UsageError(
            f"{args.model}: the model predicts {pred.shape[1]} treatment group(s) but its saved labels name "
            f"{len(labels)}; the label header does not belong to this model"
        )
    out: Dict[str, np.ndarray] = {k: table[k] for k in keep}
    names = []
    for j, label in enumerate(labels):
        name = f"uplift_{label_text(label)}"
        out[name] = pred[:, j]
        names.append(name)
    if args.output == "-":
        write_table("/dev/stdout", out, single_precision=names)
    else:
        write_table(args.output, out, single_precision=names)
        print(f"wrote {args.output}: {n:,} rows, columns {', '.join(out)}")
    return 0


# ---------------------------------------------------------------------------- evaluate


def _score_columns(table, requested: Optional[List[str]]):
    if requested:
        return requested
    cols = [c for c in table if c.startswith("uplift_")]
    if not cols:
        raise UsageError(f"no score column found: name them with --score (default: every column starting with uplift_; columns: {_columns_text(table)})")
    return cols


def _label_for(score_col: str, label: Optional[str], t: np.ndarray):
    """The treatment label a score column refers to: explicit COL=LABEL, else the
    suffix of uplift_<label>, else None."""
    text = label
    if text is None and score_col.startswith("uplift_"):
        text = score_col[len("uplift_"):]
    if text is None:
        return None
    if t.dtype.kind in "iuf":
        try:
            f = float(text)
        except ValueError:
            raise UsageError(f"--score {score_col}: treatment label {text!r} is not a number") from None
        return int(f) if f.is_integer() and t.dtype.kind in "iu" else f
    return text


def cmd_evaluate(args) -> int:
    progress = Progress(args.quiet)
    if args.ci is not None and not 0.0 < args.ci < 1.0:
        raise UsageError("--ci must be a level between 0 and 1, such as 0.95")
    table = load_table(args.table, progress, args)
    require_columns(table, [args.treatment], args.table, "treatment column (--treatment)")
    require_columns(table, [args.outcome], args.table, "outcome column (--outcome)")
    scores_table, scores_path = table, args.table
    if args.scores:
        scores_table = load_table(args.scores, progress, args)
        scores_path = args.scores
        n_a = len(table[args.treatment])
        n_b = len(next(iter(scores_table.values())))
        if n_a != n_b:
            raise UsageError(f"{args.table} has {n_a:,} rows but {args.scores} has {n_b:,}; rows must match one to one")
    specs = [(s.partition("=")[0], s.partition("=")[2] or None) for s in args.score or []]
    cols = _score_columns(scores_table, [c for c, _ in specs] or None)
    require_columns(scores_table, cols, scores_path, "score column(s) (--score)")
    labels_spec = dict(specs)
    y = _numeric_column(table, args.outcome, args.table, "outcome")
    if np.isnan(y).any():
        raise UsageError(f"{args.table}: the outcome column {args.outcome!r} has missing values")
    t = treatment_labels(table[args.treatment], args.treatment)
    control = control_value(args.control, t, args.treatment)
    labels, score_mat = [], []
    for c in cols:
        s = _numeric_column(scores_table, c, scores_path, "score")
        if np.isnan(s).any():
            raise UsageError(f"{scores_path}: score column {c!r} has missing values")
        label = _label_for(c, labels_spec.get(c), t)
        if label is None:
            others = [v for v in np.unique(t) if v != control]
            if len(cols) == 1 and len(others) == 1:
                label = others[0]
            else:
                raise UsageError(f"score column {c!r}: give its treatment label as --score {c}=LABEL")
        if not np.any(t == label):
            raise UsageError(f"score column {c!r}: no row has the treatment label {label_text(label)}")
        labels.append(label)
        score_mat.append(s)
    scores = np.column_stack(score_mat)
    try:
        k = float(args.k) if "." in args.k or "e" in args.k.lower() else int(args.k)
    except ValueError:
        raise UsageError(f"--k {args.k!r} must be a fraction such as 0.3 or a row count") from None
    try:
        report = metrics.uplift_report(y, scores, t, control=control, treatment_values=labels, k=k, ci=args.ci)
    except ValueError as exc:
        raise UsageError(str(exc).replace("k must", "--k must")) from None
    for row, col in zip(report, cols):
        row["score_column"] = col
        row["treatment"] = label_text(row["treatment"])
    _print_evaluation(report, k, args.ci)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump({"control": label_text(control), "treatments": report}, fh, indent=1, default=json_default)
            fh.write("\n")
        print(f"wrote {args.json}")
    if args.plot:
        from . import plotting

        if not plotting.have_matplotlib():
            raise UsageError("--plot needs matplotlib; install it with 'pip install matplotlib'")
        plotting.save_qini_png(
            args.plot,
            [{"y_true": y, "uplift": scores, "treatment": t, "control": control, "treatment_values": labels, "title": "Qini curve"}],
        )
        print(f"wrote {args.plot}")
    return 0


def _print_evaluation(report, k, ci):
    header = ["treatment", "n_treated", "n_control", "observed", "qini", "qini_raw", "auuc", "auuc_raw", f"uplift@{k}"]
    if ci is not None:
        header[5:5] = [f"qini {ci:.0%} CI"]
        header[8:8] = [f"auuc {ci:.0%} CI"]
    rows = []
    for r in report:
        row = [r["treatment"], f"{r['n_treated']:,}", f"{r['n_control']:,}", fmt(r["observed_effect"]), fmt(r["qini"]),
               fmt(r["qini_raw"], 5), fmt(r["auuc"]), fmt(r["auuc_raw"], 5), fmt(r["uplift_at_k"])]
        if ci is not None:
            row[5:5] = [f"[{fmt(r['qini_low'])}, {fmt(r['qini_high'])}]"]
            row[8:8] = [f"[{fmt(r['auuc_low'])}, {fmt(r['auuc_high'])}]"]
        rows.append(row)
    print_table(rows, header)
    print(
        "qini / auuc: normalised Qini coefficient / area under the uplift curve (1 = perfect ranking, "
        "0 = random); *_raw: the areas themselves; observed: mean outcome difference treated - control"
    )


# ----------------------------------------------------------------------------- inspect


def _read_meta(path: str) -> Optional[Dict[str, Any]]:
    """A saved estimator's header (or the .meta.json of an older save); None for a bare
    model file or an unreadable header."""
    try:
        meta = _artefact.read(path)[0]
    except (ValueError, OSError):
        return None
    return meta if isinstance(meta, dict) else None


def cmd_inspect(args) -> int:
    check_model_file(args.model)
    try:
        mf = read_model_file(args.model)
        info, bins, importance = _model_info(args.model, mf)
    except (ModelFileError, KeyError, TypeError, ValueError, IndexError, AttributeError) as exc:
        raise UsageError(f"{args.model}: not a readable model file: {exc}") from None
    meta = _read_meta(args.model)
    labels = meta.get("classes") if meta is not None else None
    if meta is not None:
        info["estimator"] = meta.get("estimator")
        info["treatment_labels"] = labels
    if args.json:
        json.dump(info, sys.stdout, indent=1, default=json_default)
        print()
        return 0
    stats, cfg = info["trees"], mf.config
    print(f"model file   {args.model} ({mf.size_bytes:,} bytes)")
    if meta is not None:
        if isinstance(labels, list) and labels:
            print(f"estimator    {meta.get('estimator')} (control {labels[0]}, treatments {', '.join(map(str, labels[1:]))})")
        else:
            print(f"estimator    {meta.get('estimator')}")
    print(f"trees        {stats['n_trees']} stored (n_tree {cfg.get('n_tree')})")
    if mf.n_groups is not None:
        print(f"groups       {mf.n_groups} (control + {mf.n_groups - 1} treatment groups)")
    print(f"nodes        min {stats['nodes']['min']}, mean {stats['nodes']['mean']:.1f}, max {stats['nodes']['max']} (total {stats['total_nodes']:,})")
    print(f"leaves       min {stats['leaves']['min']}, mean {stats['leaves']['mean']:.1f}, max {stats['leaves']['max']}")
    print(f"depth        min {stats['depth']['min']}, mean {stats['depth']['mean']:.2f}, max {stats['depth']['max']}")
    print("configuration")
    for key in ("feature_cols", "cat_cols", "treatment_cols", "y_col", "weight_col", "index_cols", "n_bin",
                "min_samples_leaf", "min_samples_treatment", "n_reg", "alpha", "normalization", "max_features",
                "max_depth", "n_tree", "subsample", "n_thread", "seed"):
        if key in cfg:
            value = cfg[key]
            if isinstance(value, list):
                value = ", ".join(map(str, value)) if value else "-"
            print(f"  {key:<22} {value}")
    print("feature importance (sum of gain importance over split nodes, normalised)")
    top = importance if args.top is None else importance[: args.top]
    rows = [[r["feature"] + (" (cat)" if r["categorical"] else ""), f"{r['importance']:.4f}", f"{r['n_splits']}",
             str(bins.get(r["feature"], {}).get("n_bin", "-"))] for r in top]
    print_table(rows, ["feature", "importance", "splits", "bins"])
    return 0


def _model_info(path, mf):
    stats = mf.tree_stats()
    imp = mf.feature_importance(normalize=True)
    raw_imp = mf.feature_importance(normalize=False)
    counts = mf.split_counts()
    cats = set(mf.categorical_features)
    importance: List[Dict[str, Any]] = sorted(
        (
            {"feature": str(f), "categorical": f in cats, "importance": float(imp[i]),
             "gain_importance": float(raw_imp[i]), "n_splits": int(counts[i])}
            for i, f in enumerate(mf.feature_names)
        ),
        key=lambda r: -r["importance"],
    )
    bins: Dict[str, Dict[str, Any]] = {}
    for name, rec in mf.continuous_bins.items():
        bins[name] = {"type": "continuous", "n_bin": rec.get("n_bin") if isinstance(rec, dict) else None}
    for name, rec in mf.discrete_bins.items():
        bins[name] = {"type": "categorical", "n_bin": rec.get("n_bin") if isinstance(rec, dict) else None}
    info = {"file": path, "size_bytes": mf.size_bytes, "configuration": mf.config, "treatment_groups": mf.n_groups,
            "trees": stats, "bins": bins, "feature_importance": importance}
    return info, bins, importance
