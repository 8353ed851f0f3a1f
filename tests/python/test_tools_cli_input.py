"""The command line on the tables and mistakes people bring: delimiters, byte-order
marks, stray tokens, misnamed columns, wrong files, bad settings."""

import json
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__)))

from test_tools_cli import PYTHON_DIR, needs_module, read_csv, run  # noqa: E402

sys.path.insert(0, PYTHON_DIR)

from quorvelin_tools import datasets  # noqa: E402
from quorvelin_tools.cli import build_parser  # noqa: E402
from quorvelin_tools.tables import write_table  # noqa: E402


def _table_text(n=400, sep=",", bom=False, stray=None):
    """An id column, two features, treatment and outcome, with a learnable effect."""
    rng = np.random.default_rng(0)
    lines = [sep.join(["customer_id", "age", "city", "arm", "bought"])]
    for i in range(n):
        age = rng.integers(18, 80)
        arm = ["none", "mail"][i % 2]
        bought = int(rng.random() < 0.2 + 0.3 * (arm == "mail") * (age > 50))
        lines.append(sep.join([str(1000 + i), str(age), "ABC"[i % 3], arm, str(bought)]))
    if stray is not None:
        row, token = stray
        cells = lines[row].split(sep)
        cells[1] = token
        lines[row] = sep.join(cells)
    return ("\ufeff" if bom else "") + "\n".join(lines) + "\n"


TRAIN = ["--treatment", "arm", "--outcome", "bought", "--control", "none", "--n-tree", 3,
         "--min-samples-leaf", 20, "--seed", 1, "-q"]


@needs_module
@pytest.mark.parametrize(
    "name, text, extra",
    [
        ("bom.csv", _table_text(bom=True), []),
        ("semi.csv", _table_text(sep=";"), []),
        ("tabs.tsv", _table_text(sep="\t"), []),
        ("pipes.txt", _table_text(sep="|"), ["--sep", "|"]),
    ],
)
def test_train_reads_bom_and_delimiters(tmp_path, name, text, extra):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    model = tmp_path / "m.qvl"
    r = run("train", path, *TRAIN, "--ignore", "customer_id", "-o", model, *extra)
    assert r.returncode == 0, r.stderr
    info = json.loads(run("inspect", model, "--json").stdout)
    assert info["configuration"]["feature_cols"] == ["age", "city"]
    assert info["configuration"]["cat_cols"] == ["city"]


@needs_module
@pytest.mark.parametrize(
    "flags, message",
    [
        (["--ignore", "customer"], "--ignore column(s) 'customer' not found; the columns are: customer_id, age, city, arm, bought"),
        (["--features", "age,town"], "--features column(s) 'town' not found; the columns are: customer_id"),
        (["--cat", "zip"], "--cat column(s) 'zip' not found; the columns are: customer_id"),
        (["--ignore", "customer_id", "--cat", "arm"], "--cat names 'arm', which is not among the features"),
        (["--control", "control"], "--control 'control' is not a label of the treatment column 'arm'; labels found: mail, none"),
        (["--kind", "tree"], "--kind 'tree' is not a model kind"),
        (["--n-tree", "0"], "argument --n-tree: must be at least 1"),
        (["--threads", "0"], "argument --threads: must be at least 1"),
        (["--n-bin", "300"], "argument --n-bin: must be at most 254"),
    ],
)
def test_train_names_the_flag_and_the_columns(tmp_path, flags, message):
    path = tmp_path / "t.csv"
    path.write_text(_table_text(), encoding="utf-8")
    r = run("train", path, *TRAIN, *flags, "-o", tmp_path / "m.qvl")
    assert r.returncode == 2, r.stdout
    assert message in r.stderr
    assert "Traceback" not in r.stderr


