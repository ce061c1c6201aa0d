"""Random forests and gradient boosting: arborvane against scikit-learn, LightGBM and XGBoost.

    python bench/ensembles.py [--rows 1000000] [--test-rows 200000] [--trees 100] [--depth 8]
                              [--threads 2] [--repeats 1]

Classification on make_classification data (fixed seed). Forest: train(algorithm="rf") next
to RandomForestClassifier(n_estimators, max_depth, n_jobs). Boosting: train(algorithm="gbm")
with learning rate 0.1 and GOSS defaults next to LightGBM with GOSS (num_leaves 255, max_bin
128, top_rate 0.2, other_rate 0.1, lambda_l2 1, min_sum_hessian_in_leaf 0.001,
min_data_in_leaf 1) and XGBoost hist (max_bin 128, reg_lambda 1), all at the same depth and
tree count. arborvane runs with canaries=0 (like for like) and with the default 2 canaries.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import synthetic, timed  # noqa: E402


def report(rows, args):
    print(f"{'model':<34}{'fit s':>9}{'predict s':>11}{'accuracy':>10}{'AUC':>9}")
    for name, fit, predict, accuracy, auc in rows:
        print(f"{name:<34}{fit:>9.2f}{predict:>11.3f}{accuracy:>10.4f}{auc:>9.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--test-rows", type=int, default=200_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--only", choices=["rf", "gbm"], default=None)
    args = parser.parse_args()

    import numpy as np
    from sklearn.metrics import accuracy_score, roc_auc_score

    import arborvane

    x, y, x_test, y_test = synthetic("classification", args.rows, args.test_rows, seed=11)
    y = y.astype(np.int64)
    print(f"{args.rows} x 28 train, {args.test_rows} test, {args.trees} trees, depth "
          f"{args.depth}, {args.threads} threads, median of {args.repeats} fits")

    def measure(name, fit, predict_proba):
        fit_s, model = timed(fit, args.repeats, warm_up=False)
        predict_s, proba = timed(lambda: predict_proba(model), 1, warm_up=False)
        p = proba[:, 1]
        return name, fit_s, predict_s, accuracy_score(y_test, p >= 0.5), roc_auc_score(y_test, p)

    rows = []
    if args.only in (None, "rf"):
        import sklearn
        from sklearn.ensemble import RandomForestClassifier

        rows.append(measure(
            f"scikit-learn {sklearn.__version__} forest",
            lambda: RandomForestClassifier(n_estimators=args.trees, max_depth=args.depth,
                                           n_jobs=args.threads, random_state=0).fit(x, y),
            lambda m: m.predict_proba(x_test)))
        for canaries in (0, 2):
            rows.append(measure(
                f"arborvane rf canaries={canaries}",
                lambda: arborvane.train(x, y, algorithm="rf", n_trees=args.trees,
                                        max_depth=args.depth, canaries=canaries,
                                        physical_cores=args.threads, seed=0),
                lambda m: m.predict_proba(x_test)))
    if args.only in (None, "gbm"):
        import lightgbm
        import xgboost

        rows.append(measure(
            f"LightGBM {lightgbm.__version__} GOSS",
            lambda: lightgbm.LGBMClassifier(
                data_sample_strategy="goss", n_estimators=args.trees, learning_rate=0.1,
                num_leaves=255, max_depth=args.depth, max_bin=128, top_rate=0.2, other_rate=0.1,
                reg_lambda=1.0, min_sum_hessian_in_leaf=0.001, min_child_samples=1,
                n_jobs=args.threads, verbose=-1, random_state=0).fit(x, y),
            lambda m: m.predict_proba(x_test)))
        rows.append(measure(
            f"XGBoost {xgboost.__version__} hist",
            lambda: xgboost.XGBClassifier(
                tree_method="hist", n_estimators=args.trees, learning_rate=0.1,
                max_depth=args.depth, max_bin=128, reg_lambda=1.0, n_jobs=args.threads,
                random_state=0).fit(x, y),
            lambda m: m.predict_proba(x_test)))
        for canaries in (0, 2):
            rows.append(measure(
                f"arborvane gbm canaries={canaries}",
                lambda: arborvane.train(x, y, algorithm="gbm", n_trees=args.trees,
                                        max_depth=args.depth, canaries=canaries,
                                        learning_rate=0.1, physical_cores=args.threads, seed=0),
                lambda m: m.predict_proba(x_test)))
    report(rows, args)


if __name__ == "__main__":
    main()
