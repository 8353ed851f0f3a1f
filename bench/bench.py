#!/usr/bin/env python3
"""Reproducible benchmark of quorvelin's fit and predict on synthetic uplift tables.

One command, from the repository root, after the module is installed (`pip install .`):

    python3 bench/bench.py            # 10k, 100k and 1M rows (several minutes)
    python3 bench/bench.py --quick    # 10k and 100k rows only

Tables
    Drawn from one fixed seed per (rows, groups): 20 continuous features (normal, log-normal
    and heavily tied ones) with about 5% of their cells missing, 2 categorical features
    (4 and 12 levels, skewed), a treatment column with the control group 0 and one treatment
    (2 groups) or two treatments (3 groups), a binary outcome for the classifier and a
    continuous outcome for the regressor. Both outcomes carry a treatment effect that depends
    on the features and differs between the treatment groups.

Input paths
    array  a 2-D NumPy float array (float64 unless --dtype float32), read in place by the
           module. Such an array has no missing value (a NaN is a value, and a continuous
           column refuses it), so this path gets the same table before the cells were
           removed: every value present.
    lists  a list of row lists of Python floats with None for the missing cells, the
           general path.
    Each model kind gets its own columns: 22 features, the treatment and its outcome.

Settings (every forest)
    n_tree 100, max_depth 6, max_features 10, min_samples_leaf 100, n_bin 30,
    min_samples_treatment 10, n_reg 10, normalization True, seed 7; n_thread 1 and 2.

Measured, per kind, rows, groups, input path and thread count, --repeat times (default 3),
interleaved (full fit, full predict, conversion fit, conversion predict, then again):

  fit s, predict s   wall time of the call, as a Python caller sees it: argument
                     conversion, binning and, for predict, building the result lists.
                     Shown as median [min-max] over the repeats.
  fit cpu s          CPU seconds of the process during fit (median, all threads together).
                     Waiting for a CPU held by another process does not count, so on a busy
                     shared machine it shows the work when the wall time is inflated; with
                     2 threads it also shows what the second thread adds.
  conv fit/pred      share of the call spent outside the trees: the same call made with a
                     one-tree forest of max_depth 0 (one root node, no split, no routing),
                     divided by the full call, medians of both. For fit that is reading the
                     input, fitting and applying the bins, plus one bootstrap draw and the
                     root tallies of one tree (about 1/700 of the forest's tallies); for
                     predict, reading and binning the input and converting the result.
  ns/pair            fit wall time (median) divided by the number of tallied (row, feature)
                     pairs of that forest. Wall time, so with 2 threads it should halve.
                     Counted, not guessed: the model is saved and read back, and for every
                     node that received a split record (every node the learner visited,
                     leaves included; each ran the criterion on min(max_features,
                     n_features) = 10 candidate features) the node's bootstrap row count is
                     multiplied by 10 and summed over nodes and trees.
                     classifier: exact. A node's summary holds each group's total weight in
                                 column 1; with unit weights their sum is the node's row
                                 count (duplicates of the bootstrap included).
                     regressor:  its summary holds only means, so the count is estimated:
                                 the training table is binned with the model's own bins and
                                 routed down every tree; the number of table rows reaching a
                                 node is the expected number of bootstrap rows reaching it
                                 (each row is drawn once per tree on average). The same
                                 estimate is made for the classifier and printed next to
                                 its exact count as a check of the method.
                     This counts the tallies the criterion defines. An engine that derives a
                     child's table by subtraction reads fewer rows than that; the figure then
                     shows the saving as fewer ns per pair.
  LightGBM           optional speed anchor, only when `import lightgbm` works: the same
                     no-missing array's 22 features (the two categorical ones declared as
                     such) and the binary outcome, objective binary, 100 trees, max_depth 6,
                     num_leaves 64 (the leaves a depth-6 tree can have), max_bin 30,
                     min_data_in_leaf 100, bagging_fraction 0.63 with bagging_freq 1 (the
                     share of distinct rows in a bootstrap sample), feature_fraction_bynode
                     0.5, num_threads 1 and 2; Dataset construction (its binning) included in
                     the time. It is timed in the same rounds as the classifier on the array
                     (after each round's four quorvelin calls), so both meet the same load.
                     "vs LGBM" = quorvelin fit / LightGBM fit at the same rows, groups and
                     threads, of the medians and, in brackets, of the minima (the fastest of
                     the repeats is the one least disturbed by other processes); both grow
                     100 trees, so it is also the ratio of times per tree. LightGBM always
                     gets the array; on "lists" lines the ratio includes quorvelin's list
                     conversion. Its threads wait for each other at every step, so on a
                     machine whose CPUs are taken by other processes its 2-thread times can
                     blow up; the load column tells.
  causalml           its UpliftRandomForestClassifier (KL criterion; the same n_tree,
                     max_depth, min_samples_leaf, min_samples_treatment, n_reg, max_features,
                     seed and thread count) on the same complete array, 2- and 3-group
                     classifier cases up to --causalml-max-rows rows, timed in the same rounds
                     as the classifier (fit, then predict). "vs causalml" = quorvelin fit /
                     causalml fit and quorvelin predict / causalml predict, of the medians.
                     causalml does not know categorical features: it splits the two coded
                     ones as numbers. Install it with bench/setup-peers.sh (bench/.venv).
  load               the 1-minute load average when the case ended: on a shared machine,
                     a figure above the CPU count means other processes took CPU time from
                     the measurement (2-thread runs suffer first).
  peak RSS           ru_maxrss of this process at the end (the list tables dominate it).
                     And, in a fresh subprocess per kind and thread count, the memory
                     measurement: a float32 array of the largest table run, with 2 groups
                     (22 features, treatment, outcome), is loaded from a .npy file, the
                     process's peak RSS (VmHWM) is reset to its current RSS, and read again
                     after fit and after predict. The rise during fit is compared with the
                     array's size and with the size of its 22 feature columns. VmHWM rather
                     than ru_maxrss there, because Linux hands a child the peak of its parent
                     through fork and exec, which would hide the child's own peak.

Progress goes to stderr, the tables to stdout; --json FILE also writes every raw timing.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import quorvelin

N_CONT = 20
CAT_LEVELS = (4, 12)
MISSING_RATE = 0.05
DATA_SEED = 20240611
MODEL_SEED = 7

CONT = [f"x{i}" for i in range(N_CONT)]
CATS = [f"c{i}" for i in range(len(CAT_LEVELS))]
FEATURES = CONT + CATS
N_FEATURES = len(FEATURES)

SETTINGS = {
    "n_tree": 100,
    "max_depth": 6,
    "max_features": 10,
    "min_samples_leaf": 100,
    "n_bin": 30,
    "min_samples_treatment": 10,
    "n_reg": 10,
    "normalization": True,
    "seed": MODEL_SEED,
}

KINDS = {
    "classifier": ("RandomForestClassifier", "y_bin"),
    "regressor": ("RandomForestRegressor", "y_cont"),
}
PATHS = ("array", "lists")
MIB = 1024.0 * 1024.0


def log(message: str) -> None:
    print(f"# {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Data


def make_table(n_rows: int, n_groups: int, seed: int = DATA_SEED) -> dict:
    """Complete features, the cells to remove, treatment and both outcomes, all float64."""
    rng = np.random.default_rng([seed, n_rows, n_groups])
    x = rng.standard_normal((n_rows, N_CONT))
    # Binning should meet more than bell curves: skewed columns and columns with few values.
    x[:, 10:14] = np.exp(x[:, 10:14])
    x[:, 14:17] = np.round(2.0 * x[:, 14:17])
    c0 = rng.integers(0, CAT_LEVELS[0], n_rows).astype(np.float64)
    skew = 1.0 / np.arange(1, CAT_LEVELS[1] + 1)
    c1 = rng.choice(CAT_LEVELS[1], n_rows, p=skew / skew.sum()).astype(np.float64)
    t = rng.integers(0, n_groups, n_rows)

    # One effect per treatment group, each depending on other features.
    effect_bin = np.zeros((n_groups, n_rows))
    effect_cont = np.zeros((n_groups, n_rows))
    if n_groups > 1:
        effect_bin[1] = (0.8 * (x[:, 2] > 0.0) + 0.5 * np.tanh(x[:, 3])
                         - 0.3 * (x[:, 5] < -0.5) + 0.3 * (c0 == 1))
        effect_cont[1] = 1.0 + 1.5 * (x[:, 2] > 0.0) + np.sin(x[:, 3]) - 0.8 * np.abs(x[:, 6])
    if n_groups > 2:
        effect_bin[2] = 0.6 * (x[:, 7] > 0.5) - 0.4 * (c1 < 3) + 0.3 * np.tanh(x[:, 8])
        effect_cont[2] = 0.5 + 1.2 * (x[:, 7] > 0.5) - 0.6 * (c1 < 3) + 0.5 * x[:, 8]
    rows = np.arange(n_rows)
    base = -0.8 + 0.6 * x[:, 0] - 0.4 * x[:, 1] + 0.3 * x[:, 4] + 0.2 * (c1 == 0)
    p = 1.0 / (1.0 + np.exp(-(base + effect_bin[t, rows])))
    y_bin = (rng.random(n_rows) < p).astype(np.float64)
    y_cont = x[:, 0] + 0.5 * x[:, 1] ** 2 + effect_cont[t, rows] + rng.standard_normal(n_rows)

    features = np.empty((n_rows, N_FEATURES))
    features[:, :N_CONT] = x
    features[:, N_CONT] = c0
    features[:, N_CONT + 1] = c1
    # The outcomes come from complete features; values are lost afterwards, continuous only.
    missing = rng.random((n_rows, N_CONT)) < MISSING_RATE
    return {"features": features, "missing": missing, "t": t.astype(np.float64),
            "y_bin": y_bin, "y_cont": y_cont, "groups": n_groups}


def headers_for(kind: str) -> list[str]:
    return FEATURES + ["treatment", KINDS[kind][1]]


def array_input(table: dict, kind: str, dtype) -> np.ndarray:
    """The kind's columns as one C-ordered array, every value present."""
    n_rows = table["features"].shape[0]
    arr = np.empty((n_rows, N_FEATURES + 2), dtype=dtype)
    arr[:, :N_FEATURES] = table["features"]
    arr[:, N_FEATURES] = table["t"]
    arr[:, N_FEATURES + 1] = table[KINDS[kind][1]]
    return arr


