"""Single decision trees: arborvane against scikit-learn on the same synthetic data.

    python bench/single_tree.py [--rows 200000] [--depth 8] [--threads 2] [--repeats 3]

Reports fit and predict seconds (median of the repeats after a warm-up) and the test metric
of train(algorithm="dt") with the default canaries and with canaries=0, next to
DecisionTreeClassifier / DecisionTreeRegressor(max_depth=depth).
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import metric, metric_name, synthetic, timed  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--test-rows", type=int, default=50_000)
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    import arborvane
    import sklearn
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    print(f"{args.rows} x 28 train, {args.test_rows} test, depth {args.depth}, "
          f"{args.threads} threads for arborvane (scikit-learn trees are single-threaded), "
          f"median of {args.repeats} after a warm-up; scikit-learn {sklearn.__version__}")
    header = f"{'task':<15}{'library':<28}{'fit s':>9}{'predict s':>11}{'metric':>10}{'fit ratio':>11}"
    print(header)
    for task in ("classification", "regression"):
        x, y, x_test, y_test = synthetic(task, args.rows, args.test_rows, seed=7)
        peer = (DecisionTreeClassifier if task == "classification" else DecisionTreeRegressor)(
            max_depth=args.depth, random_state=0)
        peer_fit, _ = timed(lambda: peer.fit(x, y), args.repeats)
        peer_predict, peer_pred = timed(lambda: peer.predict(x_test), args.repeats)
        rows = [("scikit-learn", peer_fit, peer_predict, metric(task, y_test, peer_pred))]
        for canaries in (2, 0):
            fit, model = timed(lambda: arborvane.train(
                x, y, algorithm="dt", task=task, max_depth=args.depth, canaries=canaries,
                physical_cores=args.threads), args.repeats)
            predict, pred = timed(lambda: model.predict(x_test), args.repeats)
            rows.append((f"arborvane canaries={canaries}", fit, predict, metric(task, y_test, pred)))
        for name, fit, predict, score in rows:
            print(f"{task:<15}{name:<28}{fit:>9.3f}{predict:>11.4f}{score:>10.4f}"
                  f"{peer_fit / fit:>10.2f}x")
    print(f"metric: {metric_name('classification')} for classification, {metric_name('regression')} "
          "for regression; fit ratio = scikit-learn fit time / this fit time")


if __name__ == "__main__":
    main()
