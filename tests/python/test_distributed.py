"""Training and scoring on a real local Dask cluster, also when a worker dies (Spark scoring when
pyspark and Java exist)."""

import concurrent.futures
import os
import pickle
import shutil
import signal

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

from conftest import HEADERS, KINDS, TRAIN_CONF, make_rows  # noqa: E402

CONF = dict(TRAIN_CONF, n_tree=6, seed=11, max_depth=4)
CLF = "RandomForestClassifier"


def _cluster(processes):
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=processes, dashboard_address=":0")
    client = distributed.Client(cluster, set_as_default=not processes)
    return cluster, client


@pytest.fixture(scope="module")
def client():
    cluster, c = _cluster(False)
    yield c
    c.close()
    cluster.close()


def frame(n=1200, seed=3, groups=2, missing=False, index=None):
    rows = make_rows(n, seed, groups)
    for i, row in enumerate(rows):
        if missing and i % 7 == 0:
            row[0] = None
    df = pd.DataFrame(rows, columns=HEADERS).astype(float)
    if index is not None:
        df.index = index(n)
    return df


def local_rows(df, columns=HEADERS):
    return [[None if pd.isna(v) else float(v) for v in row] for row in df[columns].itertuples(index=False)]


def sections(model):
    return split_model_text(to_text(model), strict=False)


def scores(model, df):
    return np.asarray(model.predict(["a", "b"], local_rows(df, ["a", "b"])), dtype=np.float64)


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("missing", [False, True])
def test_one_partition_equals_a_local_fit_byte_for_byte(client, name, missing):
    df = frame(missing=missing)
    model = qd.fit_dask(dd.from_pandas(df, npartitions=1), name, CONF, sample_rows=len(df))
    local = quorvelin.CausalModel(name, CONF)
    local.fit(HEADERS, local_rows(df))
    assert to_text(model) == to_text(local)
    assert repr(pickle.loads(pickle.dumps(model)).predict(HEADERS, local_rows(df))) == \
        repr(local.predict(HEADERS, local_rows(df)))


def test_merged_trees_are_each_tasks_trees_in_task_order(client):
    df = frame(n=1500)
    ddf = dd.from_pandas(df, npartitions=3)
    merged = sections(qd.fit_dask(ddf, CLF, dict(CONF, n_tree=5)))
    assert '"n_tree":5' in merged.config and '"seed":11' in merged.config
    # The whole table is the sample here, so the shared bins are the whole table's.
    whole = quorvelin.CausalModel(CLF, dict(CONF, n_tree=0))
    whole.fit(HEADERS, local_rows(df))
    assert merged.bins == sections(whole).bins
    # Task i grows its share (2, 2, 1) from those bins on partition i with its own seed.
    expected = []
    for i, (part, share) in enumerate(zip(ddf.to_delayed(), [2, 2, 1])):
        task = quorvelin.CausalModel(CLF, dict(CONF, n_tree=share, seed=qd.task_seed(11, i)))
        task.__setstate__(ModelSections(sections(task).config, merged.bins).text())
        task.fit(HEADERS, local_rows(part.compute()))
        expected += [merged.config + "\n" + line for line in sections(task).tree_lines]
    assert merged.trees == expected


def test_partitioning_decides_the_forest_and_scheduling_does_not(client):
    df = frame(n=2000)
    ddf = dd.from_pandas(df, npartitions=5)
    on_cluster = qd.fit_dask(ddf, CLF, CONF, sample_rows=700)
    with dask.config.set(scheduler="synchronous"):
        assert to_text(qd.fit_dask(ddf, CLF, CONF, sample_rows=700)) == to_text(on_cluster)
    assert to_text(qd.fit_dask(ddf, CLF, dict(CONF, seed=12), sample_rows=700)) != to_text(on_cluster)
    halves = [df.iloc[:1000], df.iloc[1000:]]
    sixths = dd.concat([dd.from_pandas(h, npartitions=3) for h in halves])
    with pytest.warns(RuntimeWarning, match="partitions_per_task to 3"):
        assert len(sections(qd.fit_dask(sixths, CLF, dict(CONF, n_tree=2))).trees) == 2
    # Two tasks of three partitions each: the same as the table cut in two; empty partitions
    # are left out.
    grouped = to_text(qd.fit_dask(sixths, CLF, CONF, partitions_per_task=3))
    two = [dd.from_pandas(h, npartitions=1) for h in halves]
    assert grouped == to_text(qd.fit_dask(dd.concat(two), CLF, CONF))
    assert grouped != to_text(qd.fit_dask(sixths, CLF, CONF))
    with_empty = dd.concat([two[0], dd.from_pandas(df.iloc[:0], npartitions=1), two[1]])
    assert to_text(qd.fit_dask(with_empty, CLF, CONF)) == grouped
    assert qd.predict_dask(on_cluster, with_empty).compute().index.equals(df.index)
    seedless = qd.fit_dask(ddf, CLF, {k: v for k, v in CONF.items() if k != "seed"})
    assert '"seed":null' in sections(seedless).config and len(sections(seedless).trees) == CONF["n_tree"]


@pytest.mark.parametrize("seed", [0, 11, 2**64 - 2])
def test_task_seeds_start_at_the_seed_differ_and_never_mean_no_seed(seed):
    seeds = [qd.task_seed(seed, i) for i in range(1000)]
    assert seeds[0] == seed and len(set(seeds)) == len(seeds) and all(0 <= s < 2**64 - 1 for s in seeds)


