"""Hostile inputs to the command and the estimator files: one line and exit 2, never a traceback."""

import contextlib
import io
import json
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "python")))

from quorvelin_tools import UpliftRandomForestClassifier, _artefact, cli, datasets  # noqa: E402
from quorvelin_tools.estimators import load_estimator  # noqa: E402


def _edit_header(path, out, edit):
    """Copies a saved estimator to `out` with its one-line header changed by `edit`."""
    with open(path, encoding="utf-8", newline="") as fh:
        header, model_text = _artefact.split_text(fh.read())
    edit(header)
    _artefact.write(out, header, model_text)
    return out


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    table, model = str(d / "d.csv"), str(d / "m.txt")
    assert cli.main(["generate", "--rows", "600", "-q", table]) == 0
    assert cli.main(["train", table, "-o", model, "--treatment", "treatment", "-y", "y", "--cat", "c0,c1",
                     "--n-tree", "2", "--min-samples-leaf", "20", "-q"]) == 0
    return d, table, model


def _edit_json_line(path, out, line_no, edit):
    """Copies the model text of `path` to the plain model file `out`, one JSON line edited."""
    with open(path, encoding="utf-8", newline="") as fh:
        parts = _artefact.split_text(fh.read())[1].split("\n\n")
    lines = parts[line_no[0]].split("\n")
    record = json.loads(lines[line_no[1]])
    edit(record)
    lines[line_no[1]] = json.dumps(record)
    parts[line_no[0]] = "\n".join(lines)
    with open(out, "w") as fh:
        fh.write("\n\n".join(parts))
    return out


def _conf_with_list_outcome(d, table, model):
    conf = d / "conf.json"
    conf.write_text(json.dumps({"y": ["y"], "treatment": "treatment"}))
    return ["train", table, "-o", str(d / "out.txt"), "--conf", str(conf), "-q"]


def _predict_to_full_disk(d, table, model):
    return ["predict", model, table, "-o", "/dev/full", "-q"]


def _inspect_wrong_cat_cols(d, table, model):
    bad = _edit_json_line(model, str(d / "bad1.txt"), (0, 0), lambda r: r.update(cat_cols=1e300))
    return ["inspect", bad]


def _inspect_wrong_children(d, table, model):
    bad = _edit_json_line(model, str(d / "bad2.txt"), (-2, 1), lambda r: r.update(left_children=7))
    return ["inspect", bad]


def _meta_with_extra_groups(d, table, model):
    target = _edit_header(model, str(d / "extra.txt"), lambda h: h.update(classes=h["classes"] + [7, 8]))
    return ["predict", target, table, "-o", str(d / "p.csv"), "-q"]


@pytest.mark.parametrize(
    "make_args",
    [_conf_with_list_outcome, _predict_to_full_disk, _inspect_wrong_cat_cols, _inspect_wrong_children,
     _meta_with_extra_groups],
)
def test_bad_input_ends_in_one_line_and_exit_2(files, make_args):
    args = make_args(*files)
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        code = cli.main(args)
    assert code == 2
    lines = [line for line in err.getvalue().splitlines() if line.startswith("quorvelin ")]
    assert len(lines) == 1 and "error:" in lines[0], err.getvalue()


def _fitted(tmp_path):
    data = datasets.make_uplift_classification(n_rows=400, seed=1)
    est = UpliftRandomForestClassifier(n_estimators=2, min_samples_leaf=20)
    est.fit(data.X, y=data.y, treatment=data.treatment)
    path = str(tmp_path / "est.txt")
    est.save(path)
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
def test_estimator_metadata_is_validated_on_load(tmp_path, edit, message):
    path = _edit_header(_fitted(tmp_path), str(tmp_path / "edited.txt"), edit)
    with pytest.raises(ValueError, match=message):
        load_estimator(path)


@pytest.mark.parametrize("bad", [np.inf, np.nan, 1e300])
def test_sample_weight_must_be_finite(bad):
    data = datasets.make_uplift_classification(n_rows=200, seed=2)
    weight = np.ones(200)
    weight[5] = bad
    with pytest.raises(ValueError, match="sample_weight"):
        UpliftRandomForestClassifier(n_estimators=1).fit(data.X, y=data.y, treatment=data.treatment, sample_weight=weight)


def test_estimator_save_keeps_special_files_and_links(tmp_path):
    path = _fitted(tmp_path)
    with open(path, encoding="utf-8", newline="") as fh:
        header, model_text = _artefact.split_text(fh.read())
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        _artefact.write(fifo, header, model_text)
    assert os.path.exists(fifo) and not os.path.isfile(fifo)
    link = str(tmp_path / "link.txt")
    os.symlink(path, link)
    _artefact.write(link, header, model_text + "\n")
    assert os.path.islink(link)
    with open(path, encoding="utf-8", newline="") as fh:
        assert fh.read().endswith(model_text + "\n")
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".quorvelin-")]
