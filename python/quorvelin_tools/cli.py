"""The ``quorvelin`` console command.

Subcommands: demo, generate, train, predict, evaluate, inspect. Run
``quorvelin <subcommand> --help`` for the options of each.

Exit codes: 0 success, 1 a demo self-check failed, 2 a usage or input problem
(missing file or column, malformed table or model file, bad setting), 130 Ctrl-C.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from . import __version__, _artefact
from . import datasets, metrics
from .modelfile import ModelFileError, read_model_file
from .tables import TableError, read_table, write_table

PROG = "quorvelin"


class UsageError(Exception):
    """A problem with the user's input; reported without a traceback, exit code 2."""


# ------------------------------------------------------------------------ messages


class Progress:
    def __init__(self, quiet: bool = False):
        self.quiet = quiet

    def say(self, msg: str):
        if not self.quiet:
            print(f"[{PROG}] {msg}", file=sys.stderr, flush=True)

    def step(self, msg: str):
        """Context manager printing the start and the duration of a long step."""
        return _Step(self, msg)


class _Step:
    def __init__(self, progress: Progress, msg: str):
        self.progress = progress
        self.msg = msg
        self.seconds = 0.0

    def __enter__(self):
        self.progress.say(f"{self.msg} ...")
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, exc_type, exc, tb):
        self.seconds = time.perf_counter() - self.t0
        if exc_type is None:
            self.progress.say(f"{self.msg}: done in {self.seconds:.2f} s")
        return False


def _fmt(v, digits=4) -> str:
    if isinstance(v, float):
        if math.isnan(v):
            return "nan"
        return f"{v:.{digits}f}"
    return str(v)


