"""What the suite runs: every workload, every library's settings for it, and where the
settings differ between libraries.

A case is one row of the report: a JSON-ready dict naming the data set, the library call
(`target` as "module:attribute" plus its keyword arguments) and how the row is compared.
"""

import math
from dataclasses import dataclass

THREADS = 2


@dataclass(frozen=True)
class Sizes:
    n_train: int
    n_test: int
    trees: int
    depth: int
    repeats: int        # timed fits and predictions per row, after a warm-up
    long_fit: float     # a first timed fit longer than this (seconds) is not repeated
    latency_calls: int  # single-row predictions timed per row
    warm_rows: int      # the warm-up fit uses this many leading training rows
    folds: int          # cross-validation folds on the real data sets
    forest_rows: int    # forests on the synthetic data train on this many leading rows


# scikit-learn's RandomForest takes about a minute per fit on 200,000 × 28 here (2 cores) and
# over five on 1,000,000 rows, so the forests train on the first 200,000 rows, the same rows
# for every library.
FULL = Sizes(n_train=1_000_000, n_test=200_000, trees=100, depth=8, repeats=3, long_fit=15.0,
             latency_calls=100, warm_rows=10_000, folds=5, forest_rows=200_000)
QUICK = Sizes(n_train=3_000, n_test=1_000, trees=10, depth=8, repeats=1, long_fit=15.0,
              latency_calls=3, warm_rows=500, folds=3, forest_rows=2_000)

MODELS = {
    "dt": "single tree",
    "rf": "forest",
    "rf-randomized": "forest of randomized trees",
    "gbm": "boosting",
    "gbm-oblivious": "boosting with oblivious trees",
}

# Where the libraries cannot be set up alike. Shown under the results of each model kind.
MISMATCHES = {
    "all": [
        "arborvane, LightGBM, XGBoost, CatBoost and scikit-learn's HistGradientBoosting split on "
        "at most 128 bins per feature; scikit-learn's DecisionTree, RandomForest and ExtraTrees "
        "split on exact values.",
        "arborvane runs with canaries=0 in the rows that are compared (grow to the depth limit "
        "like the peers); the canaries=2 rows show the default, which stops growth where a "
        "shuffled copy of a feature would win a split.",
        "arborvane predicts on one thread (the Model facade bins every row, then sends the "
        "rows down each tree node by node); the peers predict on 2 threads, except "
        "scikit-learn's DecisionTree.",
    ],
    "dt": [
        "scikit-learn's DecisionTree trains on one thread (it has no n_jobs); arborvane on 2.",
    ],
    "rf": [
        "arborvane and scikit-learn draw a bootstrap sample per tree; LightGBM (boosting_type "
        "'rf') and XGBoost (XGBRF) have no bootstrap and draw 63.2% of the rows without "
        "replacement.",
        "Features per split: sqrt(28) = 5 for classification, 28 // 3 = 9 for regression, as a "
        "count for arborvane and scikit-learn and as a fraction per node for LightGBM and "
        "XGBoost.",
        "LightGBM and XGBoost forests fit each tree to the gradients of the loss at the initial "
        "score (a Newton step per leaf); arborvane and scikit-learn grow classification trees "
        "on Gini impurity and regression trees on squared error.",
    ],
    "rf-randomized": [
        "ExtraTreesClassifier/Regressor run with bootstrap=True, as arborvane always draws a "
        "bootstrap sample per tree. ExtraTrees draws one random threshold per feature between "
        "the node's minimum and maximum value; arborvane draws one random bin boundary.",
    ],
    "gbm": [
        "GOSS: arborvane keeps the top 20% of rows by |gradient| and 10% of the rest at random "
        "(28% of the rows); LightGBM keeps top_rate 0.2 plus other_rate 0.1 of all rows (30%) "
        "and uses every row for its first 1 / learning_rate = 10 trees. XGBoost and "
        "scikit-learn's HistGradientBoosting have no GOSS and use every row.",
        "Tree shape: depth 8 for everyone; LightGBM grows leaf-wise with num_leaves = 256 so "
        "the depth is its only binding limit; XGBoost and HistGradientBoosting grow depth-wise.",
        "L2 regularisation 1.0 and a minimum leaf hessian of 0.001 for everyone; minimum "
        "leaf size 1 where a library has one.",
        "arborvane boosting handles regression and binary classification, so the multi-class "
        "data sets (digits, wine) have no boosting rows.",
    ],
    "gbm-oblivious": [
        "CatBoost has no GOSS; its MVS sampling (gradient-based as well) runs with "
        "subsample=0.3. border_count=127 gives 128 bins. random_strength=0 makes CatBoost take "
        "the best split as arborvane does; l2_leaf_reg=1.",
    ],
    "table": [
        "arborvane.Table ranks and bins every feature (and with canaries=2 also shuffles two "
        "copies of each); lightgbm.Dataset.construct, xgboost.QuantileDMatrix and "
        "catboost.Pool.quantize compute bin boundaries; xgboost.DMatrix only copies the values. "
        "numpy.argsort (one thread) is a reference for a full sort of every column.",
    ],
}


