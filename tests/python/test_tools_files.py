"""Model-file reading, table files and plotting helpers (no extension module needed)."""

import importlib.util
import json
import sys

import numpy as np
import pytest

from quorvelin_tools import metrics, plotting
from quorvelin_tools.modelfile import ModelFileError, parse_model_text, split_model_text
from quorvelin_tools.tables import TableError, read_table, write_table

CONFIG = {
    "index_cols": [], "feature_cols": ["age", "city"], "cat_cols": ["city"], "treatment_cols": ["t"],
    "y_col": "y", "weight_col": "", "n_bin": 30, "min_samples_leaf": 100, "min_samples_treatment": 10,
    "n_reg": 10, "alpha": 0.9, "normalization": True, "max_features": 10, "max_depth": 6, "n_tree": 2,
    "subsample": 1.0, "n_thread": 1, "seed": None,
}


def _split(node, fid, value, imp, summary=((0.1,), (0.3,))):
    return {"node_id": node, "feature_id": fid, "treatment_id": 0, "iscat": fid == 1,
            "value": value, "gain": imp, "gain_importance": imp, "summary": [list(r) for r in summary]}


# Tree 0: root splits on city (importance 2.0), its left child on age (1.0), and one
# leaf keeps a candidate record without a value (no split, must not count).
TREE0 = {
    "level": [0, 1, 1, 2, 2],
    "left_children": [1, 3, None, None, None],
    "right_children": [2, 4, None, None, None],
    "split": [_split(0, 1, [2], 2.0), _split(1, 0, [5], 1.0), _split(2, 0, None, 0.0),
              _split(3, 0, None, 0.0), _split(4, 0, None, 0.0)],
}
# Tree 1: a single root leaf.
TREE1 = {"level": [0], "left_children": [None], "right_children": [None], "split": [_split(0, 0, None, 0.0)]}


def model_text(config=CONFIG, trees=(TREE0, TREE1), bins=None):
    c = lambda o: json.dumps(o, separators=(",", ":"))  # noqa: E731
    bins = bins if bins is not None else [
        ("Continuous", "age", {"n_bin": 3, "threshold": [25.5, 40.0]}),
        ("Discrete", "city", {"n_bin": 3, "mapping": [0.0, 1.0, 2.0]}),
    ]
    text = c(config) + "\n\n"
    for kind, name, rec in bins:
        text += f"{kind}\n{name}\n{c(rec)}\n\n"
    for t in trees:
        text += c(config) + "\n" + c(t) + "\n\n"
    return text


def test_parse_model_text_statistics_and_importance():
    mf = parse_model_text(model_text())
    assert mf.feature_names == ["age", "city"] and mf.categorical_features == ["city"]
    assert mf.continuous_bins["age"]["threshold"] == [25.5, 40.0]
    assert mf.n_groups == 2
    np.testing.assert_allclose(mf.feature_importance(normalize=False), [1.0, 2.0])
    np.testing.assert_allclose(mf.feature_importance(), [1 / 3, 2 / 3])
    np.testing.assert_array_equal(mf.split_counts(), [1, 1])
    st = mf.tree_stats()
    assert st["n_trees"] == 2 and st["total_nodes"] == 6
    assert st["depth"] == {"min": 0, "mean": 1.0, "max": 2}
    assert st["leaves"] == {"min": 1, "mean": 2.0, "max": 3}


def test_bin_sections_in_any_order_and_nan_importance_ignored():
    # Without checks (the module's own text in any state) the bin sections are told from the
    # trees by their first line, categorical ones included.
    loose = split_model_text(model_text(), strict=False)
    assert [b.split("\n")[1] for b in loose.bins] == ["age", "city"] and len(loose.trees) == 2
    tree = json.loads(json.dumps(TREE0))
    tree["split"][1]["gain_importance"] = None  # a NaN written as null
    text = model_text(trees=(tree, TREE1), bins=[
        ("Discrete", "city", {"n_bin": 3, "mapping": [0.0, 1.0, 2.0]}),
        ("Continuous", "age", {"n_bin": 3, "threshold": [25.5, 40.0]}),
    ])
    mf = parse_model_text(text)
    np.testing.assert_allclose(mf.feature_importance(normalize=False), [0.0, 2.0])
    one_leaf = parse_model_text(model_text(config=dict(CONFIG, n_tree=1), trees=(TREE1,)))
    np.testing.assert_array_equal(one_leaf.feature_importance(), [0.0, 0.0])  # zero stays zero


