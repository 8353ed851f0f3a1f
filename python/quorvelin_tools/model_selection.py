"""Scoring uplift estimators in scikit-learn's model selection (``GridSearchCV``,
``cross_val_score``).

A score needs the treatment of the held-out rows, which scikit-learn hands to scorers
only through metadata routing::

    import sklearn
    sklearn.set_config(enable_metadata_routing=True)
    search = GridSearchCV(UpliftRandomForestClassifier(), {"max_depth": [3, 5]},
                          scoring=make_uplift_scorer("qini"), cv=3)
    search.fit(X, y, treatment=treatment)

Without routing, pass the whole treatment vector when making the scorer and keep ``y`` a
pandas Series: the scorer then picks each fold's treatment by ``y``'s index.
"""

from __future__ import annotations

import inspect

import numpy as np

from . import metrics

__all__ = ["make_uplift_scorer"]

_METRICS = {"qini": "qini_coefficient", "auuc": "auuc"}


def _call_metric(fn, y, uplift, treatment, **kwargs):
    # By keyword only: the metrics take (y_true, uplift, treatment) in newer releases and
    # (y, treatment, uplift) in older ones.
    names = inspect.signature(fn).parameters
    y_name = "y_true" if "y_true" in names else "y"
    return fn(**{y_name: y, "uplift": uplift, "treatment": treatment}, **kwargs)


class UpliftScorer:
    """``scorer(estimator, X, y, treatment=None)``: the metric of ``estimator.predict(X)``
    against the outcomes ``y`` and the held-out rows' ``treatment``, averaged over the
    treatment groups. Greater is better."""

    def __init__(self, metric: str, treatment=None, **kwargs):
        if metric not in _METRICS:
            raise ValueError(f"unknown uplift metric {metric!r}; choose one of {sorted(_METRICS)}")
        self.metric = metric
        self.treatment = treatment
        self.kwargs = kwargs

    def __call__(self, estimator, X, y, treatment=None, **_):
        if treatment is None:
            treatment = self._fold_treatment(y)
        uplift = estimator.predict(X)
        classes = list(estimator.classes_)
        values = _call_metric(
            getattr(metrics, _METRICS[self.metric]),
            np.asarray(y, dtype=np.float64),
            uplift,
            np.asarray(treatment),
            control=classes[0],
            treatment_values=classes[1:],
            **self.kwargs,
        )
        return float(np.nanmean(np.atleast_1d(values)))

    def _fold_treatment(self, y):
        if self.treatment is None:
            raise ValueError(
                "the scorer got no treatment: enable metadata routing "
                "(sklearn.set_config(enable_metadata_routing=True)) and pass treatment to fit, "
                "or make the scorer with make_uplift_scorer(metric, treatment=...)"
            )
        index = getattr(y, "index", None)
        full = self.treatment
        if index is None or not hasattr(full, "loc"):
            raise ValueError(
                "make_uplift_scorer(treatment=...) picks each fold's rows by the index of y: pass y "
                "and treatment as pandas Series, or use metadata routing"
            )
        return full.loc[index].to_numpy()

    def get_metadata_routing(self):
        from sklearn.utils.metadata_routing import MetadataRequest

        request = MetadataRequest(owner=type(self).__name__)
        request.score.add_request(param="treatment", alias=True)
        return request

    def __repr__(self):
        return f"make_uplift_scorer({self.metric!r})"


def make_uplift_scorer(metric: str = "qini", treatment=None, **kwargs) -> UpliftScorer:
    """A scikit-learn scorer for uplift estimators: ``"qini"`` (normalised Qini
    coefficient) or ``"auuc"``; extra keywords go to the metric."""
    return UpliftScorer(metric, treatment, **kwargs)
