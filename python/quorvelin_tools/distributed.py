"""Training and scoring on a cluster: Dask DataFrames (train and score) and Spark
DataFrames (score).

Both work on the raw module's terms: ``name`` is "RandomForestClassifier" or
"RandomForestRegressor", ``conf`` the module's configuration dict, and the table's
columns carry the names the configuration uses (features, treatment, outcome, weight).
Every column must be numeric; a missing value (NaN, None, pd.NA) is a missing value
for the model, as it is for :mod:`quorvelin_tools.estimators`.

How training is split (:func:`fit_dask`)
-----------------------------------------
A forest's trees are independent once the feature bins are fixed, and a model file is
a configuration line, the bin records and the tree sections, so forests grown apart
merge exactly:

1. Bins. A sample of the table (``sample_rows`` rows, default 1,000,000, spread over
   the partitions in proportion to their lengths, in table order) is gathered to the
   client, and a model with ``n_tree`` 0 fits its bins there. When the table has no
   more than ``sample_rows`` rows the sample is the whole table.
2. Trees. One task per partition (or per group of ``partitions_per_task``
   consecutive partitions; empty partitions are left out and tasks numbered among the
   others). The configured ``n_tree`` is split over the tasks as
   evenly as possible, earlier tasks taking the remainder. Task ``i`` starts from the
   shared bins and grows its trees on its own rows with the seed

       seed_i = (seed + i * 0x9E3779B97F4A7C15) mod (2**64 - 1)

   so task 0 uses the configured seed itself, no task gets 2**64 - 1 (which means
   "no seed" in a configuration), and the seeds of different tasks differ. Without a
   configured seed, ``seed`` is drawn once on the client. The trees therefore depend
   on the partitioning and the seed, never on the number of workers or on the order
   in which tasks run (as long as ``n_thread`` is 1, as for a local fit).
3. Merge. The client writes one model: the configured configuration line (total
   ``n_tree``, configured seed), the shared bins, and every task's trees in task
   order, each tree under that same configuration line; and loads it as an ordinary
   ``CausalModel``.

What the result means: each tree is grown on a bootstrap sample of one partition
(group) rather than of the whole table, so the partitions should be a random split of
the table. A table sorted or grouped by anything related to the outcome should be
shuffled first (``shuffle=True`` does that, reproducibly from the seed). With one
partition and a sample that is the whole table, the merged model is the model a local
``CausalModel(name, conf).fit`` of that table grows with the same seed, byte for byte.

Scoring (:func:`predict_dask`, :func:`predict_spark`) ships the model to each worker
once and maps over the partitions; rows keep their order and index.
"""

from __future__ import annotations

import json
import pickle
import secrets
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._door import QuorvelinError, call_module, fit_columns, import_module, predict_columns
from .modelfile import ModelSections, from_text, parse_model_text, split_model_text, to_text

__all__ = [
    "fit_dask",
    "predict_dask",
    "predict_spark",
    "task_seed",
    "model_text",
]

_NO_SEED = 2**64 - 1
_SEED_STEP = 0x9E3779B97F4A7C15  # 2**64 / golden ratio: consecutive tasks land far apart
_MODEL_NAMES = ("RandomForestClassifier", "RandomForestRegressor")


# ----------------------------------------------------------------------- model text


def model_text(model) -> str:
    """The model file text of a ``CausalModel`` (what ``save`` would write)."""
    return to_text(model)


def _from_text(name: str, text: str):
    return call_module(from_text, name, text)


def _sections(model) -> ModelSections:
    return split_model_text(to_text(model), strict=False)


def _task_config(name: str, conf: Dict[str, Any], n_tree: int, seed: int) -> str:
    """The configuration line of one training task: the configured one with the task's
    n_tree and seed, written by the module itself so every value keeps its spelling."""
    task = call_module(import_module().CausalModel, name, dict(conf, n_tree=n_tree, seed=seed))
    return _sections(task).config


def task_seed(seed: int, task: int) -> int:
    """Seed of training task ``task`` for the configured (or drawn) ``seed``."""
    if not 0 <= seed < _NO_SEED:
        raise ValueError("seed must be between 0 and 2**64 - 2")
    return (seed + task * _SEED_STEP) % _NO_SEED


def _tree_shares(n_tree: int, n_tasks: int) -> List[int]:
    base, extra = divmod(n_tree, n_tasks)
    return [base + (1 if i < extra else 0) for i in range(n_tasks)]


# ---------------------------------------------------------------------- table input