def list_input(table: dict, kind: str) -> list[list[float | None]]:
    """The kind's columns as row lists of Python floats, None in the removed cells."""
    cells = array_input(table, kind, np.float64).astype(object)
    cont = cells[:, :N_CONT]
    cont[table["missing"]] = None
    return cells.tolist()


def observed_features(table: dict, path: str) -> np.ndarray:
    """The feature values the module sees on a path, NaN for missing (for routing only)."""
    if path == "array":
        return table["features"]
    features = table["features"].copy()
    features[:, :N_CONT][table["missing"]] = np.nan
    return features


# ---------------------------------------------------------------------------------------------
# Model file: counting tallied pairs


def read_model(path: str) -> tuple[dict, dict, list[dict]]:
    """Configuration, bins by feature name and tree records of a saved model."""
    with open(path, encoding="utf-8") as handle:
        parts = handle.read().split("\n\n")
    config = json.loads(parts[0])
    n_feat = len(config["feature_cols"])
    bins = {}
    for section in parts[1:1 + n_feat]:
        kind, name, record = section.split("\n")[:3]
        bins[name] = (kind, json.loads(record))
    trees = [json.loads(section.split("\n")[1])
             for section in parts[1 + n_feat:1 + n_feat + config["n_tree"]]]
    return config, bins, trees


