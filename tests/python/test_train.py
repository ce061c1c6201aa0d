import inspect
import math
import re

import numpy as np
import pytest

import arborvane

SIGNATURE = (
    '(x, y=None, algorithm="dt", task="auto", tree_type="cart", criterion="auto", canaries=2, '
    "bins=None, physical_cores=None, max_depth=None, min_samples_split=None, "
    "min_samples_leaf=None, n_trees=None, max_features=None, seed=None, compute_oob=False, "
    "learning_rate=None, bootstrap=False, top_gradient_fraction=None, "
    "other_gradient_fraction=None)"
)


def whole(message):
    return re.escape(message) + "$"


X = [[float(i), float(i % 3)] for i in range(12)]
Y_REG = [float(i) * 1.5 for i in range(12)]
Y_CLS = [float(i >= 6) for i in range(12)]


def test_signature_is_introspectable():
    assert str(inspect.signature(arborvane.train)).replace("'", '"') == SIGNATURE


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"algorithm": 1}, TypeError, "argument 'algorithm': "),
        ({"task": None}, TypeError, "argument 'task': "),
        ({"canaries": None}, TypeError, "argument 'canaries': "),
        ({"canaries": -1}, OverflowError, ""),
        ({"max_depth": "3"}, TypeError, "argument 'max_depth': "),
        ({"physical_cores": -2}, OverflowError, ""),
        ({"seed": 2**64}, OverflowError, ""),
        ({"compute_oob": 1}, TypeError, "argument 'compute_oob': "),
        ({"bootstrap": "yes"}, TypeError, "argument 'bootstrap': "),
        ({"learning_rate": "fast"}, TypeError, "argument 'learning_rate': "),
        ({"other_gradient_fraction": [0.1]}, TypeError, "argument 'other_gradient_fraction': "),
    ],
)
def test_argument_types_are_checked_first(kwargs, error, message):
    # The features are unusable too: conversion errors come before anything reads them.
    with pytest.raises(error, match="^" + re.escape(message)):
        arborvane.train(object(), object(), **kwargs)


def test_conversion_runs_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'task': "):
        arborvane.train(X, Y_REG, task=1, max_depth="deep")
    with pytest.raises(OverflowError):
        arborvane.train(X, Y_REG, canaries=-1, compute_oob=1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"task": "ranking"}, "Unsupported task 'ranking'. Expected one of: regression, classification, auto"),
        ({"bins": 0}, "Invalid bins value 0. Expected 'auto' or an integer between 1 and 128."),
        ({"algorithm": "svm"}, "Unsupported algorithm 'svm'. Expected one of: dt, rf, gbm"),
        ({"tree_type": "deep"}, "Unsupported tree_type 'deep'. Expected one of: id3, c45, cart, randomized, oblivious"),
        ({"criterion": "second_order"}, "Unsupported criterion 'second_order'. Expected one of: auto, gini, entropy, mean, median"),
        ({"max_depth": 0}, "max_depth must be at least 1."),
        ({"min_samples_split": 0}, "min_samples_split must be at least 1."),
        ({"min_samples_leaf": 0}, "min_samples_leaf must be at least 1."),
        ({"max_features": "half"}, "Unsupported max_features 'half'. Expected one of: auto, all, sqrt, third, or a positive integer"),
        ({"max_features": 2.5}, "Unsupported max_features value. Expected one of: auto, all, sqrt, third, or a positive integer"),
        ({"max_features": -1}, "Unsupported max_features value. Expected one of: auto, all, sqrt, third, or a positive integer"),
        ({"learning_rate": 0.0}, "learning_rate must be a finite value greater than 0."),
        ({"learning_rate": math.inf}, "learning_rate must be a finite value greater than 0."),
        ({"top_gradient_fraction": 1.5}, "top_gradient_fraction must be a finite value between 0 and 1."),
        ({"other_gradient_fraction": math.nan}, "other_gradient_fraction must be a finite value between 0 and 1."),
        ({"tree_type": "id3", "task": "regression"}, "Unsupported training configuration: task=Regression, tree_type=Id3, criterion=Auto."),
        ({"criterion": "gini", "task": "regression"}, "Unsupported training configuration: task=Regression, tree_type=Cart, criterion=Gini."),
        ({"physical_cores": 0}, None),
    ],
)
def test_validation_messages(kwargs, message):
    if message is None:
        message = "Requested 0 physical cores, but the available physical core count is "
        with pytest.raises(ValueError, match="^" + re.escape(message) + r"\d+\.$"):
            arborvane.train(X, Y_REG, **kwargs)
        return
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.train(X, Y_REG, **kwargs)


def test_input_errors_come_before_an_unknown_algorithm():
    with pytest.raises(ValueError, match=whole("Ragged row at index 1: expected 2 columns, found 1.")):
        arborvane.train([[1.0, 2.0], [3.0]], [1.0, 2.0], algorithm="svm")


def test_boundary_values_pass_this_layer():
    model = arborvane.train(X, Y_REG, top_gradient_fraction=0.0, other_gradient_fraction=1.0, max_features=0)
    assert model.algorithm == "dt"