@pytest.mark.parametrize(
    "text, message",
    [
        ("garbage\n\n", "not valid JSON"),
        ('{"a":1}\n\n', "not a model configuration"),
        (model_text().rsplit("\n\n", 2)[0], "found only"),
        (model_text().rsplit("\n\n", 2)[0] + "\n\n", "tree section 1: expected 2 lines"),
        (model_text(bins=[("continuous", "age", {}), ("Discrete", "city", {})]), "bin_type continuous unknown"),
        (model_text(trees=({"nolevel": 1}, TREE1)), "not a tree record"),
    ],
    ids=["garbage", "not-config", "too-few-sections", "empty-tree-section", "bad-bin-type", "bad-tree"],
)
def test_parse_model_text_errors(text, message):
    with pytest.raises(ModelFileError, match=message):
        parse_model_text(text)


def test_csv_round_trip_and_missing_markers(tmp_path):
    p = tmp_path / "t.csv"
    p.write_text("a, b ,c,d\n1.5, x ,NA,\n-2e3,y,,7\nnan,,NULL,8\n")
    t = read_table(str(p))
    assert list(t) == ["a", "b", "c", "d"]
    np.testing.assert_array_equal(t["a"], [1.5, -2000.0, np.nan])
    assert list(t["b"]) == ["x", "y", None]
    assert t["c"].dtype == np.float64 and np.isnan(t["c"]).all()
    np.testing.assert_array_equal(t["d"], [np.nan, 7.0, 8.0])
    for suffix in (".csv", ".parquet") if importlib.util.find_spec("pyarrow") else (".csv",):
        out = tmp_path / ("o" + suffix)
        write_table(str(out), {"v": np.array([0.1, 3.0, np.nan, 1 / 3]), "s": np.array(["a", None, "c", "d"], dtype=object),
                               "p": np.array([np.float32(0.1)] * 4, dtype=np.float64)}, single_precision=["p"])
        back = read_table(str(out))
        np.testing.assert_array_equal(back["v"], [0.1, 3.0, np.nan, 1 / 3])  # exact round trip
        assert list(back["s"]) == ["a", None, "c", "d"]
    assert (tmp_path / "o.csv").read_text().splitlines()[1] == "0.1,a,0.1"


@pytest.mark.parametrize(
    "content, message",
    [("", "empty file"), ("a,a\n1,2\n", "occurs twice"), ("a,b\n1,2,3\n", "line 2 has 3 fields"),
     ("a,,b\n1,2,3\n", "header field is empty"), (None, "file not found")],
)
def test_malformed_tables(tmp_path, content, message):
    p = tmp_path / "t.csv"
    if content is not None:
        p.write_text(content)
    with pytest.raises(TableError, match=message):
        read_table(str(p))


def _plot_data():
    rng = np.random.default_rng(0)
    t = rng.integers(0, 3, 300)
    y = rng.integers(0, 2, 300)
    return y, t, rng.random((300, 2))


def test_plot_helpers_draw_one_curve_per_treatment(tmp_path):
    pytest.importorskip("matplotlib")
    y, t, s = _plot_data()
    ax = plotting.plot_qini_curve(y, s, t, random=False)
    labels = [line.get_label() for line in ax.get_lines() if not line.get_label().startswith("_")]
    assert labels == ["treatment 1", "treatment 2"]
    curve = metrics.qini_curve(y, s, t)[1]
    np.testing.assert_allclose(ax.get_lines()[1].get_ydata(), curve.y)
    ax2 = plotting.plot_uplift_curve(y, s[:, 0], t, treatment_values=1, perfect=True)
    assert "treatment 1: perfect ranking" in [line.get_label() for line in ax2.get_lines()]
    # The legend names every reference line of every group.
    ax3 = plotting.plot_qini_curve(y, s, t, perfect=True, reference=s[::-1])
    names = [text.get_text() for text in ax3.get_legend().get_texts()]
    assert all(g + suffix in names for g in ("treatment 1", "treatment 2")
               for suffix in ("", ": random ranking", ": perfect ranking", ": true uplift"))
    png = plotting.save_qini_png(tmp_path / "q.png", [{"y_true": y, "treatment": t, "uplift": s, "reference": s[::-1]}])
    assert open(png, "rb").read(4) == b"\x89PNG"


def test_uplift_by_percentile_chart_has_one_bar_per_group_and_decile(tmp_path):
    pytest.importorskip("matplotlib")
    y, t, s = _plot_data()
    ax = plotting.plot_uplift_by_percentile(y, s, t)
    assert len(ax.patches) == 2 * 10
    tab = metrics.uplift_by_percentile(y, s, t)[0]
    heights = [p.get_height() for p in ax.patches[:10]]
    np.testing.assert_allclose(heights, np.nan_to_num(tab.uplift))
    png = plotting.save_uplift_by_percentile_png(tmp_path / "d.png", [{"y_true": y, "treatment": t, "uplift": s}])
    assert open(png, "rb").read(4) == b"\x89PNG"


def test_plot_without_matplotlib_is_a_clear_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    assert plotting.have_matplotlib() is False
    y, t, s = _plot_data()
    with pytest.raises(ImportError, match="pip install matplotlib"):
        plotting.plot_qini_curve(y, s, t)
