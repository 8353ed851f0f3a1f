"""The estimator layer against the engine and against causalml, on bench.py's tables.

For each table size, in interleaved rounds (so every contender meets the same machine load):

  engine fit         quorvelin.CausalModel.fit on one C-ordered float64 array (the public
                     array path, every value present)
  estimator fit      UpliftRandomForestClassifier.fit(X, y, treatment) on the same values
  causalml fit       causalml's UpliftRandomForestClassifier (KL), same settings, when
                     `import causalml` works and the table is at most --causalml-max-rows
  LightGBM fit       binary objective, same depth/leaves/bins, when `import lightgbm` works
  engine predict     CausalModel.predict on the feature array (returns lists of lists)
  routing            the engine alone: the module's column door binning and routing the rows
                     into a float64 array, no table conversion
  estimator predict  UpliftRandomForestClassifier.predict(X) (array in, array out)
  causalml predict   its vectorised predict

Settings: max_depth 6, max_features 10, min_samples_leaf 100, min_samples_treatment 10,
n_reg 10, n_bin 30, seed 7, 1 thread, --trees trees; 2 groups (control, one treatment).
Every figure is the median of --repeat rounds with [min-max]. The estimators grow trees on
their own random streams (seed_per_tree), the engine on the shared one: the trees differ,
their amount of work does not.

Run the peers from the benchmark's own environment: ./bench/setup-peers.sh, then
bench/.venv/bin/python bench/estimators.py.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import quorvelin  # noqa: E402
from bench import FEATURES, MODEL_SEED, N_CONT, N_FEATURES, SETTINGS, conf_for, log, make_table, timed  # noqa: E402

from quorvelin_tools import UpliftRandomForestClassifier  # noqa: E402


def spread(values):
    return f"{statistics.median(values):.3f} [{min(values):.3f}-{max(values):.3f}]"


def contenders(table, trees, causalml_ok, lightgbm_ok):
    x = np.ascontiguousarray(table["features"])
    t = table["t"]
    y = table["y_bin"]
    arr = np.column_stack([x, t, y])
    headers = FEATURES + ["treatment", "y_bin"]
    est_params = dict(n_estimators=trees, max_depth=SETTINGS["max_depth"], max_features=SETTINGS["max_features"],
                      min_samples_leaf=SETTINGS["min_samples_leaf"], n_bins=SETTINGS["n_bin"],
                      random_state=MODEL_SEED, n_jobs=1, categorical_features=[N_CONT, N_CONT + 1])
    fits, predicts = {}, {}
    state = {}

    def engine_fit():
        m = quorvelin.CausalModel("RandomForestClassifier", conf_for("classifier", 1, n_tree=trees))
        m.fit(headers, arr)
        state["engine"] = m

    def estimator_fit():
        state["est"] = UpliftRandomForestClassifier(**est_params).fit(x, y, t)

    fits["engine"] = engine_fit
    fits["estimator"] = estimator_fit
    predicts["engine"] = lambda: state["engine"].predict(FEATURES, x)
    cols = [x[:, j] for j in range(N_FEATURES)]

    def routing():
        out = np.empty((x.shape[0], 1))
        quorvelin._predict_columns(state["est"].model_, state["est"].feature_names_, cols, out)

    predicts["routing"] = routing
    predicts["estimator"] = lambda: state["est"].predict(x)
    if causalml_ok:
        from causalml.inference.tree import UpliftRandomForestClassifier as CausalmlForest

        labels = np.where(t > 0, "treatment", "control")

        def causalml_fit():
            m = CausalmlForest(n_estimators=trees, max_depth=SETTINGS["max_depth"],
                               min_samples_leaf=SETTINGS["min_samples_leaf"],
                               min_samples_treatment=SETTINGS["min_samples_treatment"], n_reg=SETTINGS["n_reg"],
                               max_features=SETTINGS["max_features"], evaluationFunction="KL",
                               control_name="control", n_jobs=1, random_state=MODEL_SEED)
            m.fit(x, treatment=labels, y=y)
            state["causalml"] = m

        fits["causalml"] = causalml_fit
        predicts["causalml"] = lambda: state["causalml"].predict(x)
    if lightgbm_ok:
        import lightgbm as lgb

        params = {"objective": "binary", "max_depth": SETTINGS["max_depth"],
                  "num_leaves": 2 ** SETTINGS["max_depth"], "max_bin": SETTINGS["n_bin"],
                  "min_data_in_leaf": SETTINGS["min_samples_leaf"], "bagging_fraction": 0.63, "bagging_freq": 1,
                  "feature_fraction_bynode": 0.5, "num_threads": 1, "seed": MODEL_SEED, "verbosity": -1}

        def lightgbm_fit():
            ds = lgb.Dataset(x, label=y, categorical_feature=[N_CONT, N_CONT + 1], free_raw_data=False,
                             params={"max_bin": SETTINGS["n_bin"], "verbosity": -1})
            state["lightgbm"] = lgb.train(params, ds, num_boost_round=trees)

        fits["lightgbm"] = lightgbm_fit
        predicts["lightgbm"] = lambda: state["lightgbm"].predict(x)
    return fits, predicts


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cases", default="50000:20,1000000:100", help="rows:trees pairs (default 50000:20,1000000:100)")
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--causalml-max-rows", type=int, default=100_000,
                   help="largest table causalml is run on (its fit is far slower; default 100000)")
    p.add_argument("--no-peers", action="store_true")
    args = p.parse_args(argv)
    try:
        import causalml  # noqa: F401
        have_causalml = not args.no_peers
    except ImportError:
        have_causalml = False
    try:
        import lightgbm  # noqa: F401
        have_lightgbm = not args.no_peers
    except ImportError:
        have_lightgbm = False
    print(f"estimator benchmark, {time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} CPUs, 1 thread, "
          f"{args.repeat} rounds, median [min-max] s")
    for case in args.cases.split(","):
        rows, trees = (int(v) for v in case.split(":"))
        log(f"{rows:,} rows, {trees} trees")
        table = make_table(rows, 2)
        fits, predicts = contenders(table, trees, have_causalml and rows <= args.causalml_max_rows, have_lightgbm)
        fit_t = {k: [] for k in fits}
        pred_t = {k: [] for k in predicts}
        for r in range(args.repeat):
            for k, fn in fits.items():
                fit_t[k].append(timed(fn)[0])
            for k, fn in predicts.items():
                pred_t[k].append(timed(fn)[0])
            log(f"  round {r + 1}: load {os.getloadavg()[0]:.1f}")
        print(f"\n{rows:,} rows x {trees} trees (load after: {os.getloadavg()[0]:.1f})")
        for k in fits:
            print(f"  fit      {k:<10} {spread(fit_t[k])}")
        for k in predicts:
            print(f"  predict  {k:<10} {spread(pred_t[k])}")

        def ratio(a, b):
            pairs = [x / y for x, y in zip(a, b)]
            return f"{statistics.median(pairs):.3f} [{min(pairs):.3f}-{max(pairs):.3f}]"

        print(f"  estimator fit / engine fit            {ratio(fit_t['estimator'], fit_t['engine'])}")
        print(f"  estimator predict / routing           {ratio(pred_t['estimator'], pred_t['routing'])}")
        print(f"  engine predict / estimator predict    {ratio(pred_t['engine'], pred_t['estimator'])}")
        if "causalml" in pred_t:
            print(f"  causalml predict / estimator predict  {ratio(pred_t['causalml'], pred_t['estimator'])}")
            print(f"  causalml fit / estimator fit          {ratio(fit_t['causalml'], fit_t['estimator'])}")
        else:
            print("  causalml: not run" + ("" if have_causalml else " (not importable)"))
        if "lightgbm" in fit_t:
            print(f"  estimator fit / LightGBM fit          {ratio(fit_t['estimator'], fit_t['lightgbm'])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
