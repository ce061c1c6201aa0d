"""Runs a batch of cases for one library in this process and appends one JSON line per case.

    python -m bench.worker <batch.json> <results.jsonl>

Started by `python -m bench`; each case loads its data from the .npy files the parent wrote,
so every library sees the same arrays. Library output on stdout/stderr is left alone: results
go to their own file.
"""

import gc
import importlib
import importlib.metadata
import json
import resource
import statistics
import sys
import time
import traceback

import numpy as np

from bench.common import PeakAdded, load, metric, metric_name

DISTRIBUTIONS = {"arborvane": "arborvane", "scikit-learn": "scikit-learn",
                 "lightgbm": "lightgbm", "xgboost": "xgboost", "catboost": "catboost",
                 "numpy": "numpy"}


def library_version(library):
    return importlib.metadata.version(DISTRIBUTIONS[library])


def resolve(target):
    module, attribute = target.split(":")
    return getattr(importlib.import_module(module), attribute)


def split(data_dir, name, info, fold):
    """Training and test arrays: the fixed train/test files, or one cross-validation fold."""
    if "folds" not in info:
        return tuple(load(data_dir, name, part) for part in ("x", "y", "x_test", "y_test"))
    x, y, folds = (load(data_dir, name, part) for part in ("x", "y", "folds"))
    test = folds == fold
    return x[~test], y[~test], x[test], y[test]


def fit_function(case):
    call = resolve(case["target"])
    kwargs = case["kwargs"]
    if case["library"] == "arborvane":
        return lambda x, y: call(x, y, **kwargs)
    return lambda x, y: call(**kwargs).fit(x, y)


def timed_runs(function, repeats, long_run):
    """Times `function` up to `repeats` times, stopping after a first run longer than
    `long_run` seconds; the first run is measured for peak memory. Returns (times, peak MiB,
    last result)."""
    times = []
    result = None
    for run in range(repeats):
        result = None
        gc.collect()
        if run == 0:
            with PeakAdded() as peak:
                start = time.perf_counter()
                result = function()
                times.append(time.perf_counter() - start)
        else:
            start = time.perf_counter()
            result = function()
            times.append(time.perf_counter() - start)
        if times[0] > long_run:
            break
    return times, peak.mib, result


