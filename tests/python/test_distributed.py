"""Training and scoring on a real local Dask cluster (Spark scoring when pyspark and Java exist)."""

import os
from dataclasses import astuple
import pickle
import shutil

import pytest

import quorvelin

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from quorvelin_tools import distributed as qd  # noqa: E402
from quorvelin_tools.estimators import QuorvelinError  # noqa: E402
from quorvelin_tools.modelfile import ModelSections, split_model_text, to_text  # noqa: E402

from conftest import HEADERS, TRAIN_CONF, make_rows  # noqa: E402

KINDS = ["RandomForestClassifier", "RandomForestRegressor"]
CONF = dict(TRAIN_CONF, n_tree=6, seed=11, max_depth=4)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0"
    )
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def process_client():
    """Workers in their own processes: the model crosses a process boundary by pickle."""
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    )
    c = distributed.Client(cluster, set_as_default=False)
    yield c
    c.close()
    cluster.close()


def frame(n=1200, seed=3, groups=2, missing=False, index=None):
    rows = make_rows(n, seed)
    for i, row in enumerate(rows):
        if groups > 2:
            row[2] = float(i % groups)
        if missing and i % 7 == 0:
            row[0] = None
    df = pd.DataFrame(rows, columns=HEADERS).astype(float)
    if index is not None:
        df.index = index(n)
    return df


def local_rows(df, columns=HEADERS):
    return [[None if pd.isna(v) else float(v) for v in row] for row in df[columns].itertuples(index=False)]


def text(model):
    return to_text(model)


def sections(model):
    return split_model_text(to_text(model), strict=False)


# ------------------------------------------------------------------------------ training


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("missing", [False, True])
def test_one_partition_equals_a_local_fit_byte_for_byte(client, name, missing):
    df = frame(missing=missing)
    model = qd.fit_dask(dd.from_pandas(df, npartitions=1), name, CONF, sample_rows=len(df))
    local = quorvelin.CausalModel(name, CONF)
    local.fit(HEADERS, local_rows(df))
    assert text(model) == text(local)
    rows = local_rows(df, ["a", "b"])
    assert repr(model.predict(["a", "b"], rows)) == repr(local.predict(["a", "b"], rows))


def test_merged_trees_are_each_tasks_trees_in_task_order(client):
    df = frame(n=1500)
    ddf = dd.from_pandas(df, npartitions=3)
    model = qd.fit_dask(ddf, "RandomForestClassifier", dict(CONF, n_tree=5))
    config, bins, trees = astuple(sections(model))
    assert '"n_tree":5' in config and '"seed":11' in config
    assert len(trees) == 5

    # The whole table is the sample here, so the shared bins are the whole table's.
    whole = quorvelin.CausalModel("RandomForestClassifier", dict(CONF, n_tree=0))
    whole.fit(HEADERS, local_rows(df))
    assert bins == sections(whole).bins

    # Task i grows its share (2, 2, 1) from those bins on partition i with its own seed.
    expected = []
    for i, (part, share) in enumerate(zip(ddf.to_delayed(), [2, 2, 1])):
        task_model = quorvelin.CausalModel(
            "RandomForestClassifier", dict(CONF, n_tree=share, seed=qd.task_seed(11, i))
        )
        task_model.__setstate__(ModelSections(sections(task_model).config, bins).text())
        task_model.fit(HEADERS, local_rows(part.compute()))
        expected += [config + "\n" + line for line in sections(task_model).tree_lines]
    assert trees == expected


def test_merged_model_saves_loads_and_predicts(client, tmp_path):
    df = frame(n=1600, groups=3)
    model = qd.fit_dask(dd.from_pandas(df, npartitions=4), "RandomForestRegressor", CONF, sample_rows=500)
    path = str(tmp_path / "merged.txt")
    model.save(path)
    loaded = model.load("RandomForestRegressor", path)
    rows = local_rows(df, ["a", "b"])
    got = loaded.predict(["a", "b"], rows)
    assert repr(got) == repr(model.predict(["a", "b"], rows))
    assert len(got) == len(df) and all(len(r) == 2 for r in got)
    assert repr(pickle.loads(pickle.dumps(model)).predict(["a", "b"], rows)) == repr(got)


def test_result_does_not_depend_on_workers_or_scheduling(client):
    ddf = dd.from_pandas(frame(n=2000), npartitions=5)
    on_cluster = qd.fit_dask(ddf, "RandomForestClassifier", CONF, sample_rows=700)
    with dask.config.set(scheduler="synchronous"):
        in_order = qd.fit_dask(ddf, "RandomForestClassifier", CONF, sample_rows=700)
    assert text(on_cluster) == text(in_order)
    other_seed = qd.fit_dask(ddf, "RandomForestClassifier", dict(CONF, seed=12), sample_rows=700)
    assert text(other_seed) != text(on_cluster)