def test_sorted_table_needs_a_shuffle(client):
    # Control rows first: the first partition has no treated row at all.
    df = frame(n=1200).sort_values("t", kind="stable").reset_index(drop=True)
    ddf = dd.from_pandas(df, npartitions=4)
    with pytest.raises(ValueError, match="different numbers of treatment groups"):
        qd.fit_dask(ddf, CLF, CONF)
    first = qd.fit_dask(ddf, CLF, CONF, shuffle=True)
    assert to_text(first) == to_text(qd.fit_dask(ddf, CLF, CONF, shuffle=True))


def trained(name=CLF, groups=2):
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
    model = trained("RandomForestRegressor" if groups == 3 else CLF, groups)
    df = frame(n=1000, seed=4, groups=groups, missing=missing, index=index)
    scored = qd.predict_dask(model, dd.from_pandas(df, npartitions=4, sort=False))
    assert scored.npartitions == 4
    got = scored.compute()
    assert list(got.columns) == [f"uplift_{k}" for k in range(1, groups)] and got.index.equals(df.index)
    np.testing.assert_array_equal(got.to_numpy(), scores(model, df))


def test_the_model_is_shipped_once_not_per_partition(client):
    model = trained()
    graph = dict(qd.predict_dask(model, dd.from_pandas(frame(n=1000), npartitions=8)).__dask_graph__())
    scoring = {key: task for key, task in graph.items() if str(key[0]).startswith("_score")}
    assert len(scoring) == 8
    # Every partition's task refers to one and the same key, held by both workers; the model
    # itself is in no task.
    (key,) = {d for task in scoring.values() for d in task.dependencies if d not in graph}
    assert len(client.who_has()[key]) == 2 and str(key).startswith("CausalModel")
    assert len(pickle.dumps(scoring)) < len(pickle.dumps(model))


def test_training_and_scoring_across_processes():
    cluster, process_client = _cluster(True)
    try:
        df = frame(n=1500)
        ddf = dd.from_pandas(df, npartitions=3)
        model = qd.fit_dask(ddf, CLF, CONF, sample_rows=len(df), client=process_client)
        scored = process_client.compute(qd.predict_dask(model, ddf, client=process_client)).result()
    finally:
        process_client.close()
        cluster.close()
    with dask.config.set(scheduler="synchronous"):
        assert to_text(qd.fit_dask(ddf, CLF, CONF, sample_rows=len(df))) == to_text(model)
    np.testing.assert_array_equal(scored.to_numpy(), scores(model, df))
    assert scored.index.equals(df.index)


def _die_on_a_worker(part, client_pid):
    if os.getpid() != client_pid:
        os.kill(os.getpid(), signal.SIGKILL)
    return part


def test_a_worker_killed_during_fit_is_a_client_error_not_a_hang():
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0")
        client = distributed.Client(cluster, set_as_default=False)
        pool = concurrent.futures.ThreadPoolExecutor(1)  # a hang fails the test instead of the suite
        try:
            df = frame(n=300)
            ddf = dd.from_pandas(df, npartitions=2).map_partitions(_die_on_a_worker, os.getpid(), meta=df)
            call = pool.submit(qd.fit_dask, ddf, CLF, CONF, client=client)
            with pytest.raises(distributed.KilledWorker, match="died while running it"):
                call.result(timeout=180)
        finally:
            client.close()
            cluster.close()
            pool.shutdown(wait=False)


def test_errors_reach_the_client(client):
    ddf = dd.from_pandas(frame().drop(columns=["b"]), npartitions=2)
    for call in (lambda: qd.fit_dask(ddf, CLF, CONF), lambda: qd.predict_dask(trained(), ddf)):
        with pytest.raises(ValueError, match=r"lacks the column\(s\) \['b'\]"):
            call()
    df = frame(n=1200)
    df.loc[1000, "y"] = 2.0  # third of three partitions
    with pytest.raises(QuorvelinError, match=r"training task 2 \(partition 2\): .*outcome of 0 or 1"):
        qd.fit_dask(dd.from_pandas(df, npartitions=3), CLF, CONF, sample_rows=100)
    df["a"] = df["a"].map(lambda v: f"{v:.3f}")
    with pytest.raises(ValueError, match=r"column 'a' is not numeric"):
        qd.predict_dask(trained(), dd.from_pandas(df, npartitions=2)).compute()
    with pytest.raises(ValueError, match="no trees"):
        qd.predict_dask(quorvelin.CausalModel(CLF, CONF), dd.from_pandas(frame(n=100), npartitions=1))
    for bad in ({"sample_rows": 0}, {"partitions_per_task": 0}, {"sample_rows": True}):
        with pytest.raises(ValueError):
            qd.fit_dask(dd.from_pandas(frame(n=100), npartitions=1), CLF, CONF, **bad)


def test_spark_workers_unpickle_the_broadcast_model_once_without_a_broadcast_id():
    class WorkerBroadcast:  # what a Spark Python worker holds: the value, no id
        def __init__(self, value):
            self.value = value

    model = trained()
    broadcast = WorkerBroadcast(pickle.dumps(model))
    first = qd._spark_model(broadcast)
    assert qd._spark_model(broadcast) is first
    assert first.predict(HEADERS, make_rows()) == model.predict(HEADERS, make_rows())


def test_spark_scoring_equals_local_scoring():
    pytest.importorskip("pyspark")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("Spark needs Java")
    from pyspark.sql import SparkSession

    spark = SparkSession.builder.master("local[2]").appName("quorvelin-test").getOrCreate()
    model = trained()
    df = frame(n=500, missing=True).reset_index().rename(columns={"index": "row"})
    got = qd.predict_spark(model, spark.createDataFrame(df).repartition(3)).toPandas().sort_values("row")
    np.testing.assert_array_equal(got[["uplift_1"]].to_numpy(), scores(model, df.sort_values("row")))