def candidates(config: dict) -> int:
    return min(config["max_features"], len(config["feature_cols"]))


def exact_pairs(config: dict, trees: list[dict]) -> int:
    """Classifier only: sum of the groups' weights (column 1) of every recorded node."""
    rows = 0.0
    for tree in trees:
        for record in tree["split"]:
            if record is not None:
                rows += sum(group[1] for group in record["summary"])
    return int(round(rows)) * candidates(config)


def bin_features(features: np.ndarray, config: dict, bins: dict) -> np.ndarray:
    """The model's binning of a table, feature by feature; 255 marks a missing cell."""
    binned = np.empty((len(config["feature_cols"]), features.shape[0]), dtype=np.uint8)
    for f, name in enumerate(config["feature_cols"]):
        column = features[:, f].astype(np.float32)
        kind, record = bins[name]
        if kind == "Continuous":
            thresholds = np.asarray(record["threshold"], dtype=np.float32)
            cells = np.searchsorted(thresholds, column, side="right")
        else:
            mapping = np.asarray(record["mapping"], dtype=np.float32)
            cells = np.full(column.shape, len(mapping), dtype=np.int64)
            for k in range(len(mapping) - 1, -1, -1):
                cells[column == mapping[k]] = k
        cells = np.where(np.isnan(column), 255, cells)
        binned[f] = cells
    return binned


