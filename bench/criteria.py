#!/usr/bin/env python3
"""Split criteria and honest estimation on synthetic tables with a known uplift.

From the repository root, after the module is installed (`pip install .`):

    python3 bench/criteria.py              # about a minute on one core
    python3 bench/criteria.py --rows 20000 --trees 30

Tables
    quorvelin_tools.datasets: make_uplift_classification (binary outcome) and
    make_uplift_regression (continuous outcome), with 1 and 2 treatment groups besides the
    control (2 and 3 groups), fixed seeds; each table is split 70/30 into a training and a
    held-out part.

Forests
    n_tree --trees, max_depth --depth, min_samples_leaf --leaf, min_samples_treatment 10,
    n_reg 10, max_features 10, seed 7, one thread. The classifier is trained with every
    evaluationFunction (KL, ED, Chi, CTS, DDP), the regressor with regression_criterion
    first_arm (the specified one) and all_arms, each without and with honesty
    (estimation_sample_size 0.5).

Measured on the held-out part, averaged over the treatment groups:
    corr      Pearson correlation between estimated and true uplift
    mse       mean squared error of the estimated uplift against the true one
    qini      normalised Qini coefficient on the observed outcomes
    fit s     wall time of fit
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from quorvelin_tools import (  # noqa: E402
    UpliftRandomForestClassifier,
    UpliftRandomForestRegressor,
    make_uplift_classification,
    make_uplift_regression,
    qini_coefficient,
)

CLASSIFIER_CRITERIA = ["KL", "ED", "Chi", "CTS", "DDP"]
REGRESSOR_CRITERIA = ["first_arm", "all_arms"]


def evaluate(estimator, train, test):
    start = time.perf_counter()
    estimator.fit(train.X, train.y, train.treatment)
    fit_s = time.perf_counter() - start
    pred = np.nan_to_num(estimator.predict(test.X))
    truth = test.true_uplift
    corr = np.mean([np.corrcoef(pred[:, k], truth[:, k])[0, 1] for k in range(truth.shape[1])])
    mse = float(np.mean((pred - truth) ** 2))
    qini = float(np.nanmean(np.atleast_1d(qini_coefficient(test.y, test.treatment, pred))))
    return corr, mse, qini, fit_s


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=12000)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--leaf", type=int, default=20)
    args = parser.parse_args()

    common = dict(
        n_estimators=args.trees, max_depth=args.depth, min_samples_leaf=args.leaf,
        min_samples_treatment=10, random_state=7, n_jobs=1,
    )
    print(f"rows {args.rows} (70% train, 30% held out), trees {args.trees}, depth {args.depth}, "
          f"min_samples_leaf {args.leaf}")
    print(f"{'outcome':<8} {'groups':>6} {'criterion':<10} {'honest':<6} {'corr':>7} {'mse':>9} "
          f"{'qini':>7} {'fit s':>7}")
    for outcome, make, cls, criteria, key in (
        ("binary", make_uplift_classification, UpliftRandomForestClassifier, CLASSIFIER_CRITERIA,
         "evaluationFunction"),
        ("cont.", make_uplift_regression, UpliftRandomForestRegressor, REGRESSOR_CRITERIA,
         "regression_criterion"),
    ):
        for n_treatments in (1, 2):
            data = make(n_rows=args.rows, n_treatments=n_treatments, seed=100 + n_treatments)
            train, test = data.split(0.3, seed=1)
            for criterion in criteria:
                for honesty in (False, True):
                    est = cls(**common, **{key: criterion}, honesty=honesty)
                    corr, mse, qini, fit_s = evaluate(est, train, test)
                    print(f"{outcome:<8} {n_treatments + 1:>6} {criterion:<10} {str(honesty):<6} "
                          f"{corr:7.3f} {mse:9.5f} {qini:7.3f} {fit_s:7.2f}", flush=True)


if __name__ == "__main__":
    main()
