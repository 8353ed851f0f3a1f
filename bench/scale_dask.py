#!/usr/bin/env python3
"""Training and scoring a table larger than any worker's memory on a local Dask cluster.

    python3 bench/scale_dask.py                      # 2,000,000 rows (a few minutes)
    python3 bench/scale_dask.py --rows 20000000      # the full demonstration (about 20 min on 2 cores)

The table (20 continuous features, a control and one treatment group, a binary outcome
with a feature-dependent treatment effect, no missing cells) is generated partition by
partition on the workers from a fixed seed per partition; the client never holds it.
Every worker process gets a memory limit below the table's size (by default half of it,
at least 300 MB). Steps:

1. ``fit_dask``: bins from a sample gathered to the client (--sample-rows), then each
   partition grows its share of the trees on a worker; the client merges them.
2. ``predict_dask``: the whole table is scored on the workers, reduced to the mean uplift.
3. A local model is trained in this process on the first --local-rows rows of the same
   table (rows are i.i.d., so that is a random sample of it), with the same settings.
4. Both models score a holdout table (--holdout-rows, generated on the workers from other
   seeds); the report gives each one's Qini coefficient (normalised: 1 perfect, 0 random)
   and its mean absolute error against the true uplift, which the generator knows.

Reported: rows, partitions, memory limit, wall time of each step, the peak resident memory
of every worker process and of the client (ru_maxrss), and the two models' scores.
"""

from __future__ import annotations

import argparse
import json
import resource
import sys
import time

import numpy as np
import pandas as pd

N_FEATURES = 20
FEATURES = [f"x{i}" for i in range(N_FEATURES)]
COLUMNS = FEATURES + ["t", "y", "true_uplift"]


def make_partition(plan):
    """One partition of the table: ``plan`` is (seed, rows). Deterministic."""
    from quorvelin_tools.datasets import make_uplift_classification

    seed, rows = plan
    d = make_uplift_classification(
        n_rows=rows, n_features=N_FEATURES, n_categorical=0, n_treatments=1, missing_fraction=0.0, seed=seed
    )
    out = pd.DataFrame(d.X.astype(np.float64), columns=FEATURES)
    out["t"] = d.treatment.astype(np.float64)
    out["y"] = d.y.astype(np.float64)
    out["true_uplift"] = np.asarray(d.true_uplift, dtype=np.float64).reshape(rows, -1)[:, 0]
    return out


