#!/usr/bin/env python3
"""Training and prediction timings of quorvelin on a synthetic uplift table.

The table has 20 continuous features (about 5% of the cells missing), one treatment column
(0 = control, 1 = treated, half and half), a binary outcome for the classifier and a
continuous outcome for the regressor. Both outcomes carry a treatment effect that depends on
the features, so the trees have real splits to find. Everything is drawn from one fixed seed.

The module takes rows as Python lists of floats and None, so the NumPy arrays are turned into
such lists once per table size and reused by every run on that size.

Columns of the table printed at the end:

  lists_s     building the Python row lists from the NumPy arrays (once per table size, so
              the same number appears on every line of that size)
  convert_s   predict time of a one-tree, depth-1 forest on the whole table. Routing rows
              through a single split is negligible, so this is what every fit and predict
              pays before any tree work: reading the Python rows into 32-bit floats and
              binning the feature columns. It is not separable from the calls themselves.
  fit_s       wall time of fit, conversion included
  predict_s   wall time of predict, conversion included
  ns/pair     fit wall time divided by an estimate of the number of (row, feature) pairs the
              split search tallies:

                  n_tree * rows_per_tree * max_features * depth_levels

              rows_per_tree = int(subsample * rows) (the bootstrap sample), max_features is
              capped by the number of features, and depth_levels = max_depth + 1 because the
              root is level 0 and nodes on the last level are still searched for a split.
              It is an upper bound on the work: nodes that stop early (min_samples_leaf,
              no positive gain) never pass their rows further down. The figure therefore
              understates the true cost per tally, includes conversion and the row
              partitioning, and is per wall-clock second, so with 2 threads it should ideally
              halve.

Run from anywhere after `pip install .` (or ./scripts/setup.sh):

    python3 bench/bench.py                          # 100,000 and 1,000,000 rows
    python3 bench/bench.py --rows 20000 --trees 10  # a quick look
"""

from __future__ import annotations

import argparse
import gc
import sys
import time

import numpy as np

import quorvelin

N_FEATURES = 20
MISSING_RATE = 0.05
SEED = 20240611
MODEL_SEED = 7

KINDS = {
    "classifier": ("RandomForestClassifier", "y_bin"),
    "regressor": ("RandomForestRegressor", "y_cont"),
}

FEATURES = [f"f{i}" for i in range(N_FEATURES)]
HEADERS = FEATURES + ["treatment", "y_bin", "y_cont"]