def test_fewer_trees_than_partitions_and_grouped_partitions(client):
    df = frame(n=2000)
    halves = [df.iloc[:1000], df.iloc[1000:]]
    sixths = dd.concat([dd.from_pandas(h, npartitions=3) for h in halves])
    assert sixths.npartitions == 6
    with pytest.warns(RuntimeWarning, match="partitions_per_task to 3"):
        few = qd.fit_dask(sixths, "RandomForestClassifier", dict(CONF, n_tree=2))
    assert len(sections(few).trees) == 2
    # Two tasks of three partitions each: the same as the table cut in two partitions.
    grouped = qd.fit_dask(sixths, "RandomForestClassifier", CONF, partitions_per_task=3)
    two = dd.concat([dd.from_pandas(h, npartitions=1) for h in halves])
    assert text(grouped) == text(qd.fit_dask(two, "RandomForestClassifier", CONF))
    assert text(grouped) != text(qd.fit_dask(sixths, "RandomForestClassifier", CONF))


def test_empty_partitions_are_left_out(client):
    df = frame(n=1200)
    halves = [df.iloc[:600], df.iloc[600:]]
    with_empty = dd.concat(
        [dd.from_pandas(halves[0], npartitions=1), dd.from_pandas(df.iloc[:0], npartitions=1),
         dd.from_pandas(halves[1], npartitions=1)]
    )
    without = dd.concat([dd.from_pandas(h, npartitions=1) for h in halves])
    assert with_empty.npartitions == 3
    model = qd.fit_dask(with_empty, "RandomForestClassifier", CONF)
    assert text(model) == text(qd.fit_dask(without, "RandomForestClassifier", CONF))
    scored = qd.predict_dask(model, with_empty).compute()
    assert scored.index.equals(df.index)


def test_untrained_seedless_configuration_still_merges(client):
    conf = {k: v for k, v in CONF.items() if k != "seed"}
    model = qd.fit_dask(dd.from_pandas(frame(), npartitions=2), "RandomForestClassifier", conf)
    config, _, trees = astuple(sections(model))
    assert '"seed":null' in config and len(trees) == CONF["n_tree"]


@pytest.mark.parametrize("seed", [0, 11, 2**64 - 2])
def test_task_seeds_start_at_the_seed_differ_and_never_mean_no_seed(seed):
    seeds = [qd.task_seed(seed, i) for i in range(1000)]
    assert seeds[0] == seed
    assert len(set(seeds)) == len(seeds)
    assert all(0 <= s < 2**64 - 1 for s in seeds)


def test_sorted_table_needs_a_shuffle(client):
    # Control rows first: the first partition has no treated row at all.
    df = frame(n=1200).sort_values("t", kind="stable").reset_index(drop=True)
    ddf = dd.from_pandas(df, npartitions=4)
    with pytest.raises(ValueError, match="different numbers of treatment groups"):
        qd.fit_dask(ddf, "RandomForestClassifier", CONF)
    first = qd.fit_dask(ddf, "RandomForestClassifier", CONF, shuffle=True)
    again = qd.fit_dask(ddf, "RandomForestClassifier", CONF, shuffle=True)
    assert text(first) == text(again)
    assert len(first.predict(["a", "b"], local_rows(df, ["a", "b"]))) == len(df)


# ------------------------------------------------------------------------------- scoring


def trained(name="RandomForestClassifier", groups=2):
    model = quorvelin.CausalModel(name, CONF)
    model.fit(HEADERS, local_rows(frame(n=900, seed=8, groups=groups)))
    return model


@pytest.mark.parametrize(
    "groups, missing, index",
    [
        (2, False, None),
        (3, True, lambda n: pd.Index(np.random.default_rng(0).permutation(n) * 3 + 7)),
        (2, True, lambda n: pd.Index([f"r{i}" for i in range(n)])),
    ],
)
def test_distributed_scoring_equals_local_scoring(client, groups, missing, index):
    model = trained("RandomForestRegressor" if groups == 3 else "RandomForestClassifier", groups)
    df = frame(n=1000, seed=4, groups=groups, missing=missing, index=index)
    ddf = dd.from_pandas(df, npartitions=4, sort=False)
    scored = qd.predict_dask(model, ddf)
    assert scored.npartitions == ddf.npartitions
    got = scored.compute()
    assert list(got.columns) == [f"uplift_{k}" for k in range(1, groups)]
    assert got.index.equals(df.index)
    expected = np.asarray(model.predict(["a", "b"], local_rows(df, ["a", "b"])), dtype=np.float64)
    np.testing.assert_array_equal(got.to_numpy(), expected)