def routed_pairs(config: dict, trees: list[dict], binned: np.ndarray) -> int:
    """Every table row routed down every tree: expected bootstrap rows per visited node."""
    n_rows = binned.shape[1]
    flat = binned.reshape(-1)
    total = 0
    for tree in trees:
        split = tree["split"]
        n_nodes = len(split)
        left = np.array([-1 if c is None else c for c in tree["left_children"]], dtype=np.int64)
        right = np.array([-1 if c is None else c for c in tree["right_children"]], dtype=np.int64)
        feature = np.zeros(n_nodes, dtype=np.int64)
        bin_at = np.zeros(n_nodes, dtype=np.int64)
        iscat = np.zeros(n_nodes, dtype=bool)
        for node, record in enumerate(split):
            if record is not None and left[node] >= 0:
                feature[node] = record["feature_id"]
                bin_at[node] = record["value"][0]
                iscat[node] = record["iscat"]
        visits = np.zeros(n_nodes, dtype=np.int64)
        visits[0] = n_rows
        rows = np.arange(n_rows, dtype=np.int64)
        node = np.zeros(n_rows, dtype=np.int64)
        while rows.size:
            inner = left[node] >= 0
            rows, node = rows[inner], node[inner]
            if not rows.size:
                break
            cell = flat[feature[node] * n_rows + rows]
            t = bin_at[node]
            goes_left = (cell != 255) & np.where(iscat[node], cell == t, cell <= t)
            node = np.where(goes_left, left[node], right[node])
            visits += np.bincount(node, minlength=n_nodes)
        recorded = np.array([record is not None for record in split])
        total += int(visits[recorded].sum())
    return total * candidates(config)


def count_pairs(model, kind: str, features: np.ndarray, check: bool) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.txt")
        model.save(path)
        config, bins, trees = read_model(path)
    nodes = sum(sum(1 for r in tree["split"] if r is not None) for tree in trees)
    result = {"nodes": nodes}
    if kind == "classifier":
        result["pairs"] = exact_pairs(config, trees)
        result["method"] = "exact"
        if check:
            result["routed"] = routed_pairs(config, trees, bin_features(features, config, bins))
    else:
        result["pairs"] = routed_pairs(config, trees, bin_features(features, config, bins))
        result["method"] = "routed"
    return result


# ---------------------------------------------------------------------------------------------
# Timing


def timed(fn, *args, cpu: list | None = None) -> tuple[float, object]:
    """Wall seconds of one call; its process CPU seconds are appended to cpu if given."""
    gc.collect()
    cpu_start = time.process_time()
    start = time.perf_counter()
    result = fn(*args)
    seconds = time.perf_counter() - start
    if cpu is not None:
        cpu.append(time.process_time() - cpu_start)
    return seconds, result


def conf_for(kind: str, n_thread: int, **overrides) -> dict:
    conf = {"feature": FEATURES, "cat": CATS, "treatment": ["treatment"], "y": KINDS[kind][1]}
    conf.update(SETTINGS)
    conf["n_thread"] = n_thread
    conf.update(overrides)
    return conf


def run_case(kind: str, data, n_rows: int, n_thread: int, repeat: int, trees: int,
             peer=None, causalml=None) -> dict:
    """Full and conversion-only fit and predict, repeats interleaved; the last full model.
    A peer's fit, when given, is timed in the same rounds, so it meets the same machine load."""
    name = KINDS[kind][0]
    headers = headers_for(kind)
    times = {key: [] for key in ("fit", "predict", "conv_fit", "conv_predict", "fit_cpu", "peer",
                                 "causalml_fit", "causalml_predict")}
    model = None
    for _ in range(repeat):
        model = None
        gc.collect()
        model = quorvelin.CausalModel(name, conf_for(kind, n_thread, n_tree=trees))
        seconds, _ = timed(model.fit, headers, data, cpu=times["fit_cpu"])
        times["fit"].append(seconds)
        seconds, result = timed(model.predict, headers, data)
        times["predict"].append(seconds)
        if len(result) != n_rows:
            raise SystemExit(f"predict returned {len(result)} rows for {n_rows}")
        del result

        stub = quorvelin.CausalModel(name, conf_for(kind, n_thread, n_tree=1, max_depth=0))
        seconds, _ = timed(stub.fit, headers, data)
        times["conv_fit"].append(seconds)
        seconds, result = timed(stub.predict, headers, data)
        times["conv_predict"].append(seconds)
        del result, stub
        if peer is not None:
            times["peer"].append(peer())
        if causalml is not None:
            fit_s, predict_s = causalml()
            times["causalml_fit"].append(fit_s)
            times["causalml_predict"].append(predict_s)
    return {"times": times, "model": model}


