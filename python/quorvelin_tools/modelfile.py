"""Reading the text of a saved model without the extension module.

A model file is a sequence of sections separated by blank lines: the model
configuration (one compact JSON line), one bin section per feature
("Continuous" or "Discrete", the feature name, the bin record), then one section per
tree (the tree's configuration line and its JSON line). This module is the one
reader of that text on the Python side: ``split_model_text`` cuts it into its
sections (strictly, as ``load`` reads a file, or as the module's own text in any
state), ``parse_model_text`` reads it for inspection (configuration, tree statistics,
feature importance), and ``to_text``/``from_text`` move a ``CausalModel`` to and from
its text without a file.
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
    "ModelSections",
    "from_text",
    "parse_model_text",
    "read_model_file",
    "split_model_text",
    "to_text",
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


@dataclass
class ModelSections:
    """A model text cut into its sections, each kept exactly as stored."""

    config: str  # the configuration line
    bins: List[str] = field(default_factory=list)  # "Continuous"/"Discrete", name, record
    trees: List[str] = field(default_factory=list)  # configuration line, tree line

    @property
    def tree_lines(self) -> List[str]:
        """The tree JSON line of every tree section."""
        return [t.split("\n", 2)[1] for t in self.trees]

    def text(self) -> str:
        """The model text again: every section followed by a blank line."""
        return "".join(part + "\n\n" for part in [self.config, *self.bins, *self.trees])


def _is_bin_section(part: str) -> bool:
    return part.startswith(("Continuous\n", "Discrete\n"))


def split_model_text(text: str, strict: bool = True) -> ModelSections:
    """The sections of a model text. Strict (a saved file): the configuration, one bin
    section per feature, then ``n_tree`` tree sections, every section checked for its
    lines. Not strict (the module's own text in any state, untrained or partly binned
    included): the bin sections present, then every non-empty section after them."""
    parts = text.split("\n\n")
    if not strict:
        sections = ModelSections(config=parts[0])
        i = 1
        while i < len(parts) and _is_bin_section(parts[i]):
            sections.bins.append(parts[i])
            i += 1
        sections.trees = [p for p in parts[i:] if p]
        return sections
    config = _json_line(parts[0], "model configuration")
    if not isinstance(config, dict) or "feature_cols" not in config or "n_tree" not in config:
        raise ModelFileError("model configuration: not a model configuration record")
    features = config.get("feature_cols") or []
    n_tree = config.get("n_tree")
    if not isinstance(features, list) or not isinstance(n_tree, int) or n_tree < 0:
        raise ModelFileError("model configuration: feature_cols or n_tree malformed")
    n_feat = len(features)
    if len(parts) < 1 + n_feat + n_tree:
        raise ModelFileError(
            f"expected {n_feat} bin sections and {n_tree} tree sections, "
            f"found only {max(len(parts) - 1, 0)} sections"
        )
    sections = ModelSections(config=parts[0], bins=parts[1 : 1 + n_feat], trees=parts[1 + n_feat : 1 + n_feat + n_tree])
    for i, part in enumerate(sections.bins, start=1):
        lines = part.split("\n")
        if len(lines) < 3:
            raise ModelFileError(f"bin section {i}: expected 3 lines, found {len(lines)}")
        if lines[0] not in ("Continuous", "Discrete"):
            raise ModelFileError(f"bin section {i}: bin_type {lines[0]} unknown")
    for t, part in enumerate(sections.trees):
        lines = part.split("\n")
        if len(lines) < 2:
            raise ModelFileError(f"tree section {t}: expected 2 lines, found {len(lines)}")
    return sections


def parse_model_text(text: str) -> ModelFile:
    # A saved estimator is its header line followed by the model text.
    if text.startswith("#quorvelin-estimator "):
        text = text.partition("\n")[2]
    sections = split_model_text(text, strict=True)
    model = ModelFile(config=json.loads(sections.config), size_bytes=len(text.encode("utf-8")))
    for i, part in enumerate(sections.bins, start=1):
        kind, name, record_line = part.split("\n")[:3]
        record = _json_line(record_line, f"bin section {i} ({name})")
        if kind == "Continuous":
            model.continuous_bins[name] = record
        else:
            model.discrete_bins[name] = record
    for t, line in enumerate(sections.tree_lines):
        tree = _json_line(line, f"tree {t}")
        if not isinstance(tree, dict) or not isinstance(tree.get("level"), list):
            raise ModelFileError(f"tree {t}: not a tree record")
        model.trees.append(tree)
    return model


def to_text(model) -> str:
    """The text of a ``quorvelin.CausalModel`` in any state: what ``save`` writes for a
    trained model (its pickle state, so no file is needed)."""
    return model.__reduce__()[2]


def from_text(name: str, text: str):
    """A ``quorvelin.CausalModel`` of kind ``name`` rebuilt from ``to_text`` output (or a
    model file's text)."""
    import quorvelin

    model = quorvelin.CausalModel(name, {})
    model.__setstate__(text)
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