def _print_table(rows: List[List[str]], header: List[str], out=None):
    out = out or sys.stdout
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) if rows else len(str(h)) for i, h in enumerate(header)]
    line = "  ".join(str(h).ljust(w) for h, w in zip(header, widths))
    print(line, file=out)
    print("  ".join("-" * w for w in widths), file=out)
    for r in rows:
        print("  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths))), file=out)


def _label_text(v) -> str:
    """A treatment label as text: 1.0 -> "1"."""
    if isinstance(v, np.generic):
        v = v.item()
    if isinstance(v, float) and v.is_integer():
        return str(int(v))
    return str(v)


# ------------------------------------------------------------------------ helpers


def _split_list(value: Optional[str]) -> Optional[List[str]]:
    if value is None:
        return None
    return [v.strip() for v in value.split(",") if v.strip()]


def _load_table(path: str, progress: Progress) -> Dict[str, np.ndarray]:
    with progress.step(f"reading {path}"):
        table = read_table(path)
    n = len(next(iter(table.values()))) if table else 0
    progress.say(f"{path}: {n:,} rows, {len(table)} columns")
    return table


def _require_columns(table, names: Sequence[str], path: str, role: str):
    missing = [n for n in names if n not in table]
    if missing:
        avail = ", ".join(list(table)[:20]) + (" ..." if len(table) > 20 else "")
        raise UsageError(f"{path}: missing {role} column(s) {', '.join(missing)} (columns: {avail})")


def _treatment_labels(col: np.ndarray) -> np.ndarray:
    """Numeric treatment columns with whole numbers become int64 so labels print as 1, 2."""
    if col.dtype.kind == "f":
        if np.isnan(col).any():
            raise UsageError("the treatment column has missing values")
        if np.all(col == np.round(col)):
            return col.astype(np.int64)
        return col
    if any(v is None for v in col):
        raise UsageError("the treatment column has missing values")
    return col


def _control_value(text: str, col: np.ndarray):
    if col.dtype.kind in "iu":
        try:
            f = float(text)
        except ValueError:
            raise UsageError(f"--control {text!r} is not a number but the treatment column is numeric") from None
        return int(f) if f.is_integer() else f
    if col.dtype.kind == "f":
        try:
            return float(text)
        except ValueError:
            raise UsageError(f"--control {text!r} is not a number but the treatment column is numeric") from None
    return text


# Keys accepted in a --conf JSON file, as the extension's conf dict spells them,
# mapped to estimator parameters.
_CONF_TO_PARAM = {
    "n_tree": "n_estimators",
    "n_estimators": "n_estimators",
    "max_depth": "max_depth",
    "min_samples_leaf": "min_samples_leaf",
    "min_samples_treatment": "min_samples_treatment",
    "n_reg": "n_reg",
    "max_features": "max_features",
    "n_bin": "n_bins",
    "n_bins": "n_bins",
    "alpha": "alpha",
    "normalization": "normalization",
    "subsample": "subsample",
    "n_thread": "n_jobs",
    "n_jobs": "n_jobs",
    "seed": "random_state",
    "random_state": "random_state",
}
_CONF_ROLES = {"feature", "cat", "treatment", "y", "weight", "index", "control", "kind", "ignore"}


def _read_conf(path: str) -> Dict[str, Any]:
    if not os.path.exists(path):
        raise UsageError(f"configuration file not found: {path}")
    try:
        with open(path, "r", encoding="utf-8") as fh:
            conf = json.load(fh)
    except json.JSONDecodeError as exc:
        raise UsageError(f"{path}: not valid JSON ({exc.msg}, line {exc.lineno} column {exc.colno})") from None
    if not isinstance(conf, dict):
        raise UsageError(f"{path}: the configuration must be a JSON object")
    unknown = [k for k in conf if k not in _CONF_TO_PARAM and k not in _CONF_ROLES]
    if unknown:
        raise UsageError(f"{path}: unknown configuration key(s) {', '.join(unknown)}")
    return conf


def _as_list(value, what) -> List[str]:
    if value is None:
        return []
    if isinstance(value, str):
        return [value]
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return value
    raise UsageError(f"{what} must be a column name or a list of column names")


# ------------------------------------------------------------------------ generate


def cmd_generate(args) -> int:
    progress = Progress(args.quiet)
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
        raise UsageError(str(exc)) from None
    cols = data.columns(include_truth=args.truth, categories_as_text=True)
    with progress.step(f"writing {args.output}"):
        write_table(args.output, cols)
    print(
        f"wrote {args.output}: {data.n_rows:,} rows; features {', '.join(data.feature_names)} "
        f"(categorical, as text: {', '.join(data.categorical_features) or 'none'}); treatment column "
        f"'treatment' (0 = control, {data.n_treatments} treatment groups); outcome column 'y'"
    )
    return 0


# ------------------------------------------------------------------------ train


def _kind_from(text: Optional[str]) -> Optional[str]:
    if text is None:
        return None
    t = text.strip().lower()
    if t in ("classifier", "classification", "randomforestclassifier"):
        return "classifier"
    if t in ("regressor", "regression", "randomforestregressor"):
        return "regressor"
    raise UsageError(f"unknown model kind {text!r}; use classifier or regressor")


def cmd_train(args) -> int:
    from .estimators import UpliftRandomForestClassifier, UpliftRandomForestRegressor

    progress = Progress(args.quiet)
    conf = _read_conf(args.conf) if args.conf else {}
    conf_treatment = _as_list(conf.get("treatment"), "treatment")
    treatment = args.treatment or (conf_treatment[0] if conf_treatment else None)
    outcome = args.outcome or conf.get("y")
    weight = args.weight or conf.get("weight") or None
    if not treatment:
        raise UsageError("name the treatment column with --treatment (or 'treatment' in --conf)")
    if not outcome:
        raise UsageError("name the outcome column with --outcome (or 'y' in --conf)")
    features = _split_list(args.features) or _as_list(conf.get("feature"), "feature") or None
    cats = _split_list(args.cat)
    if cats is None:
        cats = _as_list(conf.get("cat"), "cat")
    ignore = set(_split_list(args.ignore) or _as_list(conf.get("ignore"), "ignore"))
    ignore |= set(_as_list(conf.get("index"), "index"))

    table = _load_table(args.table, progress)
    _require_columns(table, [treatment], args.table, "treatment")
    _require_columns(table, [outcome], args.table, "outcome")
    if weight:
        _require_columns(table, [weight], args.table, "weight")
    if features is None:
        reserved = {treatment, outcome, weight} | ignore
        features = [c for c in table if c not in reserved]
        if not features:
            raise UsageError(f"{args.table}: no feature column left besides the treatment and outcome")
    _require_columns(table, features, args.table, "feature")
    text_cols = [f for f in features if table[f].dtype.kind == "O" and f not in cats]
    progress.say(
        f"features ({len(features)}): {', '.join(features)}; categorical: "
        f"{', '.join(list(cats) + text_cols) or 'none'}"
    )
    unknown_cats = [c for c in cats if c not in features]
    if unknown_cats:
        raise UsageError(f"categorical column(s) {', '.join(unknown_cats)} are not among the features")

    y = table[outcome]
    if y.dtype.kind != "f":
        raise UsageError(f"{args.table}: the outcome column {outcome!r} is not numeric")
    if np.isnan(y).any():
        raise UsageError(f"{args.table}: the outcome column {outcome!r} has missing values")
    t = _treatment_labels(table[treatment])
    kind = _kind_from(args.kind) or _kind_from(conf.get("kind"))
    if kind is None:
        kind = "classifier" if np.isin(y, (0.0, 1.0)).all() else "regressor"
        progress.say(f"outcome {outcome!r} is {'binary' if kind == 'classifier' else 'continuous'}: training a {kind}")
    control_text = args.control if args.control is not None else conf.get("control", 0)
    control = _control_value(str(control_text), t)

    params: Dict[str, Any] = {}
    for key, value in conf.items():
        if key in _CONF_TO_PARAM:
            params[_CONF_TO_PARAM[key]] = value
    for flag, param in (
        ("n_tree", "n_estimators"),
        ("max_depth", "max_depth"),
        ("min_samples_leaf", "min_samples_leaf"),
        ("min_samples_treatment", "min_samples_treatment"),
        ("n_reg", "n_reg"),
        ("max_features", "max_features"),
        ("n_bin", "n_bins"),
        ("alpha", "alpha"),
        ("subsample", "subsample"),
        ("threads", "n_jobs"),
        ("seed", "random_state"),
    ):
        value = getattr(args, flag)
        if value is not None:
            params[param] = value
    if args.no_normalization:
        params["normalization"] = False
    params["control_name"] = control
    params["categorical_features"] = cats or None

    cls = UpliftRandomForestClassifier if kind == "classifier" else UpliftRandomForestRegressor
    try:
        est = cls(**params)
    except TypeError as exc:
        raise UsageError(str(exc)) from None
    est._role_headers = {"treatment": treatment, "y": outcome, "weight": weight}
    est.verbose = 0 if args.quiet else 1  # trees grown and an ETA, for a fit of more than 2 s
    X = {f: table[f] for f in features}
    w = table[weight] if weight else None
    n_trees = est.n_estimators
    with progress.step(f"training {n_trees} trees on {len(y):,} rows, {len(features)} features"):
        est.fit(X, y=y, treatment=t, sample_weight=w)
    out = args.output
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    est.save(out)
    groups = ", ".join(_label_text(c) for c in est.classes_[1:])
    print(
        f"wrote {out}: {est._model_name}, {n_trees} trees, "
        f"{len(features)} features ({len(est.categorical_features_)} categorical), "
        f"control {_label_text(est.classes_[0])}, treatment groups {groups}"
    )
    return 0


# ------------------------------------------------------------------------ predict


def cmd_predict(args) -> int:
    from .estimators import load_estimator

    progress = Progress(args.quiet)
    if not os.path.exists(args.model):
        raise UsageError(f"model file not found: {args.model}")
    with progress.step(f"loading {args.model}"):
        try:
            est = load_estimator(args.model, kind=_kind_name(_kind_from(args.kind)))
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    table = _load_table(args.table, progress)
    _require_columns(table, est.feature_names_, args.table, "feature")
    keep = _split_list(args.keep) or []
    _require_columns(table, keep, args.table, "--keep")
    X = {f: table[f] for f in est.feature_names_}
    n = len(next(iter(X.values())))
    with progress.step(f"predicting {n:,} rows with {est.n_estimators} trees"):
        pred = est.predict(X)
    out: Dict[str, np.ndarray] = {}
    for k in keep:
        out[k] = table[k]
    names = []
    for j, label in enumerate(est.classes_[1:]):
        name = f"uplift_{_label_text(label)}"
        out[name] = pred[:, j]
        names.append(name)
    if args.output == "-":
        write_table("/dev/stdout", out, single_precision=names)
    else:
        write_table(args.output, out, single_precision=names)
        print(f"wrote {args.output}: {n:,} rows, columns {', '.join(out)}")
    return 0


def _kind_name(kind: Optional[str]) -> Optional[str]:
    if kind is None:
        return None
    return "RandomForestClassifier" if kind == "classifier" else "RandomForestRegressor"


# ------------------------------------------------------------------------ evaluate


def _score_columns(table, requested: Optional[List[str]]):
    if requested:
        return requested
    cols = [c for c in table if c.startswith("uplift_")]
    if not cols:
        raise UsageError("no score column found: name them with --score (default: every column starting with uplift_)")
    return cols


def _label_for(score_col: str, label: Optional[str], t: np.ndarray):
    """The treatment label a score column refers to: explicit COL=LABEL, else the
    suffix of uplift_<label>, else the only non-control label."""
    text = label
    if text is None and score_col.startswith("uplift_"):
        text = score_col[len("uplift_"):]
    if text is None:
        return None
    if t.dtype.kind in "iuf":
        try:
            f = float(text)
        except ValueError:
            raise UsageError(f"score column {score_col!r}: treatment label {text!r} is not a number") from None
        return int(f) if f.is_integer() and t.dtype.kind in "iu" else f
    return text


def cmd_evaluate(args) -> int:
    progress = Progress(args.quiet)
    table = _load_table(args.table, progress)
    _require_columns(table, [args.treatment], args.table, "treatment")
    _require_columns(table, [args.outcome], args.table, "outcome")
    scores_table = table
    scores_path = args.table
    if args.scores:
        scores_table = _load_table(args.scores, progress)
        scores_path = args.scores
        n_a = len(table[args.treatment])
        n_b = len(next(iter(scores_table.values())))
        if n_a != n_b:
            raise UsageError(f"{args.table} has {n_a:,} rows but {args.scores} has {n_b:,}; rows must match one to one")
    specs = []
    for s in args.score or []:
        col, _, label = s.partition("=")
        specs.append((col, label or None))
    cols = _score_columns(scores_table, [c for c, _ in specs] or None)
    _require_columns(scores_table, cols, scores_path, "score")
    labels_spec = dict(specs)
    y = table[args.outcome]
    if y.dtype.kind != "f":
        raise UsageError(f"{args.table}: the outcome column {args.outcome!r} is not numeric")
    if np.isnan(y).any():
        raise UsageError(f"{args.table}: the outcome column {args.outcome!r} has missing values")
    t = _treatment_labels(table[args.treatment])
    control = _control_value(str(args.control), t)
    labels = []
    score_mat = []
    for c in cols:
        s = scores_table[c]
        if s.dtype.kind != "f":
            raise UsageError(f"{scores_path}: score column {c!r} is not numeric")
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
            raise UsageError(f"score column {c!r}: no row has the treatment label {_label_text(label)}")
        labels.append(label)
        score_mat.append(s)
    if not np.any(t == control):
        raise UsageError(f"no row has the control label {_label_text(control)}")
    scores = np.column_stack(score_mat)
    try:
        k = float(args.k) if "." in args.k or "e" in args.k.lower() else int(args.k)
    except ValueError:
        raise UsageError(f"--k {args.k!r} must be a fraction such as 0.3 or a row count") from None
    try:
        report = metrics.uplift_report(y, t, scores, control=control, treatment_values=labels, k=k)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    for row, col in zip(report, cols):
        row["score_column"] = col
        row["treatment"] = _label_text(row["treatment"])
    _print_evaluation(report, k)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump({"control": _label_text(control), "treatments": report}, fh, indent=1, default=_json_default)
            fh.write("\n")
        print(f"wrote {args.json}")
    if args.plot:
        from . import plotting

        if not plotting.have_matplotlib():
            raise UsageError("--plot needs matplotlib; install it with 'pip install matplotlib'")
        plotting.save_qini_png(
            args.plot,
            [{"y": y, "treatment": t, "uplift": scores, "control": control, "treatment_values": labels, "title": "Qini curve"}],
        )
        print(f"wrote {args.plot}")
    return 0


def _json_default(v):
    if isinstance(v, np.generic):
        return v.item()
    raise TypeError(f"cannot write {type(v).__name__}")


def _print_evaluation(report, k):
    header = ["treatment", "n_treated", "n_control", "observed", "qini", "qini_raw", "auuc", "auuc_norm", f"uplift@{k}"]
    rows = [
        [
            r["treatment"],
            f"{r['n_treated']:,}",
            f"{r['n_control']:,}",
            _fmt(r["observed_effect"]),
            _fmt(r["qini"]),
            _fmt(r["qini_raw"], 5),
            _fmt(r["auuc"], 5),
            _fmt(r["auuc_normalized"]),
            _fmt(r["uplift_at_k"]),
        ]
        for r in report
    ]
    _print_table(rows, header)
    print(
        "qini: normalised Qini coefficient (1 = perfect ranking, 0 = random); qini_raw: area between "
        "Qini curve and random line; auuc: area under the uplift curve; observed: mean outcome "
        "difference treated - control"
    )


# ------------------------------------------------------------------------ inspect


def cmd_inspect(args) -> int:
    if not os.path.exists(args.model):
        raise UsageError(f"model file not found: {args.model}")
    try:
        mf = read_model_file(args.model)
    except ModelFileError as exc:
        raise UsageError(f"{args.model}: not a readable model file: {exc}") from None
    try:  # a saved estimator's header, or the .meta.json of an older save
        meta = _artefact.read(args.model)[0]
    except (ValueError, OSError):
        meta = None
    stats = mf.tree_stats()
    imp = mf.feature_importance(normalize=True)
    raw_imp = mf.feature_importance(normalize=False)
    counts = mf.split_counts()
    features = mf.feature_names
    cats = set(mf.categorical_features)
    importance: List[Dict[str, Any]] = sorted(
        (
            {
                "feature": f,
                "categorical": f in cats,
                "importance": float(imp[i]),
                "gain_importance": float(raw_imp[i]),
                "n_splits": int(counts[i]),
            }
            for i, f in enumerate(features)
        ),
        key=lambda r: -r["importance"],
    )
    bins: Dict[str, Dict[str, Any]] = {}
    for name, rec in mf.continuous_bins.items():
        bins[name] = {"type": "continuous", "n_bin": rec.get("n_bin")}
    for name, rec in mf.discrete_bins.items():
        bins[name] = {"type": "categorical", "n_bin": rec.get("n_bin")}
    info = {
        "file": args.model,
        "size_bytes": mf.size_bytes,
        "configuration": mf.config,
        "treatment_groups": mf.n_groups,
        "trees": stats,
        "bins": bins,
        "feature_importance": importance,
    }
    if meta is not None:
        info["estimator"] = meta.get("estimator")
        info["treatment_labels"] = meta.get("classes")
    if args.json:
        json.dump(info, sys.stdout, indent=1)
        print()
        return 0
    cfg = mf.config
    print(f"model file   {args.model} ({mf.size_bytes:,} bytes)")
    if meta is not None:
        labels = meta.get("classes") or []
        print(f"estimator    {meta.get('estimator')} (control {labels[0] if labels else '?'}, treatments {', '.join(map(str, labels[1:]))})")
    print(f"trees        {stats['n_trees']} stored (n_tree {cfg.get('n_tree')})")
    if mf.n_groups is not None:
        print(f"groups       {mf.n_groups} (control + {mf.n_groups - 1} treatment groups)")
    print(
        f"nodes        min {stats['nodes']['min']}, mean {stats['nodes']['mean']:.1f}, max {stats['nodes']['max']} "
        f"(total {stats['total_nodes']:,})"
    )
    print(f"leaves       min {stats['leaves']['min']}, mean {stats['leaves']['mean']:.1f}, max {stats['leaves']['max']}")
    print(f"depth        min {stats['depth']['min']}, mean {stats['depth']['mean']:.2f}, max {stats['depth']['max']}")
    print("configuration")
    for key in (
        "feature_cols", "cat_cols", "treatment_cols", "y_col", "weight_col", "index_cols", "n_bin",
        "min_samples_leaf", "min_samples_treatment", "n_reg", "alpha", "normalization",
        "max_features", "max_depth", "n_tree", "subsample", "n_thread", "seed",
    ):
        if key in cfg:
            value = cfg[key]
            if isinstance(value, list):
                value = ", ".join(value) if value else "-"
            print(f"  {key:<22} {value}")
    print("feature importance (sum of gain importance over split nodes, normalised)")
    top = importance if args.top is None else importance[: args.top]
    rows = [
        [
            r["feature"] + (" (cat)" if r["categorical"] else ""),
            f"{r['importance']:.4f}",
            f"{r['n_splits']}",
            str(bins.get(r["feature"], {}).get("n_bin", "-")),
        ]
        for r in top
    ]
    _print_table(rows, ["feature", "importance", "splits", "bins"])
    return 0


# ------------------------------------------------------------------------ demo


def _corr(a: np.ndarray, b: np.ndarray) -> float:
    if a.size < 2 or np.std(a) == 0 or np.std(b) == 0:
        return float("nan")
    return float(np.corrcoef(a, b)[0, 1])


def _rank(a: np.ndarray) -> np.ndarray:
    order = np.argsort(a, kind="mergesort")
    r = np.empty(a.size)
    r[order] = np.arange(a.size)
    return r


def _demo_case(name, cls, data, args, progress, out_dir):
    train, test = data.split(0.3, seed=args.seed)
    est = cls(
        n_estimators=args.trees,
        max_depth=args.max_depth,
        min_samples_leaf=args.min_samples_leaf,
        n_jobs=args.threads,
        random_state=args.seed,
        categorical_features=data.categorical_features and data.categorical_indices,
    )
    with progress.step(f"{name}: training {args.trees} trees on {train.n_rows:,} rows ({args.threads} threads)") as st:
        est.fit(train.X, y=train.y, treatment=train.treatment)
    fit_s = st.seconds
    with progress.step(f"{name}: predicting {test.n_rows:,} held-out rows") as st:
        pred = est.predict(test.X)
    pred_s = st.seconds
    path = os.path.join(out_dir, f"{name}.model")
    est.save(path)
    from .estimators import load_estimator

    with progress.step(f"{name}: reloading {path}"):
        again = load_estimator(path)
        pred2 = again.predict(test.X)
    identical = bool(np.array_equal(pred, pred2))
    labels = list(range(1, data.n_treatments + 1))
    rep = metrics.uplift_report(test.y, test.treatment, pred, control=0, treatment_values=labels)
    oracle = np.atleast_1d(metrics.qini_coefficient(test.y, test.treatment, test.true_uplift, 0, labels))
    per = []
    for j, r in enumerate(rep):
        r["oracle_qini"] = float(oracle[j])
        r["pearson_true"] = _corr(pred[:, j], test.true_uplift[:, j])
        r["spearman_true"] = _corr(_rank(pred[:, j]), _rank(test.true_uplift[:, j]))
        r["mean_predicted"] = float(pred[:, j].mean())
        r["mean_true"] = float(test.true_uplift[:, j].mean())
        per.append(r)
    importances = est.feature_importances_
    top = np.argsort(-importances)[:3]
    return {
        "name": name,
        "model": est._model_name,
        "rows_train": train.n_rows,
        "rows_test": test.n_rows,
        "features": len(data.feature_names),
        "categorical": len(data.categorical_features),
        "treatments": data.n_treatments,
        "missing_fraction": data.info.get("missing_fraction"),
        "trees": args.trees,
        "fit_seconds": fit_s,
        "predict_seconds": pred_s,
        "model_file": path,
        "model_bytes": os.path.getsize(path),
        "reload_identical": identical,
        "top_features": [(data.feature_names[i], float(importances[i])) for i in top],
        "per_treatment": per,
        "_test": test,
        "_pred": pred,
    }


def cmd_demo(args) -> int:
    progress = Progress(args.quiet)
    from .estimators import UpliftRandomForestClassifier, UpliftRandomForestRegressor, import_module

    import_module()
    if args.quick:
        n_cls, n_reg = 10_000, 5_000
        args.trees = args.trees or 20
        args.min_samples_leaf = args.min_samples_leaf or 50
    else:
        n_cls, n_reg = 300_000, 100_000
        args.trees = args.trees or 100
        args.min_samples_leaf = args.min_samples_leaf or 100
    if args.rows:
        n_cls = args.rows
        n_reg = max(args.rows * 2 // 5, 100)
    out_dir = args.out
    os.makedirs(out_dir, exist_ok=True)
    t0 = time.perf_counter()
    with progress.step(f"generating {n_cls:,} classification rows (2 treatments) and {n_reg:,} regression rows (1 treatment)"):
        cls_data = datasets.make_uplift_classification(n_rows=n_cls, n_treatments=2, seed=args.seed)
        reg_data = datasets.make_uplift_regression(n_rows=n_reg, n_treatments=1, seed=args.seed + 1)
    if not args.no_data:
        with progress.step(f"writing the generated tables to {out_dir}"):
            write_table(os.path.join(out_dir, "classification.csv"), cls_data.columns(True, True))
            write_table(os.path.join(out_dir, "regression.csv"), reg_data.columns(True, True))
    cases = [
        _demo_case("classifier", UpliftRandomForestClassifier, cls_data, args, progress, out_dir),
        _demo_case("regressor", UpliftRandomForestRegressor, reg_data, args, progress, out_dir),
    ]
    total = time.perf_counter() - t0
    png = None
    from . import plotting

    if plotting.have_matplotlib():
        png = os.path.join(out_dir, "qini.png")
        with progress.step(f"writing {png}"):
            plotting.save_qini_png(
                png,
                [
                    {
                        "y": c["_test"].y,
                        "treatment": c["_test"].treatment,
                        "uplift": c["_pred"],
                        "treatment_values": list(range(1, c["treatments"] + 1)),
                        "title": f"{c['model']} (held-out {c['rows_test']:,} rows)",
                        "reference": c["_test"].true_uplift,
                        "reference_label": "ranking by true uplift",
                    }
                    for c in cases
                ],
            )
    else:
        progress.say("matplotlib is not installed: no qini.png (pip install matplotlib)")
    report = {"seed": args.seed, "threads": args.threads, "total_seconds": total, "qini_png": png, "cases": [
        {k: v for k, v in c.items() if not k.startswith("_")} for c in cases
    ]}
    text = _demo_text(report)
    print(text)
    with open(os.path.join(out_dir, "report.txt"), "w", encoding="utf-8") as fh:
        fh.write(text + "\n")
    with open(os.path.join(out_dir, "report.json"), "w", encoding="utf-8") as fh:
        json.dump(report, fh, indent=1, default=_json_default)
        fh.write("\n")
    ok = all(c["reload_identical"] for c in cases)
    if not ok:
        print("FAILED: predictions after save + load differ from those before", file=sys.stderr)
        return 1
    return 0


def _demo_text(report) -> str:
    lines = [f"quorvelin demo (seed {report['seed']}, {report['threads']} threads)", ""]
    for c in report["cases"]:
        lines.append(
            f"{c['model']}: {c['rows_train']:,} training rows, {c['rows_test']:,} held out; "
            f"{c['features']} features ({c['categorical']} categorical, "
            f"{100 * (c['missing_fraction'] or 0):.0f}% cells missing); {c['treatments']} treatment group(s)"
        )
        lines.append(
            f"  {c['trees']} trees: fit {c['fit_seconds']:.2f} s, predict {c['predict_seconds']:.2f} s; "
            f"model file {c['model_bytes']:,} bytes; reload gives identical predictions: "
            f"{'yes' if c['reload_identical'] else 'NO'}"
        )
        rows = [
            [
                str(r["treatment"]),
                _fmt(r["qini"]),
                _fmt(r["oracle_qini"]),
                _fmt(r["auuc"], 5),
                _fmt(r["uplift_at_k"]),
                _fmt(r["observed_effect"]),
                _fmt(r["pearson_true"], 3),
                _fmt(r["spearman_true"], 3),
            ]
            for r in c["per_treatment"]
        ]
        import io

        buf = io.StringIO()
        _print_table(rows, ["treatment", "qini", "qini(true)", "auuc", "uplift@0.3", "observed", "corr", "rank corr"], buf)
        lines.extend("  " + l for l in buf.getvalue().rstrip("\n").split("\n"))
        lines.append("  top features: " + ", ".join(f"{n} {v:.3f}" for n, v in c["top_features"]))
        lines.append("")
    lines.append(
        "qini: normalised Qini coefficient of the model on held-out rows; qini(true): the same for the "
        "true uplift (the best any model can do on this sample); corr / rank corr: Pearson / Spearman "
        "correlation of predicted with true uplift"
    )
    if report["qini_png"]:
        lines.append(f"Qini curves: {report['qini_png']}")
    lines.append(f"total {report['total_seconds']:.1f} s")
    return "\n".join(lines)


# ------------------------------------------------------------------------ parser


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        print(f"{self.prog}: error: {message}", file=sys.stderr)
        sys.exit(2)


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description="Uplift random forests: demo, data generation, training, prediction, evaluation.")
    p.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def common(sp):
        sp.add_argument("-q", "--quiet", action="store_true", help="no progress lines on stderr")

    d = sub.add_parser("demo", help="generate data, train both model kinds, evaluate, save and reload")
    d.add_argument("--quick", action="store_true", help="small CI-sized run (a few seconds)")
    d.add_argument("--out", default="demo-output", help="output directory (default: ./demo-output)")
    d.add_argument("--seed", type=int, default=42)
    d.add_argument("--threads", type=int, default=2)
    d.add_argument("--trees", type=int, default=None, help="trees per forest (default 100, 20 with --quick)")
    d.add_argument("--rows", type=int, default=None, help="classification rows (regression gets 40%%)")
    d.add_argument("--max-depth", type=int, default=6)
    d.add_argument("--min-samples-leaf", type=int, default=None)
    d.add_argument("--no-data", action="store_true", help="do not write the generated tables")
    common(d)
    d.set_defaults(func=cmd_demo)

    g = sub.add_parser("generate", help="write a synthetic uplift table with known true effects")
    g.add_argument("output", help="output file (.csv, or .parquet with pyarrow)")
    g.add_argument("--task", choices=["classification", "regression"], default="classification")
    g.add_argument("--rows", type=int, default=10_000)
    g.add_argument("--features", type=int, default=8, help="continuous features (at least 3)")
    g.add_argument("--categorical", type=int, default=2)
    g.add_argument("--treatments", type=int, default=2, help="treatment groups besides control")
    g.add_argument("--missing", type=float, default=0.05, help="fraction of missing feature cells")
    g.add_argument("--seed", type=int, default=None)
    g.add_argument("--truth", action="store_true", help="add true_uplift_<k> columns")
    common(g)
    g.set_defaults(func=cmd_generate)

    t = sub.add_parser("train", help="train a model on a CSV or Parquet table")
    t.add_argument("table")
    t.add_argument("-o", "--output", default="model.qvl", help="model file to write (default model.qvl)")
    t.add_argument("--treatment", help="treatment column")
    t.add_argument("--outcome", "-y", help="outcome column")
    t.add_argument("--features", help="comma-separated feature columns (default: all other columns)")
    t.add_argument("--cat", help="comma-separated categorical features (text columns always are)")
    t.add_argument("--weight", help="row weight column")
    t.add_argument("--ignore", help="comma-separated columns that are not features")
    t.add_argument("--control", help="control label in the treatment column (default 0)")
    t.add_argument("--kind", help="classifier or regressor (default: classifier for a 0/1 outcome)")
    t.add_argument("--conf", help="JSON file with column roles and settings (flags take precedence)")
    t.add_argument("--n-tree", type=int)
    t.add_argument("--max-depth", type=int)
    t.add_argument("--min-samples-leaf", type=int)
    t.add_argument("--min-samples-treatment", type=int)
    t.add_argument("--n-reg", type=int)
    t.add_argument("--max-features", type=int)
    t.add_argument("--n-bin", type=int)
    t.add_argument("--alpha", type=float)
    t.add_argument("--no-normalization", action="store_true")
    t.add_argument("--subsample", type=float)
    t.add_argument("--threads", type=int)
    t.add_argument("--seed", type=int)
    common(t)
    t.set_defaults(func=cmd_train)

    pr = sub.add_parser("predict", help="score a table with a model file")
    pr.add_argument("model")
    pr.add_argument("table")
    pr.add_argument("-o", "--output", default="predictions.csv", help="output table ('-' for stdout)")
    pr.add_argument("--keep", help="comma-separated input columns copied to the output")
    pr.add_argument("--kind", help="model kind, needed only for a bare model file")
    common(pr)
    pr.set_defaults(func=cmd_predict)

    e = sub.add_parser("evaluate", help="Qini / AUUC report of uplift scores")
    e.add_argument("table", help="table with treatment and outcome (and the scores, unless --scores)")
    e.add_argument("--scores", help="separate table of scores, row-aligned with TABLE")
    e.add_argument("--treatment", required=True)
    e.add_argument("--outcome", "-y", required=True)
    e.add_argument("--score", action="append", metavar="COL[=LABEL]", help="score column and its treatment label (repeatable; default: every uplift_<label> column)")
    e.add_argument("--control", default="0")
    e.add_argument("--k", default="0.3", help="top fraction (or row count) for uplift@k")
    e.add_argument("--plot", help="write the Qini curves to this PNG (needs matplotlib)")
    e.add_argument("--json", help="write the report as JSON")
    common(e)
    e.set_defaults(func=cmd_evaluate)

    i = sub.add_parser("inspect", help="configuration, tree statistics and feature importance of a model file")
    i.add_argument("model")
    i.add_argument("--json", action="store_true", help="machine-readable output")
    i.add_argument("--top", type=int, default=None, help="show only the N most important features")
    i.set_defaults(func=cmd_inspect)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not getattr(args, "command", None):
        parser.print_help()
        return 2
    from .estimators import QuorvelinError

    try:
        return int(args.func(args) or 0)
    except UsageError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except (TableError, ModelFileError) as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except QuorvelinError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except ImportError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except (ValueError, FileNotFoundError, PermissionError, IsADirectoryError) as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