def causalml_case(table: dict, n_thread: int, trees: int):
    """A function timing one fit and one predict of causalml's uplift random forest (KL
    criterion, the same settings) on the table's complete features, as (fit s, predict s)."""
    from causalml.inference.tree import UpliftRandomForestClassifier

    x = np.ascontiguousarray(table["features"])
    labels = np.where(table["t"] > 0, "treatment", "control")
    if table["groups"] > 2:
        labels = np.array(["control", "treatment1", "treatment2"])[table["t"].astype(int)]

    def run() -> tuple[float, float]:
        model = UpliftRandomForestClassifier(
            n_estimators=trees, max_depth=SETTINGS["max_depth"], min_samples_leaf=SETTINGS["min_samples_leaf"],
            min_samples_treatment=SETTINGS["min_samples_treatment"], n_reg=SETTINGS["n_reg"],
            max_features=SETTINGS["max_features"], evaluationFunction="KL", control_name="control",
            n_jobs=n_thread, random_state=MODEL_SEED)
        fit_s, _ = timed(lambda: model.fit(x, treatment=labels, y=table["y_bin"]))
        predict_s, _ = timed(lambda: model.predict(x))
        return fit_s, predict_s

    return run


def lightgbm_fit(table: dict, n_thread: int, trees: int, dtype):
    """A function timing one LightGBM training on the table's complete features."""
    import lightgbm as lgb

    x = np.ascontiguousarray(table["features"], dtype=dtype)
    y = table["y_bin"]
    cats = list(range(N_CONT, N_FEATURES))
    params = {
        "objective": "binary",
        "max_depth": SETTINGS["max_depth"],
        "num_leaves": 2 ** SETTINGS["max_depth"],
        "max_bin": SETTINGS["n_bin"],
        "min_data_in_leaf": SETTINGS["min_samples_leaf"],
        "bagging_fraction": 0.63,
        "bagging_freq": 1,
        "feature_fraction_bynode": 0.5,
        "num_threads": n_thread,
        "seed": MODEL_SEED,
        "verbosity": -1,
    }

    def fit():
        dataset = lgb.Dataset(x, label=y, categorical_feature=cats, free_raw_data=False,
                              params={"max_bin": SETTINGS["n_bin"], "verbosity": -1})
        return lgb.train(params, dataset, num_boost_round=trees)

    def timed_fit() -> float:
        elapsed, booster = timed(fit)
        if booster.num_trees() != trees:
            raise SystemExit(f"LightGBM grew {booster.num_trees()} trees, not {trees}")
        return elapsed

    return timed_fit


def peak_rss_mib() -> float:
    """ru_maxrss of this process. On Linux it also carries the peak of the process that
    started it (the value survives fork and exec), so a fresh child reads VmHWM instead."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # KiB on Linux


def proc_status_mib(field: str) -> float:
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0  # kB
    raise SystemExit(f"no {field} in /proc/self/status")


def reset_peak() -> bool:
    """Sets this process's VmHWM back to its current RSS (Linux 4.0+), if allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def memory_child(npy: str, kind: str, n_thread: int, trees: int) -> int:
    """Runs in a fresh interpreter: peak RSS (VmHWM) before and after fit and predict."""
    arr = np.load(npy)
    headers = headers_for(kind)
    gc.collect()
    out = {"array_mib": arr.nbytes / MIB, "features_mib": arr[:, :N_FEATURES].nbytes / MIB,
           "peak_load": proc_status_mib("VmHWM"), "reset": reset_peak(),
           "rss_before": proc_status_mib("VmRSS")}
    out["peak_before"] = proc_status_mib("VmHWM")
    model = quorvelin.CausalModel(KINDS[kind][0], conf_for(kind, n_thread, n_tree=trees))
    model.fit(headers, arr)
    out["peak_after_fit"] = proc_status_mib("VmHWM")
    out["rss_after_fit"] = proc_status_mib("VmRSS")
    result = model.predict(headers, arr)
    out["peak_after_predict"] = proc_status_mib("VmHWM")
    out["rows"] = len(result)
    out["ru_maxrss"] = peak_rss_mib()
    print(json.dumps(out))
    return 0


