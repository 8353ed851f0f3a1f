"""Uplift random forests (KL-divergence classifier and regression forest).

Failures inside a call raise ModelError, whose text is the failure message.
"""

from typing import Any, Dict, List, Optional, Sequence, SupportsFloat, final

_Cell = Optional[SupportsFloat]
_Row = Sequence[_Cell]

class ModelError(Exception):
    """A call that stopped: unknown model name, missing column, unreadable file, ..."""

@final
class CausalModel:
    """A model of one kind, "RandomForestClassifier" or "RandomForestRegressor".

    ``conf`` keys: index, feature, cat, treatment (lists of column names), y, weight
    (column names), n_bin, min_samples_leaf, min_samples_treatment, n_reg,
    max_features, max_depth, n_tree, n_thread, seed (non-negative integers), alpha,
    subsample (numbers), normalization (bool). Missing or ill-typed values take their
    defaults.
    """

    def __new__(cls, name: str, conf: Dict[str, Any]) -> "CausalModel": ...
    def load(self, name: str, path: str) -> "CausalModel":
        """Reads a model file saved by ``save`` into a new model of kind ``name``."""
        ...
    def save(self, path: str) -> None:
        """Writes the model (configuration, bins and trees) as a text file."""
        ...
    def fit(self, headers: Sequence[str], arr: Sequence[_Row]) -> None:
        """Trains ``n_tree`` trees on the table; ``None`` cells are missing values."""
        ...
    def predict(self, headers: Sequence[str], arr: Sequence[_Row]) -> List[List[float]]:
        """Per row, the estimated uplift of each treatment group versus control."""
        ...
