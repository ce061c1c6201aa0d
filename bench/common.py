"""Shared pieces of the benchmarks: synthetic data with fixed seeds, timing, metrics."""

import statistics
import time

import numpy as np


def synthetic(task, n_train, n_test, n_features=28, seed=0):
    """Train/test split of make_classification / make_regression data with a fixed seed."""
    from sklearn.datasets import make_classification, make_regression

    n = n_train + n_test
    if task == "classification":
        x, y = make_classification(
            n_samples=n, n_features=n_features, n_informative=n_features // 2,
            n_redundant=n_features // 4, random_state=seed,
        )
    else:
        x, y = make_regression(
            n_samples=n, n_features=n_features, n_informative=n_features // 2, noise=10.0,
            random_state=seed,
        )
    x = np.ascontiguousarray(x, dtype=np.float64)
    return x[:n_train], y[:n_train], x[n_train:], y[n_train:]


def timed(function, repeats=3, warm_up=True):
    """Median wall time of `repeats` calls (after one warm-up call), and the last result."""
    result = function() if warm_up else None
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def metric(task, y_true, y_pred):
    """Accuracy for classification, R² for regression."""
    from sklearn.metrics import accuracy_score, r2_score

    if task == "classification":
        return accuracy_score(y_true, y_pred)
    return r2_score(y_true, y_pred)


def metric_name(task):
    return "accuracy" if task == "classification" else "R²"
