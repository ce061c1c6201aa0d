"""A first look at arborvane on real data bundled with scikit-learn.

Builds training tables from the breast cancer and diabetes data sets and shows what a table
holds: its storage kind, its rows and features and the canary copies that stop trees from
growing on noise.
"""

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes

import arborvane


def describe(name, table):
    print(
        f"{name:<34} kind={table.kind:<6} rows={table.n_rows:<5} "
        f"features={table.n_features:<3} canaries={table.canaries}"
    )


def main():
    cancer = load_breast_cancer()
    diabetes = load_diabetes()

    describe("breast cancer (numeric features)", arborvane.Table(cancer.data, cancer.target))
    describe("diabetes, 16 fixed bins", arborvane.Table(diabetes.data, diabetes.target, bins=16))
    describe("diabetes, no canaries", arborvane.Table(diabetes.data, diabetes.target, canaries=0))

    # Features that are all 0 or 1 are stored sparsely: one list of rows per feature.
    above_median = (cancer.data > np.median(cancer.data, axis=0)).astype(np.float64)
    describe("breast cancer, above-median flags", arborvane.Table(above_median, cancer.target))

    # A table built without targets carries no canaries; it is for prediction input.
    describe("breast cancer, features only", arborvane.Table(cancer.data))

    # String class labels are kept by train(), not by tables.
    labels = np.array(cancer.target_names)[cancer.target]
    try:
        arborvane.Table(cancer.data, labels)
    except ValueError as error:
        print(f"string targets: {error}")


if __name__ == "__main__":
    main()