def _table(part, headers: Sequence[str], where: str) -> List[np.ndarray]:
    """The columns ``headers`` of a pandas DataFrame as the door takes them: one 1-D
    array per column, NaN for a missing cell (numeric NumPy columns are read in place)."""
    columns = []
    for name in headers:
        if name not in part.columns:
            raise ValueError(f"{where}: the table has no column {name!r}")
        series = part[name]
        kind = getattr(series.dtype, "kind", "O")
        if getattr(series.dtype, "name", "") == "category" or kind not in "iufb":
            raise ValueError(
                f"{where}: column {name!r} is not numeric (dtype {series.dtype}); the model "
                "takes numbers only, so encode categories as integer codes first"
            )
        if isinstance(series.dtype, np.dtype) and series.dtype.kind in "fiub":
            values = series.to_numpy()
        else:
            try:
                values = series.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError):
                values = np.asarray(series, dtype=np.float64)
        columns.append(values)
    if not columns:
        raise ValueError(f"{where}: no columns to read")
    return columns


def _roles(config: Dict[str, Any]) -> Tuple[List[str], List[str]]:
    """(feature columns, all columns a training table needs), from a configuration."""
    features = list(config.get("feature_cols", []))
    needed = features + list(config.get("treatment_cols", []))
    for key in ("y_col", "weight_col"):
        if config.get(key):
            needed.append(config[key])
    seen, out = set(), []
    for name in needed:
        if name not in seen:
            seen.add(name)
            out.append(name)
    return features, out


def _check_columns(ddf, needed: Sequence[str]):
    have = set(map(str, ddf.columns))
    lacking = [n for n in needed if n not in have]
    if lacking:
        raise ValueError(f"the table lacks the column(s) {lacking} named in the configuration")


# --------------------------------------------------------------------------- training


def _sample_partition(part, k: int, seed: int, index: int):
    n = len(part)
    if k >= n:
        return part
    rng = np.random.default_rng([seed, index])
    rows = np.sort(rng.choice(n, size=k, replace=False))
    return part.iloc[rows]


def _sample_sizes(lengths: Sequence[int], total: int) -> List[int]:
    """Rows to draw from each partition: ``total`` spread in proportion to the lengths
    (largest remainders first, ties to the earlier partition)."""
    n = sum(lengths)
    if total >= n:
        return list(lengths)
    exact = [total * length / n for length in lengths]
    sizes = [int(e) for e in exact]
    order = sorted(range(len(lengths)), key=lambda i: (-(exact[i] - sizes[i]), i))
    for i in order[: total - sum(sizes)]:
        sizes[i] += 1
    return sizes


def _grow(parts, name: str, text: str, headers: Sequence[str], where: str):
    """One training task: the model described by ``text`` (configuration with this
    task's n_tree and seed, the shared bins, no trees) grows its trees on the rows of
    ``parts``. Returns the tree JSON lines and the number of treatment groups."""
    import pandas as pd

    part = parts[0] if len(parts) == 1 else pd.concat(parts)
    table = _table(part, headers, where)
    model = _from_text(name, text)
    try:
        fit_columns(model, list(headers), table)
    except QuorvelinError as exc:
        raise QuorvelinError(f"{where}: {exc}") from None
    lines = _sections(model).tree_lines
    groups = None
    for line in lines:
        for split in json.loads(line).get("split", []):
            if split and split.get("summary") is not None:
                groups = len(split["summary"])
                break
        if groups is not None:
            break
    return lines, groups


def _shuffled(ddf, seed: int):
    """The rows of ``ddf`` spread at random over as many partitions, reproducibly:
    every row gets a random 64-bit key drawn from (seed, partition), rows go to the
    partition their key hashes to, and each new partition is sorted by key."""
    key = "__quorvelin_shuffle_key__"
    while key in ddf.columns:
        key = "_" + key

    def add_key(part, partition_info=None):
        index = partition_info["number"] if partition_info else 0
        rng = np.random.default_rng([seed, index, 1])
        out = part.copy()
        out[key] = rng.integers(0, 2**63 - 1, size=len(part), dtype=np.int64)
        return out

    meta = ddf._meta.copy()
    meta[key] = np.array([], dtype=np.int64)
    keyed = ddf.map_partitions(add_key, meta=meta)
    mixed = keyed.shuffle(on=key, npartitions=ddf.npartitions)
    return mixed.map_partitions(
        lambda p: p.sort_values(key, kind="stable").drop(columns=[key]), meta=ddf._meta
    )


