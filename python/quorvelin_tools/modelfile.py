"""Reading the text of a saved model without the extension module.

A model file is a sequence of sections separated by blank lines: the model
configuration (one compact JSON line), one bin section per feature
("Continuous" or "Discrete", the feature name, the bin record), then one section per
tree (the tree's configuration line and its JSON line). This module reads that
text for inspection: configuration, tree statistics and feature importance.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

import numpy as np

__all__ = [
    "ModelFileError",
    "ModelFile",
    "parse_model_text",
    "read_model_file",
]


class ModelFileError(ValueError):
    """The text is not a readable model file."""


@dataclass
class ModelFile:
    config: Dict[str, Any]
    continuous_bins: Dict[str, Dict[str, Any]] = field(default_factory=dict)
    discrete_bins: Dict[str, Dict[str, Any]] = field(default_factory=dict)
    trees: List[Dict[str, Any]] = field(default_factory=list)
    size_bytes: int = 0

    @property
    def feature_names(self) -> List[str]:
        return list(self.config.get("feature_cols", []))

    @property
    def categorical_features(self) -> List[str]:
        cats = set(self.config.get("cat_cols", []))
        return [f for f in self.feature_names if f in cats]

    @property
    def n_groups(self) -> Optional[int]:
        """Number of treatment groups (control included) seen in training, read from
        the first stored node summary; None when no tree has a summary."""
        for tree in self.trees:
            for split in tree.get("split", []):
                if split and split.get("summary") is not None:
                    return len(split["summary"])
        return None

    def split_nodes(self):
        """Yields (tree index, node record) for every node that tests a feature."""
        for t, tree in enumerate(self.trees):
            for split in tree.get("split", []):
                if split and split.get("value") is not None:
                    yield t, split

    def feature_importance(self, normalize: bool = True) -> np.ndarray:
        """Sum of the stored gain importance per feature over all split nodes of all
        trees, in feature order; divided by the total when ``normalize`` is true (all
        zeros stay zeros)."""
        names = self.feature_names
        total = np.zeros(len(names))
        for _, split in self.split_nodes():
            fid = split.get("feature_id")
            value = split.get("gain_importance")
            if value is None or not isinstance(fid, int) or not 0 <= fid < len(names):
                continue
            value = float(value)
            if math.isfinite(value):
                total[fid] += value
        if normalize:
            s = total.sum()
            if s > 0:
                total = total / s
        return total

    def split_counts(self) -> np.ndarray:
        counts = np.zeros(len(self.feature_names), dtype=np.int64)
        for _, split in self.split_nodes():
            fid = split.get("feature_id")
            if isinstance(fid, int) and 0 <= fid < counts.size:
                counts[fid] += 1
        return counts

    def tree_stats(self) -> Dict[str, Any]:
        """Node, leaf and depth statistics over the trees."""
        nodes, leaves, depths = [], [], []
        for tree in self.trees:
            level = tree.get("level", [])
            left = tree.get("left_children", [])
            nodes.append(len(level))
            leaves.append(sum(1 for c in left if c is None))
            depths.append(max(level) if level else 0)

        def summary(v):
            if not v:
                return {"min": 0, "mean": 0.0, "max": 0}
            a = np.asarray(v, dtype=np.float64)
            return {"min": int(a.min()), "mean": float(a.mean()), "max": int(a.max())}

        return {
            "n_trees": len(self.trees),
            "nodes": summary(nodes),
            "leaves": summary(leaves),
            "depth": summary(depths),
            "total_nodes": int(sum(nodes)),
        }


def _json_line(text: str, what: str):
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise ModelFileError(f"{what}: not valid JSON: {exc.msg} (column {exc.colno})") from None


def parse_model_text(text: str) -> ModelFile:
    parts = text.split("\n\n")
    config = _json_line(parts[0], "model configuration")
    if not isinstance(config, dict) or "feature_cols" not in config or "n_tree" not in config:
        raise ModelFileError("model configuration: not a model configuration record")
    features = config.get("feature_cols") or []
    n_tree = config.get("n_tree")
    if not isinstance(features, list) or not isinstance(n_tree, int) or n_tree < 0:
        raise ModelFileError("model configuration: feature_cols or n_tree malformed")
    model = ModelFile(config=config, size_bytes=len(text.encode("utf-8")))
    n_feat = len(features)
    if len(parts) < 1 + n_feat + n_tree:
        raise ModelFileError(
            f"expected {n_feat} bin sections and {n_tree} tree sections, "
            f"found only {max(len(parts) - 1, 0)} sections"
        )
    for i in range(1, 1 + n_feat):
        lines = parts[i].split("\n")
        if len(lines) < 3:
            raise ModelFileError(f"bin section {i}: expected 3 lines, found {len(lines)}")
        kind, name = lines[0], lines[1]
        record = _json_line(lines[2], f"bin section {i} ({name})")
        if kind == "Continuous":
            model.continuous_bins[name] = record
        elif kind == "Discrete":
            model.discrete_bins[name] = record
        else:
            raise ModelFileError(f"bin section {i}: bin_type {kind} unknown")
    for t in range(n_tree):
        lines = parts[1 + n_feat + t].split("\n")
        if len(lines) < 2:
            raise ModelFileError(f"tree section {t}: expected 2 lines, found {len(lines)}")
        tree = _json_line(lines[1], f"tree {t}")
        if not isinstance(tree, dict) or not isinstance(tree.get("level"), list):
            raise ModelFileError(f"tree {t}: not a tree record")
        model.trees.append(tree)
    return model


def read_model_file(path) -> ModelFile:
    """Reads and parses a model file; OSError when it cannot be read, ModelFileError
    when its content is not a model."""
    with open(path, "rb") as fh:
        raw = fh.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ModelFileError(f"{path}: not UTF-8 text") from None
    return parse_model_text(text)
