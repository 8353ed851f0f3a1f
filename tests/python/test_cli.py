"""The quorvelin command end to end, and the tables, files and mistakes people bring to it:
every mistake ends in one line on stderr and exit status 2, never a traceback."""

import csv
import json
import os
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest

from conftest import PYTHON_DIR
from quorvelin_tools import UpliftRandomForestClassifier, _artefact, cli, datasets, metrics
from quorvelin_tools.estimators import load_estimator
from quorvelin_tools.tables import read_table, write_table


@pytest.fixture
def run(capfd):
    """Runs the command in this process; its exit status and what it wrote."""

    def call(*args):
        capfd.readouterr()
        try:
            code = cli.main([str(a) for a in args])
        except SystemExit as exc:  # argparse's own usage errors
            code = exc.code
        out, err = capfd.readouterr()
        return SimpleNamespace(returncode=code, stdout=out, stderr=err)

    return call


def read_csv(path):
    with open(path, newline="") as fh:
        return list(csv.DictReader(fh))


def customers(n=400, sep=",", bom=False, stray=None):
    """An id column, two features, treatment and outcome, with a learnable effect."""
    rng = np.random.default_rng(0)
    lines = [sep.join(["customer_id", "age", "city", "arm", "bought"])]
    for i in range(n):
        age, arm = rng.integers(18, 80), ["none", "mail"][i % 2]
        bought = int(rng.random() < 0.2 + 0.3 * (arm == "mail") * (age > 50))
        cells = [str(1000 + i), str(age), "ABC"[i % 3], arm, str(bought)]
        if stray and stray[0] == i + 1:
            cells[1] = stray[1]
        lines.append(sep.join(cells))
    return ("\ufeff" if bom else "") + "\n".join(lines) + "\n"