def test_the_model_is_shipped_once_not_per_partition(client):
    model = trained()
    scored = qd.predict_dask(model, dd.from_pandas(frame(n=1000), npartitions=8))
    graph = dict(scored.__dask_graph__())
    scoring = [task for key, task in graph.items() if str(key[0]).startswith("_score")]
    assert len(scoring) == 8
    # Every partition's task refers to one and the same key, held by both workers;
    # the model itself is in no task.
    model_keys = {d for task in scoring for d in task.dependencies if d not in graph}
    assert len(model_keys) == 1
    (key,) = model_keys
    assert len(client.who_has()[key]) == 2
    assert str(key).startswith("CausalModel")
    graph_bytes = len(pickle.dumps({k: v for k, v in graph.items() if str(k[0]).startswith("_score")}))
    assert graph_bytes < len(pickle.dumps(model))


def test_training_and_scoring_across_processes(process_client):
    df = frame(n=1500)
    ddf = dd.from_pandas(df, npartitions=3)
    model = qd.fit_dask(ddf, "RandomForestClassifier", CONF, sample_rows=len(df), client=process_client)
    scored = process_client.compute(qd.predict_dask(model, ddf, client=process_client)).result()
    with dask.config.set(scheduler="synchronous"):
        assert text(qd.fit_dask(ddf, "RandomForestClassifier", CONF, sample_rows=len(df))) == text(model)
    expected = np.asarray(model.predict(["a", "b"], local_rows(df, ["a", "b"])), dtype=np.float64)
    np.testing.assert_array_equal(scored.to_numpy(), expected)
    assert scored.index.equals(df.index)


# -------------------------------------------------------------------------------- errors


def test_a_missing_column_is_refused_on_the_client(client):
    ddf = dd.from_pandas(frame().drop(columns=["b"]), npartitions=2)
    with pytest.raises(ValueError, match=r"lacks the column\(s\) \['b'\]"):
        qd.fit_dask(ddf, "RandomForestClassifier", CONF)
    with pytest.raises(ValueError, match=r"lacks the column\(s\) \['b'\]"):
        qd.predict_dask(trained(), ddf)


def test_a_stop_on_a_worker_names_the_task_and_reaches_the_client(client):
    df = frame(n=1200)
    df.loc[1000, "y"] = 2.0  # third of three partitions
    ddf = dd.from_pandas(df, npartitions=3)
    with pytest.raises(QuorvelinError, match=r"training task 2 \(partition 2\): .*outcome of 0 or 1"):
        qd.fit_dask(ddf, "RandomForestClassifier", CONF, sample_rows=100)


def test_a_text_column_fails_scoring_with_a_clear_error(client):
    df = frame(n=400)
    df["a"] = df["a"].map(lambda v: f"{v:.3f}")
    scored = qd.predict_dask(trained(), dd.from_pandas(df, npartitions=2))
    with pytest.raises(ValueError, match=r"column 'a' is not numeric"):
        scored.compute()


def test_an_untrained_model_cannot_score(client):
    untrained = quorvelin.CausalModel("RandomForestClassifier", CONF)
    with pytest.raises(ValueError, match="no trees"):
        qd.predict_dask(untrained, dd.from_pandas(frame(n=100), npartitions=1))


@pytest.mark.parametrize("bad", [{"sample_rows": 0}, {"partitions_per_task": 0}, {"sample_rows": True}])
def test_bad_arguments(client, bad):
    with pytest.raises(ValueError):
        qd.fit_dask(dd.from_pandas(frame(n=100), npartitions=1), "RandomForestClassifier", CONF, **bad)


# --------------------------------------------------------------------------------- Spark


def _spark():
    pyspark = pytest.importorskip("pyspark")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("Spark needs Java")
    from pyspark.sql import SparkSession

    return pyspark, SparkSession.builder.master("local[2]").appName("quorvelin-test").getOrCreate()


def test_spark_scoring_equals_local_scoring():
    _, spark = _spark()
    model = trained()
    df = frame(n=500, missing=True).reset_index().rename(columns={"index": "row"})
    sdf = spark.createDataFrame(df).repartition(3)
    got = qd.predict_spark(model, sdf).toPandas().sort_values("row")
    expected = np.asarray(
        model.predict(["a", "b"], local_rows(df.sort_values("row"), ["a", "b"])), dtype=np.float64
    )
    np.testing.assert_array_equal(got[["uplift_1"]].to_numpy(), expected)