def memory_case(table: dict, kind: str, n_thread: int, trees: int) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        npy = os.path.join(tmp, "table.npy")
        np.save(npy, array_input(table, kind, np.float32))
        done = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--memory-child", npy, kind,
             str(n_thread), str(trees)],
            check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------------------------
# Report


def spread(values: list[float]) -> str:
    if not values:
        return "-"
    med = statistics.median(values)
    if len(values) == 1:
        return f"{med:.3f}"
    return f"{med:.3f} [{min(values):.3f}-{max(values):.3f}]"


def med(values: list[float]) -> float:
    return statistics.median(values)


def format_table(headers: list[str], rows: list[list[str]]) -> str:
    """Plain columns: the first four left-aligned, the numbers right-aligned."""
    widths = [max([len(h)] + [len(row[i]) for row in rows]) for i, h in enumerate(headers)]

    def line(cells: list[str]) -> str:
        return "  ".join(c.rjust(w) if i > 3 else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths)))

    return "\n".join([line(headers), "  ".join("-" * w for w in widths)] + [line(r) for r in rows])


MAIN_HEAD = ["kind", "rows", "grp", "input", "thr", "fit s med [min-max]", "fit cpu s",
             "predict s med [min-max]", "ns/pair", "conv fit", "conv pred", "vs LGBM med (min)",
             "vs causalml fit / pred", "load"]


def main_row(r: dict, lgb: list[float] | None) -> list[str]:
    t = r["times"]
    ns_pair = med(t["fit"]) * 1e9 / r["pairs"]["pairs"]
    ratio = f"{med(t['fit']) / med(lgb):.2f}x ({min(t['fit']) / min(lgb):.2f}x)" if lgb else "n/a"
    cml = (f"{med(t['fit']) / med(t['causalml_fit']):.3f}x / {med(t['predict']) / med(t['causalml_predict']):.2f}x"
           if t.get("causalml_fit") else "not run")
    return [r["kind"], f"{r['rows']:,}", str(r["groups"]), r["path"], str(r["threads"]),
            spread(t["fit"]), f"{med(t['fit_cpu']):.3f}", spread(t["predict"]),
            f"{ns_pair:.2f}" + ("" if r["pairs"]["method"] == "exact" else "~"),
            f"{100 * med(t['conv_fit']) / med(t['fit']):.1f}%",
            f"{100 * med(t['conv_predict']) / med(t['predict']):.1f}%",
            ratio, cml, f"{r['load']:.1f}"]


