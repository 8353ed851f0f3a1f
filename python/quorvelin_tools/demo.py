"""The ``quorvelin demo`` command: generates two synthetic tables, trains both model
kinds on named columns (text categories, missing values), evaluates them on held-out
rows against the known true uplift, saves and reloads them, and writes the tables,
models, charts and a report into one directory whose files work with the other
commands (``quorvelin predict OUT/classifier.model OUT/classification.csv``)."""

from __future__ import annotations

import io
import json
import os
import sys
import time

import numpy as np

from . import datasets, metrics
from .console import Progress, fmt, json_default, table_text
from .tables import write_table

K = 0.3  # top fraction for uplift@k
CI = 0.95


def _corr(a: np.ndarray, b: np.ndarray) -> float:
    if a.size < 2 or np.std(a) == 0 or np.std(b) == 0:
        return float("nan")
    return float(np.corrcoef(a, b)[0, 1])


def _rank(a: np.ndarray) -> np.ndarray:
    order = np.argsort(a, kind="mergesort")
    r = np.empty(a.size)
    r[order] = np.arange(a.size)
    return r


def _frame(data: datasets.UpliftDataset):
    """The features as the written CSV holds them: named columns, categories as text."""
    import pandas as pd

    cols = data.columns(categories_as_text=True)
    return pd.DataFrame({name: cols[name] for name in data.feature_names})


def _case(name, cls, data, args, progress, out_dir):
    train, test = data.split(0.3, seed=args.seed)
    est = cls(
        n_estimators=args.trees,
        max_depth=args.max_depth,
        min_samples_leaf=args.min_samples_leaf,
        n_jobs=args.threads,
        random_state=args.seed,
    )
    X_train, X_test = _frame(train), _frame(test)
    with progress.step(f"{name}: training {args.trees} trees on {train.n_rows:,} rows ({args.threads} threads)") as st:
        est.fit(X_train, y=train.y, treatment=train.treatment)
    fit_s = st.seconds
    with progress.step(f"{name}: predicting {test.n_rows:,} held-out rows") as st:
        pred = np.asarray(est.predict(X_test), dtype=np.float64).reshape(test.n_rows, -1)
    pred_s = st.seconds
    path = os.path.join(out_dir, f"{name}.model")
    est.save(path)
    from .estimators import load_estimator

    with progress.step(f"{name}: reloading {path}"):
        again = load_estimator(path)
        pred2 = np.asarray(again.predict(X_test), dtype=np.float64).reshape(test.n_rows, -1)
    labels = list(range(1, data.n_treatments + 1))
    with progress.step(f"{name}: evaluating, with {CI:.0%} bootstrap intervals"):
        rep = metrics.uplift_report(test.y, pred, test.treatment, control=0, treatment_values=labels, k=K, ci=CI)
        oracle = np.atleast_1d(metrics.qini_coefficient(test.y, test.true_uplift, test.treatment, 0, labels))
    for j, r in enumerate(rep):
        r["oracle_qini"] = float(oracle[j])
        r["pearson_true"] = _corr(pred[:, j], test.true_uplift[:, j])
        r["spearman_true"] = _corr(_rank(pred[:, j]), _rank(test.true_uplift[:, j]))
        r["mean_predicted"] = float(pred[:, j].mean())
        r["mean_true"] = float(test.true_uplift[:, j].mean())
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
        "reload_identical": bool(np.array_equal(pred, pred2)),
        "top_features": [(data.feature_names[i], float(importances[i])) for i in top],
        "per_treatment": rep,
        "_test": test,
        "_pred": pred,
    }


def _charts(cases, out_dir, progress):
    """Qini curves and uplift by decile, or None each without matplotlib."""
    from . import plotting

    if not plotting.have_matplotlib():
        progress.say("matplotlib is not installed: no charts (pip install matplotlib)")
        return None, None
    panels = [
        {
            "y_true": c["_test"].y,
            "uplift": c["_pred"],
            "treatment": c["_test"].treatment,
            "treatment_values": list(range(1, c["treatments"] + 1)),
            "title": f"{c['model']} (held-out {c['rows_test']:,} rows)",
            "reference": c["_test"].true_uplift,
            "reference_label": "true uplift",
        }
        for c in cases
    ]
    qini = os.path.join(out_dir, "qini.png")
    deciles = os.path.join(out_dir, "uplift_by_decile.png")
    with progress.step(f"writing {qini} and {deciles}"):
        plotting.save_qini_png(qini, panels)
        plotting.save_uplift_by_percentile_png(deciles, panels)
    return qini, deciles


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
        _case("classifier", UpliftRandomForestClassifier, cls_data, args, progress, out_dir),
        _case("regressor", UpliftRandomForestRegressor, reg_data, args, progress, out_dir),
    ]
    qini_png, deciles_png = _charts(cases, out_dir, progress)
    total = time.perf_counter() - t0
    report = {
        "seed": args.seed,
        "threads": args.threads,
        "total_seconds": total,
        "qini_png": qini_png,
        "uplift_by_decile_png": deciles_png,
        "cases": [{k: v for k, v in c.items() if not k.startswith("_")} for c in cases],
    }
    text = demo_text(report, out_dir, args.no_data)
    print(text)
    with open(os.path.join(out_dir, "report.txt"), "w", encoding="utf-8") as fh:
        fh.write(text + "\n")
    with open(os.path.join(out_dir, "report.json"), "w", encoding="utf-8") as fh:
        json.dump(report, fh, indent=1, default=json_default)
        fh.write("\n")
    if not all(c["reload_identical"] for c in cases):
        print("FAILED: predictions after save + load differ from those before", file=sys.stderr)
        return 1
    return 0


def demo_text(report, out_dir, no_data=False) -> str:
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
                fmt(r["qini"]),
                f"[{fmt(r['qini_low'], 3)}, {fmt(r['qini_high'], 3)}]",
                fmt(r["oracle_qini"]),
                fmt(r["auuc"]),
                fmt(r["uplift_at_k"]),
                fmt(r["observed_effect"]),
                fmt(r["pearson_true"], 3),
                fmt(r["spearman_true"], 3),
            ]
            for r in c["per_treatment"]
        ]
        header = ["treatment", "qini", f"qini {CI:.0%} CI", "qini(true)", "auuc", f"uplift@{K}", "observed", "corr", "rank corr"]
        lines.extend("  " + line for line in table_text(rows, header))
        lines.append("  top features: " + ", ".join(f"{n} {v:.3f}" for n, v in c["top_features"]))
        lines.append("")
    lines.append(
        "qini, auuc: normalised areas of the Qini and uplift curves on held-out rows (1 = perfect ranking of "
        "the observed outcomes, 0 = random); qini(true): the same for the true uplift, the best a model can "
        f"hope for on this sample; uplift@{K}: observed uplift among the top {K:.0%} by predicted uplift; "
        "observed: treated minus control mean outcome over all held-out rows; corr / rank corr: Pearson / "
        "Spearman correlation of predicted with true uplift"
    )
    if report.get("qini_png"):
        lines.append(f"charts: {report['qini_png']} (Qini curves), {report['uplift_by_decile_png']} (uplift by decile)")
    if not no_data:
        model = os.path.join(out_dir, "classifier.model")
        table = os.path.join(out_dir, "classification.csv")
        lines.append(f"try:   quorvelin predict {model} {table} -o predictions.csv")
    lines.append(f"total {report['total_seconds']:.1f} s")
    return "\n".join(lines)