def make_table(n_rows: int, seed: int = SEED) -> np.ndarray:
    """The synthetic table as a float64 array, NaN for missing feature cells."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n_rows, N_FEATURES))
    t = rng.integers(0, 2, n_rows)

    # Outcomes are generated from the complete features; only the copy handed to the model
    # has holes, as with values lost after the fact.
    base = -0.8 + 0.6 * x[:, 0] - 0.4 * x[:, 1] + 0.3 * x[:, 4]
    effect_bin = 0.8 * (x[:, 2] > 0.0) + 0.5 * np.tanh(x[:, 3]) - 0.3 * (x[:, 5] < -0.5)
    p = 1.0 / (1.0 + np.exp(-(base + t * effect_bin)))
    y_bin = (rng.random(n_rows) < p).astype(np.float64)

    effect_cont = 1.0 + 1.5 * (x[:, 2] > 0.0) + np.sin(x[:, 3]) - 0.8 * np.abs(x[:, 6])
    y_cont = x[:, 0] + 0.5 * x[:, 1] ** 2 + t * effect_cont + rng.standard_normal(n_rows)

    x_obs = x.copy()
    x_obs[rng.random(x.shape) < MISSING_RATE] = np.nan

    table = np.empty((n_rows, len(HEADERS)), dtype=np.float64)
    table[:, :N_FEATURES] = x_obs
    table[:, N_FEATURES] = t
    table[:, N_FEATURES + 1] = y_bin
    table[:, N_FEATURES + 2] = y_cont
    return table


def to_rows(table: np.ndarray) -> list[list[float | None]]:
    """Rows of Python floats, None where the array holds NaN."""
    cells = table.astype(object)
    cells[np.isnan(table)] = None
    return cells.tolist()


def conf_for(kind: str, n_tree: int, n_thread: int, **extra) -> dict:
    _, y = KINDS[kind]
    conf = {
        "feature": FEATURES,
        "treatment": ["treatment"],
        "y": y,
        "n_tree": n_tree,
        "n_thread": n_thread,
        "seed": MODEL_SEED,
    }
    conf.update(extra)
    return conf


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def conversion_seconds(kind: str, rows: list) -> float:
    """Predict time of a minimal forest: essentially row reading plus binning."""
    name, _ = KINDS[kind]
    model = quorvelin.CausalModel(name, conf_for(kind, 1, 1, max_depth=1))
    model.fit(HEADERS, rows)
    seconds, result = timed(model.predict, HEADERS, rows)
    del result, model
    gc.collect()
    return seconds


def tallied_pairs(n_rows: int, conf: dict) -> float:
    # The defaults of the fields the bench does not set.
    subsample = conf.get("subsample", 1.0)
    max_features = min(conf.get("max_features", 10), N_FEATURES)
    depth_levels = conf.get("max_depth", 6) + 1
    rows_per_tree = int(subsample * n_rows)
    return float(conf["n_tree"]) * rows_per_tree * max_features * depth_levels


def parse_list(text: str, convert=int) -> list:
    return [convert(item) for item in text.replace(" ", "").split(",") if item]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", default="100000,1000000",
                        help="comma-separated table sizes (default: 100000,1000000)")
    parser.add_argument("--trees", type=int, default=100, help="n_tree of every forest (default: 100)")
    parser.add_argument("--threads", default="1,2", help="comma-separated n_thread values (default: 1,2)")
    parser.add_argument("--kinds", default="classifier,regressor",
                        help="comma-separated model kinds: classifier, regressor (default: both)")
    args = parser.parse_args(argv)

    sizes = parse_list(args.rows)
    threads = parse_list(args.threads)
    kinds = parse_list(args.kinds, str)
    unknown = [k for k in kinds if k not in KINDS]
    if unknown or not kinds:
        parser.error(f"unknown kind(s) {', '.join(unknown) or '(none)'}; choose from {', '.join(KINDS)}")
    if not sizes or min(sizes) <= 0 or not threads or min(threads) <= 0 or args.trees <= 0:
        parser.error("--rows, --threads and --trees must be positive")

    header = (f"{'kind':<10} {'rows':>9} {'trees':>5} {'thr':>3} {'lists_s':>8} {'convert_s':>9} "
              f"{'fit_s':>8} {'predict_s':>9} {'ns/pair':>8}")
    lines = []
    for n_rows in sizes:
        print(f"# generating {n_rows:,} rows", file=sys.stderr, flush=True)
        table = make_table(n_rows)
        lists_s, rows = timed(to_rows, table)
        del table
        gc.collect()
        for kind in kinds:
            print(f"#   {kind}: conversion", file=sys.stderr, flush=True)
            convert_s = conversion_seconds(kind, rows)
            for n_thread in threads:
                print(f"#   {kind}: fit and predict, {args.trees} trees, {n_thread} thread(s)",
                      file=sys.stderr, flush=True)
                conf = conf_for(kind, args.trees, n_thread)
                model = quorvelin.CausalModel(KINDS[kind][0], conf)
                fit_s, _ = timed(model.fit, HEADERS, rows)
                predict_s, result = timed(model.predict, HEADERS, rows)
                if len(result) != n_rows:
                    raise SystemExit(f"predict returned {len(result)} rows for {n_rows}")
                del result, model
                gc.collect()
                ns_pair = fit_s * 1e9 / tallied_pairs(n_rows, conf)
                lines.append(f"{kind:<10} {n_rows:>9} {args.trees:>5} {n_thread:>3} {lists_s:>8.2f} "
                             f"{convert_s:>9.2f} {fit_s:>8.2f} {predict_s:>9.2f} {ns_pair:>8.3f}")
        del rows
        gc.collect()

    print(header)
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