def _compute(tasks, client) -> list:
    if not tasks:
        return []
    if client is not None:
        return client.gather(client.compute(list(tasks)))
    import dask

    return list(dask.compute(*tasks))


def fit_dask(
    ddf,
    name: str,
    conf: Dict[str, Any],
    *,
    sample_rows: int = 1_000_000,
    partitions_per_task: int = 1,
    shuffle: bool = False,
    client=None,
):
    """Trains a forest on a Dask DataFrame without collecting the table; returns a
    ``quorvelin.CausalModel`` (see the module text for how the work is split).

    Args:
        ddf: the training table (a ``dask.dataframe.DataFrame``); its partitions should
            be a random split of the rows (or pass ``shuffle=True``).
        name: "RandomForestClassifier" or "RandomForestRegressor".
        conf: the module configuration ("feature", "treatment", "y", "n_tree",
            "seed", ...), as for ``quorvelin.CausalModel``.
        sample_rows: rows gathered to the client to fit the feature bins.
        partitions_per_task: consecutive partitions trained on together by one task.
        shuffle: spread the rows at random over the partitions first.
        client: the ``distributed.Client`` to run on; by default the current Dask
            scheduler (the active distributed client, if any).
    """
    import dask

    if name not in _MODEL_NAMES:
        raise ValueError(f"name must be one of {list(_MODEL_NAMES)}, not {name!r}")
    if isinstance(sample_rows, bool) or not isinstance(sample_rows, (int, np.integer)) or sample_rows < 1:
        raise ValueError("sample_rows must be a positive integer")
    if (
        isinstance(partitions_per_task, bool)
        or not isinstance(partitions_per_task, (int, np.integer))
        or partitions_per_task < 1
    ):
        raise ValueError("partitions_per_task must be a positive integer")

    # The configuration as the module reads it: an untrained model's text.
    template = call_module(import_module().CausalModel, name, dict(conf))
    config_line = _sections(template).config
    config = json.loads(config_line)
    n_tree = int(config["n_tree"])
    configured_seed = config["seed"]
    seed = configured_seed if configured_seed is not None else secrets.randbelow(_NO_SEED)
    features, headers = _roles(config)
    if not features:
        raise ValueError("the configuration names no feature column")
    _check_columns(ddf, headers)
    ddf = ddf[headers]
    if shuffle:
        ddf = _shuffled(ddf, seed)

    # 1. Bins, from a sample gathered to the client.
    chunks = ddf.to_delayed()
    lengths = [int(n) for n in _compute([dask.delayed(len)(c) for c in chunks], client)]
    if sum(lengths) == 0:
        raise ValueError("the table has no rows")
    sizes = _sample_sizes(lengths, int(sample_rows))
    picked = [
        dask.delayed(_sample_partition)(chunk, k, seed, i)
        for i, (chunk, k) in enumerate(zip(chunks, sizes))
        if k > 0
    ]
    import pandas as pd

    sample = pd.concat(_compute(picked, client))
    bins_model = call_module(import_module().CausalModel, name, dict(conf, n_tree=0))
    fit_columns(bins_model, list(headers), _table(sample, headers, "the bin sample"))
    del sample
    bins = _sections(bins_model).bins

    # 2. Trees, one share per task.
    # Empty partitions (common after a filter) take no part; tasks are numbered among
    # the others.
    filled = [i for i, n in enumerate(lengths) if n > 0]
    groups = [filled[i : i + partitions_per_task] for i in range(0, len(filled), partitions_per_task)]
    shares = _tree_shares(n_tree, len(groups))
    if 0 < n_tree < len(groups):
        warnings.warn(
            f"n_tree {n_tree} is smaller than the number of training tasks ({len(groups)}): the "
            f"rows of {len(groups) - n_tree} task(s) grow no tree; raise partitions_per_task to "
            f"{-(-len(filled) // n_tree)} to use every row",
            RuntimeWarning,
            stacklevel=2,
        )
    tasks = []
    for i, (group, share) in enumerate(zip(groups, shares)):
        if share == 0:
            continue
        text = ModelSections(_task_config(name, conf, share, task_seed(seed, i)), bins).text()
        where = f"training task {i} (partition{'s' if len(group) > 1 else ''} {', '.join(map(str, group))})"
        tasks.append(
            dask.delayed(_grow, pure=True)([chunks[j] for j in group], name, text, headers, where)
        )
    results = _compute(tasks, client)

    # 3. Merge, trees in task order under the configured configuration line.
    seen_groups = {g for _, g in results if g is not None}
    if len(seen_groups) > 1:
        raise ValueError(
            f"the training tasks saw different numbers of treatment groups {sorted(seen_groups)}: "
            "some partitions lack a group; shuffle the table or use fewer, larger partitions"
        )
    trees = [config_line + "\n" + line for lines, _ in results for line in lines]
    return _from_text(name, ModelSections(config_line, bins, trees).text())


