"""The quorvelin command, end to end through `python -m quorvelin_tools`."""

import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest

PYTHON_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python"))
sys.path.insert(0, PYTHON_DIR)

from quorvelin_tools import datasets  # noqa: E402
from quorvelin_tools.tables import read_table, write_table  # noqa: E402


def _module_available() -> bool:
    try:
        import quorvelin  # noqa: F401
    except ImportError:
        return False
    return True


needs_module = pytest.mark.skipif(not _module_available(), reason="the quorvelin extension module is not importable")


def run(*args, cwd=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run(
        [sys.executable, "-m", "quorvelin_tools", *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def read_csv(path):
    with open(path, newline="") as fh:
        return list(csv.DictReader(fh))


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    r = run("generate", d / "data.csv", "--rows", 3000, "--seed", 5, "--truth", "--missing", 0.05, "-q")
    assert r.returncode == 0, r.stderr
    return d / "data.csv"


def test_generate_writes_text_categories_and_truth(table):
    rows = read_csv(table)
    assert len(rows) == 3000
    assert set(rows[0]) >= {"x0", "c0", "treatment", "y", "true_uplift_1", "true_uplift_2"}
    assert {r["c0"] for r in rows} <= {"A", "B", "C", "D", "E", ""}
    assert {r["treatment"] for r in rows} == {"0", "1", "2"}
    assert any(r["x3"] == "" for r in rows)  # missing cells


@needs_module
def test_train_predict_evaluate_inspect(table, tmp_path):
    model = tmp_path / "m.qvl"
    r = run(
        "train", table, "--treatment", "treatment", "--outcome", "y",
        "--ignore", "true_uplift_1,true_uplift_2", "--n-tree", 6, "--seed", 11,
        "--min-samples-leaf", 40, "-o", model,
    )
    assert r.returncode == 0, r.stderr
    assert "RandomForestClassifier" in r.stdout  # a 0/1 outcome picks the classifier
    assert "training 6 trees" in r.stderr  # progress lines go to stderr
    header = model.read_text().partition("\n")[0]
    meta = json.loads(header.split(" ", 1)[1])  # one file: header line, then the model text
    assert meta["categorical_features"] == ["c0", "c1"]  # text columns are categorical
    assert meta["classes"] == [0, 1, 2]

    pred = tmp_path / "pred.csv"
    r = run("predict", model, table, "-o", pred, "--keep", "treatment,y", "-q")
    assert r.returncode == 0, r.stderr
    rows = read_csv(pred)
    assert list(rows[0]) == ["treatment", "y", "uplift_1", "uplift_2"]
    assert len(rows) == 3000

    # Same forest as the estimator layer on the same data and seed.
    from quorvelin_tools import UpliftRandomForestClassifier

    tab = read_table(str(table))
    data = datasets.make_uplift_classification(n_rows=3000, seed=5, missing_fraction=0.05)
    est = UpliftRandomForestClassifier(
        n_estimators=6, random_state=11, min_samples_leaf=40, categorical_features=data.categorical_indices
    ).fit(data.X, y=data.y, treatment=data.treatment)
    want = est.predict(data.X).astype(np.float32)
    got = np.array([[float(r["uplift_1"]), float(r["uplift_2"])] for r in rows], dtype=np.float32)
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(tab["treatment"], data.treatment)

    report = tmp_path / "report.json"
    r = run("evaluate", pred, "--treatment", "treatment", "--outcome", "y", "--json", report, "-q")
    assert r.returncode == 0, r.stderr
    rep = json.loads(report.read_text())
    assert [t["treatment"] for t in rep["treatments"]] == ["1", "2"]
    from quorvelin_tools import metrics

    q = metrics.qini_coefficient(data.y, got.astype(np.float64), data.treatment)
    assert [t["qini"] for t in rep["treatments"]] == pytest.approx(list(q))
    assert "qini" in r.stdout and "auuc" in r.stdout

    r = run("inspect", model, "--json")
    assert r.returncode == 0, r.stderr
    info = json.loads(r.stdout)
    assert info["trees"]["n_trees"] == 6
    assert info["treatment_groups"] == 3
    assert info["configuration"]["treatment_cols"] == ["treatment"]
    assert info["trees"]["depth"]["max"] <= 6
    imp = {f["feature"]: f["importance"] for f in info["feature_importance"]}
    assert sum(imp.values()) == pytest.approx(1.0)
    assert [imp[n] for n in data.feature_names] == pytest.approx(list(est.feature_importances_))
    r = run("inspect", model, "--top", 3)
    assert r.returncode == 0 and "feature importance" in r.stdout


@needs_module
def test_evaluate_separate_scores_and_plot(table, tmp_path):
    pytest.importorskip("matplotlib")
    rows = read_csv(table)
    scores = tmp_path / "scores.csv"
    with open(scores, "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["s"])
        for r in rows:
            w.writerow([r["true_uplift_1"]])
    png = tmp_path / "q.png"
    r = run("evaluate", table, "--scores", scores, "--treatment", "treatment", "-y", "y",
            "--score", "s=1", "--plot", png, "-q")
    assert r.returncode == 0, r.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@needs_module
def test_train_with_json_conf_and_regressor(tmp_path):
    d = datasets.make_uplift_regression(n_rows=1500, n_treatments=1, seed=2)
    cols = d.columns()  # categories as numeric codes
    cols["weight"] = np.full(d.n_rows, 2.0)
    cols["id"] = np.arange(d.n_rows, dtype=float)
    data = tmp_path / "reg.csv"
    write_table(str(data), cols)
    conf = tmp_path / "conf.json"
    conf.write_text(json.dumps({"treatment": ["treatment"], "y": "y", "weight": "weight", "index": ["id"],
                                "cat": ["c0", "c1"], "n_tree": 3, "seed": 1, "max_depth": 3, "n_thread": 1}))
    model = tmp_path / "r.qvl"
    r = run("train", data, "--conf", conf, "--n-tree", 4, "-o", model, "-q")
    assert r.returncode == 0, r.stderr
    assert "RandomForestRegressor" in r.stdout
    info = json.loads(run("inspect", model, "--json").stdout)
    cfg = info["configuration"]
    assert cfg["n_tree"] == 4  # the flag wins over the file
    assert cfg["max_depth"] == 3 and cfg["weight_col"] == "weight"
    assert "id" not in cfg["feature_cols"] and "weight" not in cfg["feature_cols"]
    assert cfg["cat_cols"] == ["c0", "c1"]
    # A bare model file (the saved file without its header line) needs the kind.
    model.write_text(model.read_text().partition("\n")[2])
    r = run("predict", model, data, "-o", tmp_path / "p.csv", "-q")
    assert r.returncode == 2 and "kind" in r.stderr
    r = run("predict", model, data, "-o", tmp_path / "p.csv", "--kind", "regressor", "-q")
    assert r.returncode == 0, r.stderr
    assert list(read_csv(tmp_path / "p.csv")[0]) == ["uplift_1"]
    # Text categories need the mapping the header line kept.
    text = tmp_path / "text.csv"
    write_table(str(text), d.columns(categories_as_text=True))
    r = run("predict", model, text, "-o", tmp_path / "p.csv", "--kind", "regressor", "-q")
    assert r.returncode == 2 and "numeric codes" in r.stderr


def _write(path, text):
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    "make_args, message",
    [
        (lambda d: ["train", d / "missing.csv", "--treatment", "t", "-y", "y"], "file not found"),
        (lambda d: ["train", _write(d / "a.csv", "x,t,y\n1,0,1\n"), "--treatment", "trt", "-y", "y"], "treatment column (--treatment) 'trt' not found; the columns are: x, t, y"),
        (lambda d: ["train", _write(d / "a.csv", "x,t,y\n1,0,1\n"), "--treatment", "t", "-y", "y", "--features", "x,z"], "--features column(s) 'z' not found"),
        (lambda d: ["train", _write(d / "a.csv", "x,t,y\n1,0,1\n2,1\n"), "--treatment", "t", "-y", "y"], "line 3 has 2 fields"),
        (lambda d: ["train", _write(d / "a.csv", "x,x,y\n1,0,1\n"), "--treatment", "x", "-y", "y"], "occurs twice"),
        (lambda d: ["train", _write(d / "a.csv", ""), "--treatment", "t", "-y", "y"], "empty file"),
        (lambda d: ["train", _write(d / "a.csv", "x,t,y\n1,0,1\n"), "--treatment", "t"], "outcome"),
        (lambda d: ["train", _write(d / "a.csv", "x,t,y\n1,0,1\n"), "--treatment", "t", "-y", "y", "--conf", _write(d / "c.json", "{nope")], "not valid JSON"),
        (lambda d: ["predict", d / "none.qvl", d / "none.csv"], "model file not found"),
        (lambda d: ["inspect", _write(d / "m.qvl", "{garbage\n\n")], "not a readable model file"),
        (lambda d: ["inspect", d / "none.qvl"], "model file not found"),
        (lambda d: ["evaluate", _write(d / "a.csv", "t,y,uplift_1\n0,1,0.5\n1,0,0.2\n"), "--treatment", "t", "-y", "yy"], "outcome column (--outcome) 'yy' not found"),
        (lambda d: ["evaluate", _write(d / "a.csv", "t,y,s\n0,1,0.5\n1,0,0.2\n"), "--treatment", "t", "-y", "y"], "no score column"),
        (lambda d: ["evaluate", _write(d / "a.csv", "t,y,uplift_1\n2,1,0.5\n1,0,0.2\n"), "--treatment", "t", "-y", "y"], "labels found: 1, 2"),
        (lambda d: ["generate", d / "g.csv", "--features", "1"], "--features"),
    ],
)
def test_clear_errors_exit_2(tmp_path, make_args, message):
    r = run(*make_args(tmp_path))
    assert r.returncode == 2, (r.stdout, r.stderr)
    assert message in r.stderr
    assert "Traceback" not in r.stderr


def test_usage_errors_exit_2():
    assert run().returncode == 2
    r = run("train", "--n-tree", "many")
    assert r.returncode == 2 and "argument --n-tree: must be an integer" in r.stderr


@needs_module
def test_demo_quick(tmp_path):
    out = tmp_path / "demo"
    r = run("demo", "--quick", "--out", out)
    assert r.returncode == 0, r.stderr
    assert "identical predictions: yes" in r.stdout
    report = json.loads((out / "report.json").read_text())
    kinds = [c["model"] for c in report["cases"]]
    assert kinds == ["RandomForestClassifier", "RandomForestRegressor"]
    for case in report["cases"]:
        assert case["reload_identical"] is True
        assert len(case["per_treatment"]) == case["treatments"]
        for t in case["per_treatment"]:
            # The synthetic effects are learnable: estimates agree with the truth.
            assert t["pearson_true"] > 0.3
    assert (out / "classifier.model").exists()
    # The demo's own files work together, as its report suggests.
    p = run("predict", out / "classifier.model", out / "classification.csv", "-o", out / "p.csv", "-q")
    assert p.returncode == 0, p.stderr
    assert len(read_csv(out / "p.csv")) == 10_000
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "no charts" in r.stderr
    else:
        assert (out / "qini.png").exists() and (out / "uplift_by_decile.png").exists()