def specs(n_rows, partition_rows, base_seed):
    out, seed = [], base_seed
    while n_rows > 0:
        take = min(partition_rows, n_rows)
        out.append((seed, take))
        n_rows -= take
        seed += 1
    return out


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def say(*args):
    print(*args, file=sys.stderr, flush=True)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", type=int, default=2_000_000, help="table rows (20000000 for the full demonstration)")
    p.add_argument("--partition-rows", type=int, default=100_000, help="rows per partition")
    p.add_argument("--trees", type=int, default=100, help="n_tree of both models")
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--memory-limit", default=None, help="per worker, e.g. 400MB (default: half the table, at least 300MB)")
    p.add_argument("--sample-rows", type=int, default=None, help="bin sample (default: min(1,000,000, rows/10))")
    p.add_argument("--local-rows", type=int, default=None, help="local model's rows (default: min(1,000,000, rows/4))")
    p.add_argument("--holdout-rows", type=int, default=200_000)
    p.add_argument("--seed", type=int, default=7)
    args = p.parse_args(argv)

    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import quorvelin
    from quorvelin_tools import distributed as qd
    from quorvelin_tools.metrics import qini_coefficient

    table_bytes = args.rows * len(COLUMNS) * 8
    limit = args.memory_limit or f"{max(300, table_bytes // 2 // 2**20)}MiB"
    sample_rows = args.sample_rows or min(1_000_000, max(1, args.rows // 10))
    local_rows = args.local_rows or min(1_000_000, max(1, args.rows // 4))
    conf = {
        "feature": FEATURES,
        "treatment": ["t"],
        "y": "y",
        "n_tree": args.trees,
        "seed": args.seed,
        "max_depth": 6,
        "min_samples_leaf": 100,
        "n_thread": 1,
    }
    meta = pd.DataFrame({c: np.array([], dtype=np.float64) for c in COLUMNS})

    say(f"table: {args.rows:,} rows x {len(COLUMNS)} columns = {table_bytes / 2**20:,.0f} MiB as float64; "
        f"{args.workers} workers with memory_limit {limit}")
    cluster = LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, memory_limit=limit, dashboard_address=":0"
    )
    client = Client(cluster)
    report = {"rows": args.rows, "columns": len(COLUMNS), "table_mib": round(table_bytes / 2**20),
              "partitions": None, "workers": args.workers, "memory_limit": limit, "trees": args.trees,
              "bin_sample_rows": sample_rows, "local_rows": local_rows, "holdout_rows": args.holdout_rows}
    try:
        table_specs = specs(args.rows, args.partition_rows, args.seed * 1_000_000)
        report["partitions"] = len(table_specs)
        table = dd.from_map(make_partition, table_specs, meta=meta, enforce_metadata=False)
        holdout = dd.from_map(
            make_partition, specs(args.holdout_rows, args.partition_rows, args.seed * 1_000_000 + 500_000),
            meta=meta, enforce_metadata=False,
        )

        say("training on the cluster ...")
        t0 = time.perf_counter()
        # At least one tree per task, so that every row is used.
        per_task = -(-len(table_specs) // args.trees)
        report["partitions_per_task"] = per_task
        model = qd.fit_dask(
            table, "RandomForestClassifier", conf, sample_rows=sample_rows, partitions_per_task=per_task
        )
        report["fit_dask_s"] = round(time.perf_counter() - t0, 1)
        say(f"  {report['fit_dask_s']} s")

        say("scoring the whole table on the cluster ...")
        t0 = time.perf_counter()
        scores = qd.predict_dask(model, table)
        mean_uplift, scored = client.compute([scores["uplift_1"].mean(), scores["uplift_1"].count()], sync=True)
        report["predict_dask_s"] = round(time.perf_counter() - t0, 1)
        report["rows_scored"] = int(scored)
        report["mean_predicted_uplift"] = round(float(mean_uplift), 5)
        say(f"  {report['predict_dask_s']} s, {int(scored):,} rows")

        report["worker_peak_rss_mib"] = {
            addr.rsplit(":", 1)[-1]: round(v / 1024.0)
            for addr, v in client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss).items()
        }

        report["client_peak_rss_mib_before_local_model"] = round(peak_rss_mb())

        say(f"training locally on the first {local_rows:,} rows ...")
        local_table = pd.concat([make_partition(s) for s in specs(local_rows, args.partition_rows, args.seed * 1_000_000)])
        t0 = time.perf_counter()
        local = quorvelin.CausalModel("RandomForestClassifier", conf)
        local.fit(FEATURES + ["t", "y"], np.ascontiguousarray(local_table[FEATURES + ["t", "y"]].to_numpy()))
        report["fit_local_s"] = round(time.perf_counter() - t0, 1)
        del local_table
        say(f"  {report['fit_local_s']} s")

        say("holdout ...")
        distributed_scores = qd.predict_dask(model, holdout)
        local_scores = qd.predict_dask(local, holdout).rename(columns={"uplift_1": "local"})
        # The holdout is regenerated from its seeds for each of the three, so the row
        # order is the same in all; the per-partition indexes repeat, so join by position.
        truth, d_scores, l_scores = client.compute(
            [holdout[["t", "y", "true_uplift"]], distributed_scores, local_scores], sync=True
        )
        evaluated = truth.reset_index(drop=True)
        evaluated["uplift_1"] = d_scores["uplift_1"].to_numpy()
        evaluated["local"] = l_scores["local"].to_numpy()
        for key, col in (("distributed", "uplift_1"), ("local", "local")):
            report[f"qini_{key}"] = round(float(qini_coefficient(evaluated["y"], evaluated[col], evaluated["t"])), 4)
            report[f"mae_true_uplift_{key}"] = round(float(np.mean(np.abs(evaluated[col] - evaluated["true_uplift"]))), 4)
        report["qini_true_uplift"] = round(
            float(qini_coefficient(evaluated["y"], evaluated["true_uplift"], evaluated["t"])), 4
        )
        report["client_peak_rss_mib_at_end"] = round(peak_rss_mb())
    finally:
        client.close()
        cluster.close()
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