# ---------------------------------------------------------------------------- scoring


def _uplift_columns(model, prefix: str) -> List[str]:
    text = model_text(model)
    if not split_model_text(text, strict=False).trees:
        raise ValueError("the model has no trees; fit it first")
    mf = parse_model_text(text)
    groups = mf.n_groups
    if groups is None or groups < 2:
        raise ValueError("cannot tell the model's number of treatment groups from its trees")
    return [f"{prefix}{k}" for k in range(1, groups)]


def _score(part, model, features: Sequence[str], columns: Sequence[str]):
    import pandas as pd

    if len(part) == 0:
        return pd.DataFrame({c: np.array([], dtype=np.float64) for c in columns}, index=part.index)
    table = _table(part, features, "scoring")
    try:
        out = predict_columns(model, list(features), table, len(columns))
    except ValueError as exc:
        raise ValueError(f"scoring: {exc}") from None
    return pd.DataFrame(out, columns=list(columns), index=part.index)


def predict_dask(model, ddf, *, client=None, prefix: str = "uplift_"):
    """Uplift of every row of a Dask DataFrame: a Dask DataFrame with one float column
    per treatment group (``uplift_1``, ``uplift_2``, ...), with the index and the
    partitions of ``ddf``. Lazy, like any Dask collection.

    The model is sent to every worker once (scattered with ``broadcast=True`` to the
    ``client``, by default the current distributed client), not once per partition.
    Without a distributed client it travels in the task graph once.
    """
    import pandas as pd

    features = list(json.loads(_sections(model).config).get("feature_cols", []))
    columns = _uplift_columns(model, prefix)
    _check_columns(ddf, features)
    if client is None:
        try:
            from distributed import default_client

            client = default_client()
        except (ImportError, ValueError):
            client = None
    if client is not None:
        # A fresh key per call: a content-hashed key could name data the scheduler is
        # still releasing from an earlier call with the same model.
        shipped = client.scatter(model, broadcast=True, hash=False)
    else:
        import dask

        shipped = dask.delayed(model, pure=True)
    meta = pd.DataFrame({c: np.array([], dtype=np.float64) for c in columns}, index=ddf._meta.index)
    return ddf[features].map_partitions(_score, shipped, features, columns, meta=meta)


def predict_spark(model, sdf, features: Optional[Sequence[str]] = None, *, prefix: str = "uplift_"):
    """Scores a Spark DataFrame with ``mapInPandas``: the rows of ``sdf`` with one
    double column per treatment group appended (``uplift_1``, ...). The pickled model
    is broadcast once and unpickled once per Python worker.

    ``features`` defaults to the model's feature columns; they must be numeric."""
    from pyspark.sql.types import DoubleType, StructField, StructType

    model_features = list(json.loads(_sections(model).config).get("feature_cols", []))
    features = model_features if features is None else list(features)
    if features != model_features:
        raise ValueError(f"the model was trained on the features {model_features}, not {features}")
    columns = _uplift_columns(model, prefix)
    lacking = [f for f in features if f not in sdf.columns]
    if lacking:
        raise ValueError(f"the Spark DataFrame lacks the feature column(s) {lacking}")
    clash = [c for c in columns if c in sdf.columns]
    if clash:
        raise ValueError(f"the Spark DataFrame already has column(s) {clash}; pass another prefix")
    broadcast = sdf.sparkSession.sparkContext.broadcast(pickle.dumps(model))
    schema = StructType(list(sdf.schema.fields) + [StructField(c, DoubleType(), True) for c in columns])

    def score(batches):
        local = _spark_model(broadcast)
        for batch in batches:
            scores = _score(batch, local, features, columns)
            yield batch.assign(**{c: scores[c].to_numpy() for c in columns})

    return sdf.mapInPandas(score, schema)


def _spark_model(broadcast):
    # One unpickled model per Python worker process and broadcast, kept across batches
    # and tasks (Spark reuses its Python workers, and every task of a worker gets the one
    # registered Broadcast object). A worker's Broadcast has no id, so the model is kept on
    # the object itself and goes when Spark drops the broadcast.
    model = getattr(broadcast, "_quorvelin_model", None)
    if model is None:
        model = pickle.loads(broadcast.value)
        broadcast._quorvelin_model = model
    return model
