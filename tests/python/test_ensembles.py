import re

import numpy as np
import pytest

import arborvane


def whole(message):
    return re.escape(message) + "$"


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    x = rng.normal(size=(600, 6))
    classes = (x[:, 0] + 0.5 * x[:, 1] > 0).astype(np.int64)
    values = 3.0 * x[:, 0] - x[:, 2] + rng.normal(scale=0.1, size=600)
    return x, classes, values


@pytest.mark.parametrize("algorithm", ["rf", "gbm"])
@pytest.mark.parametrize("task", ["classification", "regression"])
@pytest.mark.parametrize("tree_type", ["cart", "randomized", "oblivious"])
def test_ensembles_train_and_are_identical_for_any_core_count(data, algorithm, task, tree_type):
    x, classes, values = data
    y = classes if task == "classification" else values
    kwargs = dict(algorithm=algorithm, task=task, tree_type=tree_type, n_trees=12, max_depth=4, seed=3, canaries=0)
    one = arborvane.train(x, y, physical_cores=1, compute_oob=algorithm == "rf", **kwargs)
    two = arborvane.train(x, y, physical_cores=2, compute_oob=algorithm == "rf", **kwargs)
    assert np.array_equal(one.predict(x), two.predict(x))
    assert one.oob_score == two.oob_score
    assert (one.algorithm, one.task, one.tree_type, one.seed) == (algorithm, task, tree_type, 3)
    if task == "classification":
        assert np.mean(one.predict(x) == y) > 0.85
        proba = one.predict_proba(x)
        assert proba.shape == (len(x), 2)
        if tree_type == "oblivious" and algorithm == "rf":
            # A row reaching an empty oblivious leaf gets all-zero probabilities from that tree.
            assert np.all(proba.sum(axis=1) <= 1.0 + 1e-12)
        else:
            assert np.allclose(proba.sum(axis=1), 1.0)
    else:
        assert np.corrcoef(one.predict(x), y)[0, 1] > 0.8
        with pytest.raises(ValueError, match=whole("predict_proba is only available for classification models.")):
            one.predict_proba(x)


def test_forest_settings(data):
    x, classes, _ = data
    model = arborvane.train(x, classes, algorithm="rf", n_trees=5, compute_oob=True)
    assert model.tree_count == 5 and model.n_trees == 5
    assert model.canaries == 0  # trees never see canaries
    assert model.max_features == 2  # floor(sqrt(6))
    assert model.seed is None
    assert 0.5 < model.oob_score <= 1.0
    assert model.compute_oob and not model.bootstrap
    assert model.learning_rate is None and model.criterion == "gini"
    regression = arborvane.train(x, classes.astype(float) * 1.5, algorithm="rf", n_trees=3, task="regression")
    assert regression.max_features == 2  # floor(6 / 3)
    assert regression.oob_score is None


def test_boosting_settings(data):
    x, classes, values = data
    model = arborvane.train(x, values, algorithm="gbm", n_trees=7, canaries=0, bootstrap=True)
    assert (model.tree_count, model.n_trees, model.criterion) == (7, 7, "second_order")
    assert (model.learning_rate, model.top_gradient_fraction, model.other_gradient_fraction) == (0.1, 0.2, 0.1)
    assert model.bootstrap and model.seed is None and model.oob_score is None
    assert model.max_features == 2  # floor(6 / 3) over the binned features


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(algorithm="rf", n_trees=0), "Random forest requires at least one tree. Received 0."),
        (dict(algorithm="rf", max_features=0), "max_features must be at least 1 when provided as an integer. Received 0."),
        (dict(algorithm="gbm", top_gradient_fraction=0.0), "top_gradient_fraction must be in the interval (0, 1]. Found 0."),
        (dict(algorithm="gbm", top_gradient_fraction=0.7, other_gradient_fraction=0.4),
         "other_gradient_fraction must be in the interval [0, 1), and top_gradient_fraction + other_gradient_fraction must be at most 1. Found 0.4."),
        (dict(algorithm="gbm", criterion="gini"), "Unsupported training configuration: task=Classification, tree_type=Cart, criterion=Gini."),
        (dict(algorithm="gbm", tree_type="id3"), "Unsupported training configuration: task=Classification, tree_type=Id3, criterion=Auto."),
    ],
)
def test_ensemble_errors(data, kwargs, message):
    x, classes, _ = data
    with pytest.raises(ValueError, match=whole(message)):
        arborvane.train(x, classes, **kwargs)


def test_boosting_stops_when_a_canary_wins_the_root(data):
    x, classes, _ = data
    # Features sampled per node count the canary columns, so noise soon wins a root split.
    model = arborvane.train(x, classes, algorithm="gbm", n_trees=50, max_depth=4, seed=3)
    assert 1 <= model.tree_count < 50
    assert model.n_trees == model.tree_count


def test_boosting_refuses_three_classes_and_empty_tables(data):
    x, _, _ = data
    with pytest.raises(ValueError, match=whole("Gradient boosting currently supports binary classification only. Found 3 classes.")):
        arborvane.train(x, np.arange(600) % 3, algorithm="gbm")
    with pytest.raises(ValueError, match=whole("Cannot train on an empty target vector.")):
        arborvane.train(np.zeros((0, 3)), np.zeros(0), algorithm="gbm", task="regression")


def test_string_labels_through_ensembles(data):
    x, classes, _ = data
    labels = np.where(classes == 1, "yes", "no")
    for algorithm in ("rf", "gbm"):
        model = arborvane.train(x, labels, algorithm=algorithm, n_trees=5, canaries=0)
        assert set(model.predict(x)) <= {"yes", "no"}
        assert np.mean(model.predict(x) == labels) > 0.85


def test_forest_classes_missing_from_a_sample_keep_their_column():
    # One row of class 2: most bootstrap samples miss it, yet every tree lists three classes.
    x = np.arange(40, dtype=float).reshape(-1, 1)
    y = np.array([0] * 20 + [1] * 19 + [2])
    model = arborvane.train(x, y, algorithm="rf", n_trees=9, canaries=0, seed=1)
    proba = model.predict_proba(x)
    assert proba.shape == (40, 3)
    assert np.allclose(proba.sum(axis=1), 1.0)
