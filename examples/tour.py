"""A first look at arborvane on real data bundled with scikit-learn.

Trains decision trees, a random forest and boosted trees on the breast cancer
(classification) and diabetes (regression) data sets, evaluates them on a held-out split next
to scikit-learn's trees of the same depth, predicts with string class labels, and sends a
model through its JSON document and back.
"""

import json

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.metrics import accuracy_score, r2_score
from sklearn.model_selection import train_test_split
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

import arborvane

DEPTH = 5


def describe(name, table):
    print(f"  {name:<32} kind={table.kind:<6} rows={table.n_rows:<5} "
          f"features={table.n_features:<3} canaries={table.canaries}")


def classification():
    data = load_breast_cancer()
    x_train, x_test, y_train, y_test = train_test_split(
        data.data, data.target, test_size=0.3, random_state=0, stratify=data.target)
    print(f"Breast cancer: {len(x_train)} training rows, {len(x_test)} test rows, "
          f"{x_train.shape[1]} features")
    describe("training table", arborvane.Table(x_train, y_train))

    for tree_type in ("cart", "c45", "oblivious"):
        model = arborvane.train(x_train, y_train, tree_type=tree_type, max_depth=DEPTH)
        accuracy = accuracy_score(y_test, model.predict(x_test))
        print(f"  arborvane {tree_type:<10} criterion={model.criterion:<8} accuracy={accuracy:.3f}")
    peer = DecisionTreeClassifier(max_depth=DEPTH, random_state=0).fit(x_train, y_train)
    print(f"  scikit-learn DecisionTreeClassifier      accuracy="
          f"{accuracy_score(y_test, peer.predict(x_test)):.3f}")

    forest = arborvane.train(x_train, y_train, algorithm="rf", n_trees=200, seed=0,
                             compute_oob=True)
    print(f"  arborvane forest of 200 trees            accuracy="
          f"{accuracy_score(y_test, forest.predict(x_test)):.3f} (out-of-bag {forest.oob_score:.3f})")
    boosted = arborvane.train(x_train, y_train, algorithm="gbm", n_trees=200, max_depth=3,
                              canaries=0, seed=0)
    print(f"  arborvane boosting, 200 trees of depth 3  accuracy="
          f"{accuracy_score(y_test, boosted.predict(x_test)):.3f}")

    # String labels go in and come back out; probability columns follow first appearance.
    labels = data.target_names[y_train]
    model = arborvane.train(x_train, labels, max_depth=DEPTH)
    predicted = model.predict(x_test[:5])
    proba = model.predict_proba(x_test[:5])
    print(f"  string labels: {[str(label) for label in predicted]}")
    print(f"  probabilities of {str(labels[0])!r} first: {np.round(proba[:, 0], 3).tolist()}")


def regression():
    data = load_diabetes()
    x_train, x_test, y_train, y_test = train_test_split(
        data.data, data.target, test_size=0.3, random_state=0)
    print(f"Diabetes: {len(x_train)} training rows, {len(x_test)} test rows, "
          f"{x_train.shape[1]} features")
    for canaries in (2, 0):
        model = arborvane.train(x_train, y_train, max_depth=DEPTH, canaries=canaries)
        r2 = r2_score(y_test, model.predict(x_test))
        print(f"  arborvane cart canaries={canaries}            R²={r2:.3f}")
    peer = DecisionTreeRegressor(max_depth=DEPTH, random_state=0).fit(x_train, y_train)
    print(f"  scikit-learn DecisionTreeRegressor        R²={r2_score(y_test, peer.predict(x_test)):.3f}")
    forest = arborvane.train(x_train, y_train, algorithm="rf", n_trees=200, seed=0)
    print(f"  arborvane forest of 200 trees             R²={r2_score(y_test, forest.predict(x_test)):.3f}")
    boosted = arborvane.train(x_train, y_train, algorithm="gbm", n_trees=200, max_depth=3,
                              canaries=0, seed=0)
    print(f"  arborvane boosting, 200 trees of depth 3  R²={r2_score(y_test, boosted.predict(x_test)):.3f}")

    # A model travels as its JSON document and comes back predicting exactly the same.
    text = boosted.serialize()
    restored = arborvane.Model.deserialize(text)
    same = np.array_equal(restored.predict(x_test), boosted.predict(x_test))
    document = json.loads(text)
    print(f"  serialized boosting: {len(text) / 1e6:.2f} MB of JSON, "
          f"{len(document['model']['trees'])} trees, restored predictions identical: {same}")


if __name__ == "__main__":
    classification()
    print()
    regression()
