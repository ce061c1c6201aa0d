"""Shared pieces of the suite: the data every library sees, memory readings and metrics.

The parent process writes every data set once to .npy files; each worker loads the same files,
so all libraries train and predict on identical arrays.
"""

import os

import numpy as np

N_FEATURES = 28
SYNTHETIC_SEEDS = {"classification": 11, "regression": 12}
FOLD_SEED = 5


def synthetic(task, n_train, n_test, n_features=N_FEATURES, seed=0):
    """Train/test split of make_classification / make_regression data with a fixed seed."""
    from sklearn.datasets import make_classification, make_regression

    n = n_train + n_test
    if task == "classification":
        x, y = make_classification(
            n_samples=n, n_features=n_features, n_informative=n_features // 2,
            n_redundant=n_features // 4, random_state=seed,
        )
        y = y.astype(np.int64)
    else:
        x, y = make_regression(
            n_samples=n, n_features=n_features, n_informative=n_features // 2, noise=10.0,
            random_state=seed,
        )
    x = np.ascontiguousarray(x, dtype=np.float64)
    return x[:n_train], y[:n_train], x[n_train:], y[n_train:]


def _breast_cancer():
    from sklearn.datasets import load_breast_cancer
    return load_breast_cancer(return_X_y=True)


def _digits_binary():
    from sklearn.datasets import load_digits
    x, y = load_digits(return_X_y=True)
    return x, (y >= 5).astype(np.int64)


def _digits():
    from sklearn.datasets import load_digits
    return load_digits(return_X_y=True)


def _wine():
    from sklearn.datasets import load_wine
    return load_wine(return_X_y=True)


def _diabetes():
    from sklearn.datasets import load_diabetes
    return load_diabetes(return_X_y=True)


# name: (task, loader, description)
REAL = {
    "breast_cancer": ("classification", _breast_cancer, "breast cancer, 569 × 30, 2 classes"),
    "digits_binary": ("classification", _digits_binary,
                      "digits as binary (digit ≥ 5), 1,797 × 64, 2 classes"),
    "digits": ("classification", _digits, "digits, 1,797 × 64, 10 classes"),
    "wine": ("classification", _wine, "wine, 178 × 13, 3 classes"),
    "diabetes": ("regression", _diabetes, "diabetes, 442 × 10, regression"),
}


def stratified_folds(y, k, seed=FOLD_SEED):
    """A fold number per row: every class (or, for regression, every row) dealt round-robin
    over k folds after a seeded shuffle."""
    rng = np.random.default_rng(seed)
    folds = np.empty(len(y), dtype=np.int64)
    groups = [np.arange(len(y))] if y.dtype.kind == "f" else [
        np.flatnonzero(y == label) for label in np.unique(y)]
    offset = 0
    for rows in groups:
        rows = rng.permutation(rows)
        folds[rows] = (np.arange(len(rows)) + offset) % k
        offset += len(rows)
    return folds


def write_datasets(directory, n_train, n_test, folds):
    """Writes every data set as .npy files into `directory`; returns {name: description}."""
    written = {}
    for task, seed in SYNTHETIC_SEEDS.items():
        name = f"synthetic_{task}"
        x, y, x_test, y_test = synthetic(task, n_train, n_test, seed=seed)
        for part, array in (("x", x), ("y", y), ("x_test", x_test), ("y_test", y_test)):
            np.save(os.path.join(directory, f"{name}.{part}.npy"), array)
        written[name] = {"task": task, "rows": n_train, "test_rows": n_test,
                         "features": x.shape[1], "seed": seed,
                         "classes": len(np.unique(y)) if task == "classification" else 0}
    for name, (task, loader, description) in REAL.items():
        x, y = loader()
        x = np.ascontiguousarray(x, dtype=np.float64)
        y = y.astype(np.float64 if task == "regression" else np.int64)
        np.save(os.path.join(directory, f"{name}.x.npy"), x)
        np.save(os.path.join(directory, f"{name}.y.npy"), y)
        np.save(os.path.join(directory, f"{name}.folds.npy"), stratified_folds(y, folds))
        written[name] = {"task": task, "rows": len(y), "features": x.shape[1], "folds": folds,
                         "classes": len(np.unique(y)) if task == "classification" else 0,
                         "description": description}
    return written


def load(directory, name, part):
    return np.load(os.path.join(directory, f"{name}.{part}.npy"))


def status_kib(field):
    """A /proc/self/status field in KiB, e.g. "VmRSS:" or "VmHWM:"."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak():
    """Resets the process's peak resident size (VmHWM) to its current size."""
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


class PeakAdded:
    """Measures how far the resident size rose above its level at entry, in MiB."""

    def __enter__(self):
        reset_peak()
        self.baseline = status_kib("VmRSS:")
        return self

    def __exit__(self, *exc):
        self.mib = (status_kib("VmHWM:") - self.baseline) / 1024


def metric(task, y_true, y_pred):
    """Accuracy for classification, R² for regression."""
    y_pred = np.asarray(y_pred).reshape(len(y_true))
    if task == "classification":
        return float(np.mean(y_pred.astype(np.float64) == y_true.astype(np.float64)))
    residual = np.sum((y_true - y_pred) ** 2)
    total = np.sum((y_true - y_true.mean()) ** 2)
    return float(1.0 - residual / total)


def metric_name(task):
    return "accuracy" if task == "classification" else "R²"