def report(results: list[dict], peers: dict, memory: list[dict], args) -> str:
    out = [format_table(MAIN_HEAD, [main_row(r, peers.get((r["rows"], r["groups"], r["threads"])))
                                    for r in results])]
    out.append(
        "ns/pair: exact count; ~ estimated by routing the table (regressor). conv: share of the "
        "call taken by a one-tree depth-0 forest. vs LGBM: fit time / LightGBM fit time, "
        "same rows, groups, threads, medians (and minima). fit cpu s: CPU time of the process "
        "during fit (median), all threads. load: 1-minute load average after the case "
        f"({os.cpu_count()} CPUs; above that, other processes competed).")

    # 2-thread speed-up, where both thread counts ran.
    by_key = {(r["kind"], r["rows"], r["groups"], r["path"], r["threads"]): r for r in results}
    speed = []
    for (kind, n, g, path, thr), r in by_key.items():
        one = by_key.get((kind, n, g, path, 1))
        if thr == 1 or one is None:
            continue
        speed.append([kind, f"{n:,}", str(g), path, str(thr),
                      f"{med(one['times']['fit']) / med(r['times']['fit']):.2f}x",
                      f"{med(one['times']['predict']) / med(r['times']['predict']):.2f}x"])
    if speed:
        out.append("")
        out.append(format_table(["kind", "rows", "grp", "input", "thr", "fit speed-up",
                                 "predict speed-up"], speed))

    checks = [r for r in results if "routed" in r["pairs"]]
    if checks:
        out.append("")
        out.append("pair counts (classifier, exact vs routed estimate): " + "; ".join(
            f"{r['rows']:,}/{r['groups']}g/{r['path']}/{r['threads']}t: "
            f"{r['pairs']['pairs']:,} vs {r['pairs']['routed']:,} "
            f"({r['pairs']['routed'] / r['pairs']['pairs']:.3f})" for r in checks))

    if peers:
        out.append("")
        out.append(format_table(["peer", "rows", "grp", "input", "thr", "fit s med [min-max]"],
                                [["LightGBM", f"{n:,}", str(g), "array", str(thr), spread(s)]
                                 for (n, g, thr), s in sorted(peers.items())]))
    elif not args.no_peers:
        out.append("")
        out.append("LightGBM: not installed, not run.")
    cml_rows = [r for r in results if r["times"].get("causalml_fit")]
    if cml_rows:
        out.append("")
        out.append(format_table(
            ["peer", "rows", "grp", "input", "thr", "fit s med [min-max]", "predict s med [min-max]"],
            [["causalml", f"{r['rows']:,}", str(r["groups"]), "array", str(r["threads"]),
              spread(r["times"]["causalml_fit"]), spread(r["times"]["causalml_predict"])] for r in cml_rows]))
    else:
        out.append("causalml: not installed or not run (bench/setup-peers.sh installs it).")

    out.append("")
    out.append(f"peak RSS of this process: {peak_rss_mib():,.0f} MiB")
    for m in memory:
        rise = m["peak_after_fit"] - m["peak_before"]
        out.append(
            f"fresh process, {m['kind']}, {m['rows']:,} rows, float32 array of "
            f"{m['array_mib']:.1f} MiB ({m['features_mib']:.1f} MiB of features), "
            f"{m['threads']} thread(s): RSS {m['peak_before']:.0f} MiB before fit, "
            f"peak {m['peak_after_fit']:.0f} during fit, {m['peak_after_predict']:.0f} during "
            f"predict; rise during fit {rise:.1f} MiB = {rise / m['array_mib']:.2f} x the array, "
            f"{rise / m['features_mib']:.2f} x its features"
            + ("" if m["reset"] else " (peak not reset)"))
    return "\n".join(out)


# ---------------------------------------------------------------------------------------------