TRAIN = ["--treatment", "arm", "--outcome", "bought", "--control", "none", "--n-tree", 3,
         "--min-samples-leaf", 20, "--seed", 1, "-q"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    table, model = d / "t.csv", d / "m.qvl"
    table.write_text(customers(), encoding="utf-8")
    assert cli.main([str(a) for a in ["train", table, *TRAIN, "--ignore", "customer_id", "-o", model]]) == 0
    return d, table, model


def test_generate_train_predict_evaluate_inspect(tmp_path, run):
    table = tmp_path / "data.csv"
    assert run("generate", table, "--rows", 3000, "--seed", 5, "--truth", "--missing", 0.05, "-q").returncode == 0
    rows = read_csv(table)
    assert len(rows) == 3000 and set(rows[0]) >= {"x0", "c0", "treatment", "y", "true_uplift_1", "true_uplift_2"}
    assert {r["c0"] for r in rows} <= {"A", "B", "C", "D", "E", ""} and any(r["x3"] == "" for r in rows)
    model = tmp_path / "m.qvl"
    r = run("train", table, "--treatment", "treatment", "--outcome", "y", "--ignore", "true_uplift_1,true_uplift_2",
            "--n-tree", 6, "--seed", 11, "--min-samples-leaf", 40, "-o", model)
    assert r.returncode == 0, r.stderr
    assert "RandomForestClassifier" in r.stdout  # a 0/1 outcome picks the classifier
    assert "training 6 trees" in r.stderr  # progress lines go to stderr
    meta = json.loads(model.read_text().partition("\n")[0].split(" ", 1)[1])  # one file: header line, model text
    assert meta["categorical_features"] == ["c0", "c1"] and meta["classes"] == [0, 1, 2]  # text is categorical

    pred = tmp_path / "pred.csv"
    assert run("predict", model, table, "-o", pred, "--keep", "treatment,y", "-q").returncode == 0
    rows = read_csv(pred)
    assert list(rows[0]) == ["treatment", "y", "uplift_1", "uplift_2"] and len(rows) == 3000
    # Same forest as the estimator layer on the same data and seed.
    data = datasets.make_uplift_classification(n_rows=3000, seed=5, missing_fraction=0.05)
    est = UpliftRandomForestClassifier(n_estimators=6, random_state=11, min_samples_leaf=40,
                                       categorical_features=data.categorical_indices).fit(data.X, data.y, data.treatment)
    got = np.array([[float(r["uplift_1"]), float(r["uplift_2"])] for r in rows], dtype=np.float32)
    np.testing.assert_array_equal(got, est.predict(data.X).astype(np.float32))
    np.testing.assert_array_equal(read_table(str(table))["treatment"], data.treatment)

    report = tmp_path / "report.json"
    r = run("evaluate", pred, "--treatment", "treatment", "--outcome", "y", "--json", report)
    assert r.returncode == 0 and "qini" in r.stdout and "auuc" in r.stdout, r.stderr
    rep = json.loads(report.read_text())
    assert [t["treatment"] for t in rep["treatments"]] == ["1", "2"]
    q = metrics.qini_coefficient(data.y, got.astype(np.float64), data.treatment)
    assert [t["qini"] for t in rep["treatments"]] == pytest.approx(list(q))

    r = run("inspect", model, "--json")
    info = json.loads(r.stdout)
    assert info["trees"]["n_trees"] == 6 and info["trees"]["depth"]["max"] <= 6 and info["treatment_groups"] == 3
    assert info["configuration"]["treatment_cols"] == ["treatment"]
    imp = {f["feature"]: f["importance"] for f in info["feature_importance"]}
    assert [imp[n] for n in data.feature_names] == pytest.approx(list(est.feature_importances_))
    assert "feature importance" in run("inspect", model, "--top", 3).stdout

    pytest.importorskip("matplotlib")
    scores = tmp_path / "scores.csv"
    scores.write_text("s\n" + "\n".join(r["uplift_1"] for r in rows) + "\n")
    png = tmp_path / "q.png"
    r = run("evaluate", table, "--scores", scores, "--treatment", "treatment", "-y", "y", "--score", "s=1",
            "--plot", png, "-q")
    assert r.returncode == 0 and png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", r.stderr


def test_train_with_json_conf_and_regressor(tmp_path, run):
    d = datasets.make_uplift_regression(n_rows=1500, n_treatments=1, seed=2)
    cols = dict(d.columns(), weight=np.full(d.n_rows, 2.0), id=np.arange(d.n_rows, dtype=float))
    data, conf, model = tmp_path / "reg.csv", tmp_path / "conf.json", tmp_path / "r.qvl"
    write_table(str(data), cols)
    conf.write_text(json.dumps({"treatment": ["treatment"], "y": "y", "weight": "weight", "index": ["id"],
                                "cat": ["c0", "c1"], "n_tree": 3, "seed": 1, "max_depth": 3, "n_thread": 1}))
    r = run("train", data, "--conf", conf, "--n-tree", 4, "-o", model, "-q")
    assert r.returncode == 0 and "RandomForestRegressor" in r.stdout, r.stderr
    cfg = json.loads(run("inspect", model, "--json").stdout)["configuration"]
    assert cfg["n_tree"] == 4  # the flag wins over the file
    assert cfg["max_depth"] == 3 and cfg["weight_col"] == "weight" and cfg["cat_cols"] == ["c0", "c1"]
    assert "id" not in cfg["feature_cols"] and "weight" not in cfg["feature_cols"]
    # A bare model file (the saved file without its header line) needs the kind.
    model.write_text(model.read_text().partition("\n")[2])
    r = run("predict", model, data, "-o", tmp_path / "p.csv", "-q")
    assert r.returncode == 2 and "kind" in r.stderr
    r = run("predict", model, data, "-o", tmp_path / "p.csv", "--kind", "regressor", "-q")
    assert r.returncode == 0 and list(read_csv(tmp_path / "p.csv")[0]) == ["uplift_1"], r.stderr
    # Text categories need the mapping the header line kept.
    write_table(str(tmp_path / "text.csv"), d.columns(categories_as_text=True))
    r = run("predict", model, tmp_path / "text.csv", "-o", tmp_path / "p.csv", "--kind", "regressor", "-q")
    assert r.returncode == 2 and "numeric codes" in r.stderr


@pytest.mark.parametrize(
    "name, text, extra",
    [
        ("bom.csv", customers(bom=True), []),
        ("semi.csv", customers(sep=";"), []),
        ("tabs.tsv", customers(sep="\t"), []),
        ("pipes.txt", customers(sep="|"), ["--sep", "|"]),
        ("stray.csv", customers(stray=(17, "?")), ["--na", "?"]),  # age stays numeric
    ],
    ids=["bom", "semicolon", "tab", "pipe", "na"],
)
def test_train_reads_bom_delimiters_and_na_markers(tmp_path, run, name, text, extra):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    r = run("train", path, *TRAIN, "--ignore", "customer_id", "-o", tmp_path / "m.qvl", *extra)
    assert r.returncode == 0, r.stderr
    info = json.loads(run("inspect", tmp_path / "m.qvl", "--json").stdout)
    assert info["configuration"]["feature_cols"] == ["age", "city"] and info["configuration"]["cat_cols"] == ["city"]


@pytest.mark.parametrize("suffix", [".parquet", ".feather"])
def test_columnar_files_train_and_predict(tmp_path, run, suffix):
    pytest.importorskip("pyarrow")
    path, model = tmp_path / ("g" + suffix), tmp_path / "m.qvl"
    assert run("generate", path, "--rows", 600, "--seed", 3, "--treatments", 1, "-q").returncode == 0
    r = run("train", path, "--treatment", "treatment", "-y", "y", "--n-tree", 2, "--min-samples-leaf", 20, "-o", model)
    assert r.returncode == 0, r.stderr
    assert run("predict", model, path, "-o", tmp_path / ("p" + suffix), "-q").returncode == 0


def _write(path, text):
    path.write_text(text)
    return path


def _edited(model, out, edit_header=None, section=None, edit_record=None):
    """A copy of a saved estimator with its header or one JSON line of its model text edited."""
    with open(model, encoding="utf-8", newline="") as fh:
        header, text = _artefact.split_text(fh.read())
    if edit_header:
        edit_header(header)
    if section:
        parts = text.split("\n\n")
        lines = parts[section[0]].split("\n")
        record = json.loads(lines[section[1]])
        edit_record(record)
        lines[section[1]] = json.dumps(record)
        parts[section[0]] = "\n".join(lines)
        text = "\n\n".join(parts)
    _artefact.write(str(out), header, text)
    return out


XY = "x,t,y\n1,0,1\n"
# Each case: the arguments, given the scratch directory, the table and the trained model; and
# the words the one line must hold.
MISTAKES = [
    (lambda d, t, m: ["train", d / "missing.csv", "--treatment", "t", "-y", "y"], "file not found"),
    (lambda d, t, m: ["train", _write(d / "a.csv", XY), "--treatment", "trt", "-y", "y"],
     "treatment column (--treatment) 'trt' not found; the columns are: x, t, y"),
    (lambda d, t, m: ["train", _write(d / "a.csv", XY), "--treatment", "t"], "outcome"),
    (lambda d, t, m: ["train", t, *TRAIN, "--ignore", "customer"],
     "--ignore column(s) 'customer' not found; the columns are: customer_id, age, city, arm, bought"),
    (lambda d, t, m: ["train", t, *TRAIN, "--ignore", "customer_id", "--cat", "arm"],
     "--cat names 'arm', which is not among the features"),
    (lambda d, t, m: ["train", t, *TRAIN, "--control", "control"],
     "--control 'control' is not a label of the treatment column 'arm'; labels found: mail, none"),
    (lambda d, t, m: ["train", t, *TRAIN, "--kind", "tree"], "--kind 'tree' is not a model kind"),
    (lambda d, t, m: ["train", t, *TRAIN, "--n-tree", "0"], "argument --n-tree: must be at least 1"),
    (lambda d, t, m: ["train", t, *TRAIN, "--n-bin", "300"], "argument --n-bin: must be at most 254"),
    (lambda d, t, m: ["train", _write(d / "s.csv", customers(stray=(17, "?"))), *TRAIN, "--ignore", "customer_id"],
     "column 'age' is numeric except for '?' in row 17 (1 cell(s)), so it would be read as categorical; pass --na '?'"),
    (lambda d, t, m: ["train", t, *TRAIN, "--conf", _write(d / "c.json", "{nope")], "not valid JSON"),
    (lambda d, t, m: ["train", t, "--treatment", "arm", "--conf", _write(d / "c.json", '{"y": ["bought"]}')],
     "'y' must be one column name"),
    (lambda d, t, m: ["train", t, "--treatment", "arm", "--conf", _write(d / "c.json", '{"n_tree": 0}')],
     "'n_tree' (as --n-tree) must be at least 1"),
    (lambda d, t, m: ["train", t, "--treatment", "arm", "--conf", _write(d / "c.json", '{"n_thread": "two"}')],
     "'n_thread' (as --threads) must be an integer"),
    (lambda d, t, m: ["train", t, *TRAIN, "-o", "/dev/full"], "not a regular file"),
    (lambda d, t, m: ["predict", d / "none.qvl", d / "none.csv"], "model file not found"),
    (lambda d, t, m: ["predict", t, m], "is not a quorvelin model file (it looks like a table"),
    (lambda d, t, m: ["predict", m, t, "-o", "/dev/full", "-q"], "No space left on device"),
    (lambda d, t, m: ["predict", m, t, "-o", d / "p.xlsx", "-q"], "cannot write a .xlsx file"),
    (lambda d, t, m: ["predict", m, _write(d / "s.csv", customers(stray=(5, "n/a?"))), "-o", d / "p.csv", "-q"],
     "numeric except for 'n/a?' in row 5"),
    (lambda d, t, m: ["predict", _edited(m, d / "x.qvl", lambda h: h.update(classes=h["classes"] + [7, 8])), t,
                      "-o", d / "p.csv", "-q"], "error:"),
    (lambda d, t, m: ["inspect", _write(d / "cut.qvl", m.read_text()[:2000])], "not a readable model file"),
    (lambda d, t, m: ["inspect", _edited(m, d / "c.qvl", section=(0, 0), edit_record=lambda r: r.update(cat_cols=1e300))],
     "error:"),
    (lambda d, t, m: ["inspect", _edited(m, d / "l.qvl", section=(-2, 1), edit_record=lambda r: r.update(left_children=7))],
     "error:"),
    (lambda d, t, m: ["evaluate", _write(d / "a.csv", "t,y,s\n0,1,0.5\n1,0,0.2\n"), "--treatment", "t", "-y", "y"],
     "no score column"),
    (lambda d, t, m: ["evaluate", _write(d / "a.csv", "t,y,uplift_1\n2,1,0.5\n1,0,0.2\n"), "--treatment", "t", "-y", "y"],
     "labels found: 1, 2"),
    (lambda d, t, m: ["generate", d / "g.csv", "--features", "1"], "--features"),
    (lambda d, t, m: ["generate", d / "g.xlsx", "--rows", 50, "-q"], "cannot write a .xlsx file"),
]


@pytest.mark.parametrize("make_args, message", MISTAKES, ids=[f"{i:02d}" for i in range(len(MISTAKES))])
def test_mistakes_end_in_one_line_and_exit_2(files, tmp_path, run, make_args, message):
    _, table, model = files
    args = make_args(tmp_path, table, model)
    if args[0] == "train" and "-o" not in args:  # a mistake missed must not write into the checkout
        args += ["-o", tmp_path / "out.qvl"]
    r = run(*args)
    lines = r.stderr.strip().splitlines()
    assert r.returncode == 2, (r.stdout, r.stderr)
    assert message in lines[-1] and len([line for line in lines if "error" in line]) == 1, r.stderr
    assert not (tmp_path / "g.xlsx").exists()


def test_the_module_runs_as_a_command_and_every_option_says_its_default():
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""))
    r = subprocess.run([sys.executable, "-m", "quorvelin_tools", "train", "--n-tree", "many"], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 2 and "argument --n-tree: must be an integer" in r.stderr
    sub = next(a for a in cli.build_parser()._actions if a.dest == "command")
    for name, parser in sub.choices.items():
        for action in parser._actions:
            if action.dest != "help" and action.option_strings:
                assert action.help and ("default" in action.help or "required" in action.help), (name, action)


def test_demo_quick(tmp_path, run):
    out = tmp_path / "demo"
    r = run("demo", "--quick", "--out", out)
    assert r.returncode == 0 and "identical predictions: yes" in r.stdout, r.stderr
    report = json.loads((out / "report.json").read_text())
    assert [c["model"] for c in report["cases"]] == ["RandomForestClassifier", "RandomForestRegressor"]
    for case in report["cases"]:
        assert case["reload_identical"] is True and len(case["per_treatment"]) == case["treatments"]
        # The synthetic effects are learnable: estimates agree with the truth.
        assert all(t["pearson_true"] > 0.3 for t in case["per_treatment"])
    # The demo's own files work together, as its report suggests.
    p = run("predict", out / "classifier.model", out / "classification.csv", "-o", out / "p.csv", "-q")
    assert p.returncode == 0 and len(read_csv(out / "p.csv")) == 10_000, p.stderr


# ---------------------------------------------------------------------------------------------
# Estimator files


@pytest.fixture(scope="module")
def est_file(tmp_path_factory):
    data = datasets.make_uplift_classification(n_rows=400, seed=1)
    path = tmp_path_factory.mktemp("est") / "est.txt"
    UpliftRandomForestClassifier(n_estimators=2, min_samples_leaf=20).fit(data.X, data.y, data.treatment).save(path)
    return path


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda m: m["params"].update(n_estimators="3"), "parameter n_estimators"),
        (lambda m: m["params"].update(normalization=1), "parameter normalization"),
        (lambda m: m.update(classes=[0, [1]]), "'classes'"),
        (lambda m: m.update(classes=m["classes"][:1]), "'classes'"),
        (lambda m: m.update(categories={"x0": "abc"}), "'categories'"),
        (lambda m: m.update(feature_names=["x0"]), "'feature_names'"),
    ],
    ids=["int-as-str", "bool-as-int", "label-list", "no-treatment", "categories-str", "features"],
)
def test_estimator_metadata_is_validated_on_load(est_file, tmp_path, edit, message):
    with pytest.raises(ValueError, match=message):
        load_estimator(_edited(est_file, tmp_path / "edited.txt", edit))


def test_estimator_save_keeps_special_files_and_links(est_file, tmp_path):
    with open(est_file, encoding="utf-8", newline="") as fh:
        header, model_text = _artefact.split_text(fh.read())
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        _artefact.write(fifo, header, model_text)
    assert os.path.exists(fifo) and not os.path.isfile(fifo)
    target, link = tmp_path / "est.txt", str(tmp_path / "link.txt")
    _artefact.write(str(target), header, model_text)
    os.symlink(target, link)
    _artefact.write(link, header, model_text + "\n")
    assert os.path.islink(link) and target.read_text(encoding="utf-8").endswith(model_text + "\n")
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".quorvelin-")]