# Rows that fail today for a known reason: (data set, library, text of the error, why). The run
# reports them as failures with the reason and does not count them as broken; once such a row
# succeeds the run fails, so the entry gets removed.
_BINARY_PIXEL = ("a pixel column holding only 0 and 1 in a training fold becomes a binary "
                 "feature, and arborvane refuses the larger value the same pixel takes in the "
                 "test fold")
KNOWN_FAILURES = [
    ("digits", "arborvane", "must be binary for inference", _BINARY_PIXEL),
    ("digits_binary", "arborvane", "must be binary for inference", _BINARY_PIXEL),
]


def _fraction(count, n_features):
    """count / n_features rounded up at 4 decimals, so a library taking floor(fraction * n)
    lands on `count`."""
    return math.ceil(count / n_features * 10_000) / 10_000


def _features_per_split(task, n_features):
    return max(1, math.isqrt(n_features)) if task == "classification" else max(1, n_features // 3)


def _case(dataset, task, model, library, label, target, kwargs, matched=False, **extra):
    return {"id": f"{dataset}/{model}/{label}", "group": f"{dataset}/{model}", "dataset": dataset,
            "task": task, "kind": "model", "model": model, "library": library, "label": label,
            "target": target, "kwargs": kwargs, "matched": matched, **extra}


def _pick(task, classifier, regressor):
    return classifier if task == "classification" else regressor


def model_cases(dataset, task, n_features, n_classes, sizes, catboost, serialize, synthetic):
    """Every single-tree, forest and boosting row for one data set. On the large synthetic
    data the forests train on `sizes.forest_rows` rows and only the compared forest row of
    arborvane runs."""
    t, d = sizes.trees, sizes.depth
    mf = _features_per_split(task, n_features)
    cases = []

    def add(case):
        if synthetic and case["model"].startswith("rf"):
            case["train_rows"] = sizes.forest_rows
            if case["library"] == "arborvane" and not case["matched"]:
                return
        cases.append(case)

    for canaries in (0, 2):
        add(_case(dataset, task, "dt", "arborvane", f"arborvane canaries={canaries}",
                  "arborvane:train", dict(algorithm="dt", task=task, max_depth=d,
                                          canaries=canaries, physical_cores=THREADS),
                  matched=canaries == 0))
    add(_case(dataset, task, "dt", "scikit-learn", "scikit-learn DecisionTree",
              _pick(task, "sklearn.tree:DecisionTreeClassifier", "sklearn.tree:DecisionTreeRegressor"),
              dict(max_depth=d, random_state=0)))

    for canaries in (0, 2):
        add(_case(dataset, task, "rf", "arborvane", f"arborvane canaries={canaries}",
                  "arborvane:train", dict(algorithm="rf", task=task, n_trees=t, max_depth=d,
                                          max_features=mf, canaries=canaries,
                                          physical_cores=THREADS, seed=0),
                  matched=canaries == 0))
    add(_case(dataset, task, "rf", "scikit-learn", "scikit-learn RandomForest",
              _pick(task, "sklearn.ensemble:RandomForestClassifier",
                    "sklearn.ensemble:RandomForestRegressor"),
              dict(n_estimators=t, max_depth=d, max_features=mf, bootstrap=True, n_jobs=THREADS,
                   random_state=0)))
    add(_case(dataset, task, "rf", "lightgbm", "LightGBM rf",
              _pick(task, "lightgbm:LGBMClassifier", "lightgbm:LGBMRegressor"),
              dict(boosting_type="rf", n_estimators=t, num_leaves=2**d, max_depth=d,
                   bagging_fraction=0.632, bagging_freq=1,
                   feature_fraction_bynode=_fraction(mf, n_features), max_bin=128,
                   min_child_samples=1, n_jobs=THREADS, random_state=0, verbose=-1)))
    add(_case(dataset, task, "rf", "xgboost", "XGBoost XGBRF",
              _pick(task, "xgboost:XGBRFClassifier", "xgboost:XGBRFRegressor"),
              dict(n_estimators=t, max_depth=d, subsample=0.632,
                   colsample_bynode=_fraction(mf, n_features), tree_method="hist", max_bin=128,
                   min_child_weight=0.001, n_jobs=THREADS, random_state=0)))

    add(_case(dataset, task, "rf-randomized", "arborvane", "arborvane canaries=0",
              "arborvane:train", dict(algorithm="rf", task=task, tree_type="randomized",
                                      n_trees=t, max_depth=d, max_features=mf, canaries=0,
                                      physical_cores=THREADS, seed=0), matched=True))
    add(_case(dataset, task, "rf-randomized", "scikit-learn", "scikit-learn ExtraTrees",
              _pick(task, "sklearn.ensemble:ExtraTreesClassifier",
                    "sklearn.ensemble:ExtraTreesRegressor"),
              dict(n_estimators=t, max_depth=d, max_features=mf, bootstrap=True, n_jobs=THREADS,
                   random_state=0)))

    if task == "classification" and n_classes > 2:
        return cases  # arborvane boosting handles regression and binary classification

    boosting = dict(algorithm="gbm", task=task, n_trees=t, max_depth=d, learning_rate=0.1,
                    top_gradient_fraction=0.2, other_gradient_fraction=0.1,
                    physical_cores=THREADS, seed=0)
    for canaries in (0, 2):
        add(_case(dataset, task, "gbm", "arborvane", f"arborvane canaries={canaries}",
                  "arborvane:train", dict(boosting, canaries=canaries), matched=canaries == 0,
                  serialize=serialize and canaries == 0))
    add(_case(dataset, task, "gbm", "lightgbm", "LightGBM GOSS",
              _pick(task, "lightgbm:LGBMClassifier", "lightgbm:LGBMRegressor"),
              dict(boosting_type="gbdt", data_sample_strategy="goss", top_rate=0.2,
                   other_rate=0.1, n_estimators=t, learning_rate=0.1, num_leaves=2**d,
                   max_depth=d, max_bin=128, min_child_samples=1, min_child_weight=0.001,
                   reg_lambda=1.0, n_jobs=THREADS, random_state=0, verbose=-1),
              serialize=serialize))
    add(_case(dataset, task, "gbm", "xgboost", "XGBoost hist",
              _pick(task, "xgboost:XGBClassifier", "xgboost:XGBRegressor"),
              dict(tree_method="hist", n_estimators=t, learning_rate=0.1, max_depth=d,
                   max_bin=128, reg_lambda=1.0, min_child_weight=0.001, n_jobs=THREADS,
                   random_state=0),
              serialize=serialize))
    add(_case(dataset, task, "gbm", "scikit-learn", "scikit-learn HistGradientBoosting",
              _pick(task, "sklearn.ensemble:HistGradientBoostingClassifier",
                    "sklearn.ensemble:HistGradientBoostingRegressor"),
              dict(max_iter=t, learning_rate=0.1, max_depth=d, max_leaf_nodes=None,
                   max_bins=128, min_samples_leaf=1, l2_regularization=1.0,
                   early_stopping=False, random_state=0)))

    add(_case(dataset, task, "gbm-oblivious", "arborvane", "arborvane canaries=0",
              "arborvane:train", dict(boosting, tree_type="oblivious", canaries=0), matched=True))
    if catboost:
        add(_case(dataset, task, "gbm-oblivious", "catboost", "CatBoost",
                  _pick(task, "catboost:CatBoostClassifier", "catboost:CatBoostRegressor"),
                  dict(iterations=t, depth=d, learning_rate=0.1, border_count=127,
                       l2_leaf_reg=1.0, bootstrap_type="MVS", subsample=0.3, random_strength=0,
                       thread_count=THREADS, random_seed=0, verbose=False,
                       allow_writing_files=False)))
    return cases


def table_cases(dataset, catboost):
    """Building each library's training structure from NumPy, pandas and polars."""
    cases = []
    for source in ("numpy", "pandas", "polars"):
        def add(library, label, target, kwargs, matched=False, then=None, then_kwargs=None):
            cases.append({
                "id": f"{dataset}/table-{source}/{label}", "group": f"{dataset}/table-{source}",
                "dataset": dataset, "task": "classification", "kind": "table",
                "model": f"table-{source}", "source": source, "library": library,
                "label": label, "target": target, "kwargs": kwargs, "matched": matched,
                "then": then, "then_kwargs": then_kwargs or {}})

        add("arborvane", "arborvane canaries=0", "arborvane:Table", dict(canaries=0), True)
        add("arborvane", "arborvane canaries=2", "arborvane:Table", dict(canaries=2))
        add("lightgbm", "LightGBM Dataset", "lightgbm:Dataset",
            dict(params=dict(max_bin=128, num_threads=THREADS, verbose=-1)), then="construct")
        add("xgboost", "XGBoost DMatrix", "xgboost:DMatrix", dict(nthread=THREADS))
        add("xgboost", "XGBoost QuantileDMatrix", "xgboost:QuantileDMatrix",
            dict(max_bin=128, nthread=THREADS))
        if catboost:
            add("catboost", "CatBoost Pool", "catboost:Pool", dict(thread_count=THREADS),
                then="quantize", then_kwargs=dict(border_count=127))
        if source == "numpy":
            add("numpy", "numpy argsort (reference)", "numpy:argsort",
                dict(axis=0, kind="stable"))
    return cases


def all_cases(datasets, sizes, catboost, serialize):
    cases = table_cases("synthetic_classification", catboost)
    for name, info in datasets.items():
        synthetic = "folds" not in info
        cases += model_cases(name, info["task"], info["features"], info["classes"], sizes,
                             catboost, serialize=serialize and name == "synthetic_classification",
                             synthetic=synthetic)
    for case in cases:
        for dataset, library, error, why in KNOWN_FAILURES:
            if case["dataset"] == dataset and case["library"] == library:
                case["known_failure"] = {"error": error, "why": why}
    return cases


def settings_text(case):
    """The library call a row makes, as it would be written in Python."""
    name = case["target"].split(":")[1]
    kwargs = case["kwargs"]
    if case["kind"] == "table":
        args = "x, y" if case["target"] != "numpy:argsort" else "x"
        text = f"{name}({', '.join([args] + [f'{k}={v!r}' for k, v in kwargs.items()])})"
        if case.get("then"):
            then = ", ".join(f"{k}={v!r}" for k, v in case["then_kwargs"].items())
            text += f".{case['then']}({then})"
        return text
    return f"{name}({', '.join(f'{k}={v!r}' for k, v in kwargs.items())})"