def parse_list(text: str, convert=int) -> list:
    return [convert(item) for item in text.replace(" ", "").split(",") if item]


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--memory-child"]:
        npy, kind, n_thread, trees = argv[1:5]
        return memory_child(npy, kind, int(n_thread), int(trees))

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", default="10000,100000,1000000",
                        help="table sizes of the 2-group tables (default: 10000,100000,1000000)")
    parser.add_argument("--rows3", default="100000",
                        help="table sizes of the 3-group tables (default: 100000)")
    parser.add_argument("--groups", default="2,3",
                        help="variants to run: 2, 3 or 2,3 (default: 2,3)")
    parser.add_argument("--quick", action="store_true", help="only 10,000 and 100,000 rows")
    parser.add_argument("--kinds", default="classifier,regressor",
                        help="classifier, regressor or both")
    parser.add_argument("--paths", default="array,lists", help="input paths: array, lists or both")
    parser.add_argument("--threads", default="1,2", help="n_thread values (default: 1,2)")
    parser.add_argument("--repeat", type=int, default=3, help="timings per case (default: 3)")
    parser.add_argument("--trees", type=int, default=SETTINGS["n_tree"],
                        help="n_tree (default: 100; other values leave the standard settings)")
    parser.add_argument("--dtype", default="float64", choices=["float64", "float32"],
                        help="element type of the array path (default: float64)")
    parser.add_argument("--no-peers", action="store_true", help="skip LightGBM and causalml even when installed")
    parser.add_argument("--causalml-max-rows", type=int, default=100_000,
                        help="largest table causalml runs on (its fit is far slower; default 100000)")
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the fresh-process RSS measurement")
    parser.add_argument("--memory-rows", type=int, default=0,
                        help="rows of the RSS measurement (default: the largest table run)")
    parser.add_argument("--no-check", action="store_true",
                        help="skip the routed estimate checked against the exact pair count")
    parser.add_argument("--json", metavar="FILE", help="also write the raw timings to FILE")
    args = parser.parse_args(argv)

    sizes = [10000, 100000] if args.quick else parse_list(args.rows)
    sizes3 = parse_list(args.rows3)
    groups = parse_list(args.groups)
    kinds = parse_list(args.kinds, str)
    paths = parse_list(args.paths, str)
    threads = parse_list(args.threads)
    if any(k not in KINDS for k in kinds) or not kinds:
        parser.error(f"--kinds: choose from {', '.join(KINDS)}")
    if any(p not in PATHS for p in paths) or not paths:
        parser.error(f"--paths: choose from {', '.join(PATHS)}")
    if any(g not in (2, 3) for g in groups) or not groups:
        parser.error("--groups: 2, 3 or 2,3")
    if min(sizes + sizes3 + threads, default=0) <= 0 or args.repeat <= 0 or args.trees <= 0:
        parser.error("--rows, --rows3, --threads, --repeat and --trees must be positive")
    dtype = np.dtype(args.dtype)

    lightgbm = None
    if not args.no_peers:
        try:
            import lightgbm  # noqa: F401
        except ImportError:
            lightgbm = None
    have_causalml = False
    if not args.no_peers:
        try:
            import causalml  # noqa: F401
            have_causalml = True
        except ImportError:
            pass

    plan = [(n, 2) for n in sizes if 2 in groups] + [(n, 3) for n in sizes3 if 3 in groups]
    if not plan:
        parser.error("nothing to run: no table size for the chosen --groups")
    results, peers, memory = [], {}, []
    started = time.perf_counter()
    for n_rows, n_groups in plan:
        log(f"table: {n_rows:,} rows, {n_groups} groups")
        table = make_table(n_rows, n_groups)
        for path in paths:
            features = observed_features(table, path)
            for kind in kinds:
                if path == "array":
                    data = array_input(table, kind, dtype)
                else:
                    data = list_input(table, kind)
                for n_thread in threads:
                    # LightGBM is timed with the classifier on the array, or alone without it.
                    with_peer = (lightgbm is not None and kind == "classifier"
                                 and path == "array")
                    log(f"  {kind}, {path}, {n_thread} thread(s), {args.repeat} repeat(s)"
                        + (", with LightGBM" if with_peer else ""))
                    peer = lightgbm_fit(table, n_thread, args.trees, dtype) if with_peer else None
                    # causalml on the same array and rounds, within its size limit.
                    with_cml = (have_causalml and kind == "classifier" and path == "array"
                                and n_rows <= args.causalml_max_rows)
                    cml = causalml_case(table, n_thread, args.trees) if with_cml else None
                    case = run_case(kind, data, n_rows, n_thread, args.repeat, args.trees, peer, cml)
                    if with_peer:
                        peers[(n_rows, n_groups, n_thread)] = case["times"].pop("peer")
                    else:
                        case["times"].pop("peer")
                    check = kind == "classifier" and n_thread == threads[0] and not args.no_check
                    pairs = count_pairs(case["model"], kind, features, check)
                    results.append({"kind": kind, "rows": n_rows, "groups": n_groups, "path": path,
                                    "threads": n_thread, "times": case["times"], "pairs": pairs,
                                    "load": os.getloadavg()[0]})
                    del case
                del data
                gc.collect()
        if lightgbm is not None:
            for n_thread in threads:
                if (n_rows, n_groups, n_thread) not in peers:
                    log(f"  LightGBM, {n_thread} thread(s)")
                    fit = lightgbm_fit(table, n_thread, args.trees, dtype)
                    peers[(n_rows, n_groups, n_thread)] = [fit() for _ in range(args.repeat)]
        del table, features
        gc.collect()

    if not args.no_memory:
        n_mem = args.memory_rows or max(n for n, _ in plan)
        table = make_table(n_mem, 2)
        for kind in kinds:
            for n_thread in threads:
                log(f"memory: fresh process, {kind}, {n_mem:,} rows, {n_thread} thread(s)")
                m = memory_case(table, kind, n_thread, args.trees)
                m.update(kind=kind, rows=n_mem, threads=n_thread)
                memory.append(m)
        del table

    text = report(results, peers, memory, args)
    log(f"total {time.perf_counter() - started:.0f} s")
    print(f"quorvelin benchmark, {time.strftime('%Y-%m-%d')}, {os.cpu_count()} CPUs, "
          f"array dtype {args.dtype}, {args.repeat} repeat(s), n_tree {args.trees}")
    print(text)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as handle:
            json.dump({"results": results,
                       "lightgbm": [{"rows": n, "groups": g, "threads": t, "fit": s}
                                    for (n, g, t), s in sorted(peers.items())],
                       "memory": memory, "peak_rss_mib": peak_rss_mib(),
                       "dtype": args.dtype, "repeat": args.repeat, "trees": args.trees},
                      handle, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