@pytest.mark.parametrize(
    "targets, message",
    [
        ([], "Cannot train on an empty target vector."),
        ([1.0, math.nan], "Regression targets must be finite values. Found NaN at row 1."),
    ],
)
def test_learner_errors_reach_python(targets, message):
    rows = [[float(i)] for i in range(len(targets))]
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.train(rows, targets, task="regression")


def test_classification_target_errors_name_the_value():
    with pytest.raises(ValueError, match=whole("Classification targets must be finite values. Found -inf at row 0.")):
        arborvane.train([[1.0], [2.0]], [-math.inf, 1.0], task="classification")


@pytest.mark.parametrize(
    "targets, task",
    [
        (np.array([0, 1, 1, 0] * 3, dtype=np.int64), "classification"),
        (np.array([0, 1, 1, 0] * 3, dtype=np.int32), "classification"),
        (np.array([True, False] * 6), "classification"),
        (np.array([0.0, 1.0] * 6), "regression"),
        (np.array(["a", "b"] * 6), "classification"),
        (["a", "b"] * 6, "classification"),
        (("a", "b") * 6, "classification"),
        ([0, 1] * 6, "regression"),
        ([0.5, 1.5] * 6, "regression"),
    ],
)
def test_task_auto_follows_the_target_kind(targets, task):
    assert arborvane.train(X, targets).task == task


def test_task_auto_with_frames():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    assert arborvane.train(X, pd.Series([0, 1] * 6)).task == "classification"
    assert arborvane.train(X, pd.Series([0.0, 1.0] * 6)).task == "regression"
    assert arborvane.train(X, pa.array([1, 2] * 6)).task == "classification"
    assert arborvane.train(X, pa.array(["x", "y"] * 6)).task == "classification"


def test_task_auto_with_a_table():
    integral = arborvane.Table(X, Y_CLS)
    assert arborvane.train(integral).task == "classification"
    assert arborvane.train(arborvane.Table(X)).task == "classification"
    assert arborvane.train(arborvane.Table(X, Y_REG)).task == "regression"
    with pytest.raises(ValueError, match=whole("task='auto' requires y unless x is already a Table.")):
        arborvane.train(X)
    with pytest.raises(ValueError, match=whole("y is required unless x is already a Table.")):
        arborvane.train(X, task="regression")
    with pytest.raises(ValueError, match=whole("y must be omitted when x is already a Table.")):
        arborvane.train(integral, Y_CLS, task="classification")
    with pytest.raises(ValueError, match=whole("bins must be omitted when x is already a Table.")):
        arborvane.train(integral, bins=32)
    assert arborvane.train(integral, bins="auto").canaries == 2


COMBINATIONS = [
    ("classification", "id3", "auto", "entropy"),
    ("classification", "c45", "gini", "gini"),
    ("classification", "cart", "auto", "gini"),
    ("classification", "randomized", "entropy", "entropy"),
    ("classification", "oblivious", "auto", "gini"),
    ("regression", "cart", "auto", "mean"),
    ("regression", "randomized", "median", "median"),
    ("regression", "oblivious", "mean", "mean"),
]


@pytest.mark.parametrize("task, tree_type, criterion, resolved", COMBINATIONS)
def test_every_single_tree_combination_trains_and_reports_its_settings(task, tree_type, criterion, resolved):
    rng = np.random.default_rng(4)
    x = rng.normal(size=(300, 4))
    y = (x[:, 0] > 0).astype(np.int64) + (x[:, 1] > 1) if task == "classification" else x[:, 0] * 2.0
    models = [
        arborvane.train(x, y, task=task, tree_type=tree_type, criterion=criterion, physical_cores=cores, max_depth=4)
        for cores in (1, 2)
    ]
    assert np.array_equal(models[0].predict(x), models[1].predict(x))
    model = models[0]
    assert (model.algorithm, model.task, model.tree_type, model.criterion) == ("dt", task, tree_type, resolved)
    assert (model.max_depth, model.min_samples_split, model.min_samples_leaf) == (4, 2, 1)
    assert (model.n_trees, model.max_features, model.seed, model.oob_score) == (None, None, None, None)
    assert (model.compute_oob, model.bootstrap, model.tree_count, model.canaries) == (False, False, 1, 2)
    assert (model.learning_rate, model.top_gradient_fraction, model.other_gradient_fraction) == (None, None, None)
    if task == "classification":
        assert np.mean(model.predict(x) == y) > 0.8
    else:
        assert np.corrcoef(model.predict(x), y)[0, 1] > 0.9


def test_training_releases_the_interpreter_lock():
    import threading

    rng = np.random.default_rng(0)
    x = rng.normal(size=(20000, 8))
    y = x[:, 0] + rng.normal(size=20000)
    results = []
    threads = [threading.Thread(target=lambda: results.append(arborvane.train(x, y, physical_cores=1))) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 2
    assert np.array_equal(results[0].predict(x), results[1].predict(x))