def median_seconds(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def single_row_latency_ms(predict, x_test, calls):
    n = len(x_test)
    for i in range(3):
        predict(x_test[i % n: i % n + 1])
    times = []
    for i in range(calls):
        row = x_test[i % n: i % n + 1]
        start = time.perf_counter()
        predict(row)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def tree_count(case, model):
    if case["library"] == "arborvane":
        return model.tree_count
    if case["library"] == "lightgbm":
        return model.booster_.num_trees()
    if case["library"] == "xgboost":
        return model.get_booster().num_boosted_rounds()
    return None


def serializers(case, model):
    """(dump, load, predict-with) for the boosted model's own text form, or a reason why not."""
    library = case["library"]
    if library == "arborvane":
        import arborvane
        if not hasattr(arborvane.Model, "serialize"):
            return "Model.serialize is not available in this build"
        return (model.serialize, arborvane.Model.deserialize,
                lambda m, x: m.predict_proba(x) if case["task"] == "classification" else m.predict(x),
                model)
    if library == "lightgbm":
        import lightgbm
        booster = model.booster_
        return (booster.model_to_string, lambda text: lightgbm.Booster(model_str=text),
                lambda b, x: b.predict(x), booster)
    if library == "xgboost":
        import xgboost
        booster = model.get_booster()

        def load_raw(raw):
            loaded = xgboost.Booster()
            loaded.load_model(bytearray(raw))
            return loaded
        return (lambda: booster.save_raw("json"), load_raw,
                lambda b, x: b.predict(xgboost.DMatrix(x)), booster)
    raise ValueError(f"no serializer for {library}")


def measure_serialize(case, model, x_check, repeats):
    found = serializers(case, model)
    if isinstance(found, str):
        return {"skipped": found}
    dump, load_text, predict_with, original = found
    text = dump()
    load_text(text)  # warm-up
    dump_s = median_seconds(dump, max(repeats, 3))
    load_s = median_seconds(lambda: load_text(text), max(repeats, 3))
    loaded = load_text(text)
    before, after = predict_with(original, x_check), predict_with(loaded, x_check)
    same = (np.array_equal(before, after) if case["library"] == "arborvane"
            else np.allclose(before, after, rtol=1e-6, atol=1e-9))
    if not same:
        raise AssertionError("the deserialized model predicts differently from the original")
    size = len(text.encode()) if isinstance(text, str) else len(text)
    return {"bytes": size, "serialize_s": dump_s, "deserialize_s": load_s,
            "trees": tree_count(case, model)}


def run_model(case, config):
    sizes = config["sizes"]
    info = config["datasets"][case["dataset"]]
    task = case["task"]
    x, y, x_test, y_test = split(config["data_dir"], case["dataset"], info, 0)
    if case.get("train_rows"):
        x, y = x[:case["train_rows"]], y[:case["train_rows"]]
    fit = fit_function(case)

    def predict(model, rows):
        return model.predict(rows)

    warm = min(len(x), sizes["warm_rows"])
    model = fit(x[:warm], y[:warm])
    predict(model, x_test[:100])
    model = None

    times, peak, model = timed_runs(lambda: fit(x, y), sizes["repeats"], sizes["long_fit"])
    predict(model, x_test)  # warm-up at full size
    predict_s = median_seconds(lambda: predict(model, x_test), sizes["repeats"])
    latency = single_row_latency_ms(lambda row: predict(model, row), x_test,
                                    sizes["latency_calls"])
    scores = [metric(task, y_test, predict(model, x_test))]
    result = {"fit_s": statistics.median(times), "fit_times": times, "predict_s": predict_s,
              "predict_rows": len(x_test), "latency_ms": latency, "fit_peak_mib": peak,
              "metric_name": metric_name(task), "train_rows": len(x)}
    if case.get("serialize"):
        result["serialize"] = measure_serialize(case, model, x_test[:1000], sizes["repeats"])
    for fold in range(1, info.get("folds", 1)):
        model = None
        fx, fy, ft, fty = split(config["data_dir"], case["dataset"], info, fold)
        model = fit(fx, fy)
        scores.append(metric(task, fty, predict(model, ft)))
    result["metric"] = float(np.mean(scores))
    result["metric_folds"] = len(scores)
    return result


def frame(source, x):
    columns = [f"f{i}" for i in range(x.shape[1])]
    if source == "pandas":
        import pandas
        return pandas.DataFrame(x, columns=columns), lambda f, n: f.iloc[:n]
    if source == "polars":
        import polars
        return polars.from_numpy(x, schema=columns), lambda f, n: f[:n]
    return x, lambda f, n: f[:n]


def run_table(case, config):
    sizes = config["sizes"]
    x, y = (load(config["data_dir"], case["dataset"], part) for part in ("x", "y"))
    data, head = frame(case["source"], x)
    call = resolve(case["target"])
    kwargs = case["kwargs"]
    then, then_kwargs = case.get("then"), case.get("then_kwargs", {})

    def build(rows, targets):
        if case["target"] == "numpy:argsort":
            return call(rows, **kwargs)
        built = call(rows, targets, **kwargs)
        if then:
            getattr(built, then)(**then_kwargs)  # construct() / quantize() bin the data
        return built

    warm = min(len(x), sizes["warm_rows"])
    build(head(data, warm), y[:warm])
    times, peak, _ = timed_runs(lambda: build(data, y), sizes["repeats"], sizes["long_fit"])
    return {"fit_s": statistics.median(times), "fit_times": times, "fit_peak_mib": peak,
            "train_rows": len(x)}


def main():
    batch_path, out_path = sys.argv[1], sys.argv[2]
    with open(batch_path) as f:
        config = json.load(f)
    for case in config["cases"]:
        record = {"id": case["id"], "library": case["library"]}
        try:
            record["version"] = library_version(case["library"])
            run = run_table if case["kind"] == "table" else run_model
            record.update(run(case, config))
            record["status"] = "ok"
        except Exception:  # a failing row is reported, and the batch goes on
            record["status"] = "error"
            record["error"] = traceback.format_exc(limit=4)[-2000:]
        record["process_peak_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        with open(out_path, "a") as out:
            out.write(json.dumps(record) + "\n")
        gc.collect()


if __name__ == "__main__":
    main()