@needs_module
def test_stray_token_is_named_with_its_row_and_na_fixes_it(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text(_table_text(stray=(17, "?")), encoding="utf-8")
    r = run("train", path, *TRAIN, "--ignore", "customer_id", "-o", tmp_path / "m.qvl")
    assert r.returncode == 2
    assert "column 'age' is numeric except for '?' in row 17" in r.stderr
    assert "--na '?'" in r.stderr
    r = run("train", path, *TRAIN, "--ignore", "customer_id", "--na", "?", "-o", tmp_path / "m.qvl")
    assert r.returncode == 0, r.stderr
    info = json.loads(run("inspect", tmp_path / "m.qvl", "--json").stdout)
    assert info["configuration"]["cat_cols"] == ["city"]  # age stayed numeric


def test_conf_values_are_checked_by_type(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text(_table_text(), encoding="utf-8")
    for conf, message in (({"y": ["bought"]}, "'y' must be one column name"),
                          ({"n_tree": 0}, "'n_tree' (as --n-tree) must be at least 1"),
                          ({"n_thread": "two"}, "'n_thread' (as --threads) must be an integer")):
        (tmp_path / "c.json").write_text(json.dumps(conf))
        r = run("train", path, "--treatment", "arm", "--conf", tmp_path / "c.json")
        assert r.returncode == 2 and message in r.stderr, r.stderr


def _spoilt(tmp_path):
    path = tmp_path / "spoilt.csv"
    path.write_text(_table_text(stray=(5, "n/a?")), encoding="utf-8")
    return path


@needs_module
def test_model_mistakes_end_in_one_line(tmp_path):
    table = tmp_path / "t.csv"
    table.write_text(_table_text(), encoding="utf-8")
    model = tmp_path / "m.qvl"
    assert run("train", table, *TRAIN, "--ignore", "customer_id", "-o", model).returncode == 0
    cases = [
        (["predict", table, model], "is not a quorvelin model file (it looks like a table"),
        (["inspect", table], "is not a quorvelin model file"),
        (["predict", model, table, "-o", "/dev/full"], "No space left on device"),
        (["predict", model, table, "-o", tmp_path / "p.xlsx"], "cannot write a .xlsx file"),
        (["train", table, *TRAIN, "-o", "/dev/full"], "not a regular file"),
        (["predict", model, _spoilt(tmp_path), "-o", tmp_path / "p.csv"], "numeric except for 'n/a?' in row 5"),
    ]
    damaged = tmp_path / "damaged.qvl"
    damaged.write_text(model.read_text()[:2000])
    cases += [(["inspect", damaged], "not a readable model file")] * 2
    header, _, model_text = model.read_text().partition("\n")
    magic, _, meta = header.partition(" ")
    meta = json.loads(meta)
    meta["classes"] = meta["classes"] + ["extra", "more"]  # a header that claims more groups
    liar = tmp_path / "liar.qvl"
    liar.write_text(f"{magic} {json.dumps(meta)}\n{model_text}")
    cases.append((["predict", liar, table, "-o", tmp_path / "p.csv"], "error:"))
    for args, message in cases:
        r = run(*args, "-q") if args[0] in ("predict", "train") else run(*args)
        assert r.returncode == 2, (args, r.stdout, r.stderr)
        lines = r.stderr.strip().splitlines()
        assert len(lines) == 1 and message in lines[0], (args, r.stderr)


def test_generate_refuses_a_spreadsheet_name(tmp_path):
    r = run("generate", tmp_path / "g.xlsx", "--rows", 50, "-q")
    assert r.returncode == 2 and "cannot write a .xlsx file" in r.stderr
    assert not (tmp_path / "g.xlsx").exists()


@needs_module
@pytest.mark.parametrize("suffix", [".parquet", ".feather"])
def test_columnar_files_train_and_predict(tmp_path, suffix):
    path = tmp_path / ("g" + suffix)
    r = run("generate", path, "--rows", 600, "--seed", 3, "--treatments", 1, "-q")
    assert r.returncode == 0, r.stderr
    model = tmp_path / "m.qvl"
    r = run("train", path, "--treatment", "treatment", "-y", "y", "--n-tree", 2, "--min-samples-leaf", 20,
            "-o", model, "-q")
    assert r.returncode == 0, r.stderr
    r = run("predict", model, path, "-o", tmp_path / ("p" + suffix), "-q")
    assert r.returncode == 0, r.stderr


def test_every_option_has_help_with_its_default():
    parser = build_parser()
    sub = next(a for a in parser._actions if a.dest == "command")
    for name, sp in sub.choices.items():
        for action in sp._actions:
            if action.dest == "help" or not action.option_strings:
                continue
            assert action.help and ("default" in action.help or "required" in action.help), (name, action.option_strings)
