"""quorvelin_tools: the main interface to the ``quorvelin`` uplift forests.

* :mod:`quorvelin_tools.datasets` - synthetic uplift data with known true effects;
* :mod:`quorvelin_tools.estimators` - scikit-learn style uplift forests over NumPy
  arrays and pandas DataFrames;
* :mod:`quorvelin_tools.model_selection` - uplift scorers for ``GridSearchCV``;
* :mod:`quorvelin_tools.metrics` - Qini and uplift curves, Qini coefficient, AUUC,
  uplift at top-k and by percentile, bootstrap intervals;
* :mod:`quorvelin_tools.plotting` - matplotlib helpers (optional dependency);
* :mod:`quorvelin_tools.modelfile` - reading saved model files without the extension;
* the ``quorvelin`` console command (:mod:`quorvelin_tools.cli`).

NumPy and scikit-learn are required (pandas for DataFrames, matplotlib for plots); the
command line also reads tables with pyarrow and pandas. The extension module is
imported on first use, so data generation, metrics and model-file inspection work
without it.
"""

from .datasets import UpliftDataset, make_uplift_classification, make_uplift_regression
from .estimators import (
    QuorvelinError,
    UpliftRandomForestClassifier,
    UpliftRandomForestRegressor,
    load_estimator,
)
from .metrics import (
    PercentileTable,
    UpliftCurve,
    auuc,
    bootstrap_ci,
    perfect_qini_curve,
    perfect_uplift_curve,
    qini_coefficient,
    qini_curve,
    uplift_at_k,
    uplift_by_percentile,
    uplift_curve,
    uplift_report,
    weighted_average_uplift,
)
from .model_selection import make_uplift_scorer
from .modelfile import ModelFile, ModelFileError, parse_model_text, read_model_file

__version__ = "0.1.0"

__all__ = [
    "UpliftDataset",
    "make_uplift_classification",
    "make_uplift_regression",
    "QuorvelinError",
    "UpliftRandomForestClassifier",
    "UpliftRandomForestRegressor",
    "load_estimator",
    "PercentileTable",
    "UpliftCurve",
    "auuc",
    "bootstrap_ci",
    "perfect_qini_curve",
    "perfect_uplift_curve",
    "qini_coefficient",
    "qini_curve",
    "uplift_at_k",
    "uplift_by_percentile",
    "uplift_curve",
    "uplift_report",
    "weighted_average_uplift",
    "make_uplift_scorer",
    "ModelFile",
    "ModelFileError",
    "parse_model_text",
    "read_model_file",
]
