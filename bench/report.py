"""The Markdown report and the PNG chart of one suite run."""

import math

from bench.cases import MISMATCHES, MODELS, settings_text

LIBRARY_NAMES = {"arborvane": "arborvane", "scikit-learn": "scikit-learn", "lightgbm": "LightGBM",
                 "xgboost": "XGBoost", "catboost": "CatBoost", "numpy": "NumPy"}
SOURCES = {"numpy": "a NumPy array", "pandas": "a pandas DataFrame", "polars": "a polars DataFrame"}


def seconds(value):
    if value is None:
        return "—"
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    if value >= 1:
        return f"{value:.2f}"
    if value >= 0.01:
        return f"{value:.3f}"
    return f"{value:.2g}"


def ratio(peer, ours):
    if peer is None or ours is None or ours <= 0 or peer <= 0:
        return None
    return peer / ours


def ratio_text(value):
    if value is None:
        return "—"
    return f"{value:.2f}×" if value < 10 else f"{value:.0f}×"


def mib(value):
    return "—" if value is None else f"{max(value, 0.0):,.0f}"


def workload_title(group_cases, datasets):
    case = group_cases[0]
    info = datasets[case["dataset"]]
    if case["kind"] == "table":
        return (f"Table build from {SOURCES[case['source']]}, {info['rows']:,} × "
                f"{info['features']} with targets")
    if "folds" in info:
        data = f"{info['description']}, {info['folds']}-fold cross-validation"
    else:
        rows = case.get("train_rows") or info["rows"]
        data = (f"synthetic {info['task']}, {rows:,} × {info['features']} "
                f"({info['test_rows']:,} test rows)")
    model = MODELS[case["model"]]
    kwargs = next(c["kwargs"] for c in group_cases if c["library"] == "arborvane")
    shape = f"depth {kwargs['max_depth']}"
    if "n_trees" in kwargs:
        shape = f"{kwargs['n_trees']} trees, {shape}"
    if kwargs.get("learning_rate"):
        shape += f", learning rate {kwargs['learning_rate']}"
    return f"{data} — {model}, {shape}"


def groups_of(cases):
    grouped = {}
    for case in cases:
        grouped.setdefault(case["group"], []).append(case)
    return grouped


def reference(group_cases, results):
    """The arborvane row the peers are compared with, when it ran."""
    for case in group_cases:
        record = results.get(case["id"])
        if case["matched"] and record and record["status"] == "ok":
            return record
    return None


def comparisons(cases, results, datasets, synthetic_only=True):
    """(group title, group, arborvane record, [(case, record)]) for every group with peers."""
    found = []
    for group, group_cases in groups_of(cases).items():
        if synthetic_only and not group.startswith("synthetic"):
            continue
        ours = reference(group_cases, results)
        peers = [(case, results[case["id"]]) for case in group_cases
                 if case["library"] not in ("arborvane", "numpy")
                 and results.get(case["id"], {}).get("status") == "ok"]
        if ours and peers:
            found.append((workload_title(group_cases, datasets), group, ours, peers))
    return found


def summary_table(cases, results, datasets):
    lines = ["| workload | arborvane fit s | fit: peer ÷ arborvane | arborvane predict s "
             "| predict: peer ÷ arborvane | metric: arborvane / best peer |",
             "| --- | ---: | --- | ---: | --- | --- |"]
    for title, group, ours, peers in comparisons(cases, results, datasets):
        short = title.split(" — ")[-1] if " — " in title else title
        prefix = ("classification" if "classification" in group.split("/")[0] else "regression")
        name = short if group.split("/")[1].startswith("table") else f"{prefix}: {short}"
        fit = ", ".join(f"{case['label']} {ratio_text(ratio(r['fit_s'], ours['fit_s']))}"
                        for case, r in peers)
        if "predict_s" in ours:
            predict = ", ".join(
                f"{case['label']} {ratio_text(ratio(r.get('predict_s'), ours['predict_s']))}"
                for case, r in peers)
            best = max((r["metric"] for _, r in peers))
            score = f"{ours['metric']:.4f} / {best:.4f} ({ours['metric_name']})"
            predict_s = seconds(ours["predict_s"])
        else:
            predict, score, predict_s = "—", "—", "—"
        lines.append(f"| {name} | {seconds(ours['fit_s'])} | {fit} | {predict_s} | {predict} "
                     f"| {score} |")
    return lines


def group_table(group_cases, results):
    ours = reference(group_cases, results)
    model = group_cases[0]["kind"] == "model"
    if model:
        lines = ["| library | runs | fit s | predict s | 1-row ms | fit peak MiB | metric "
                 "| fit × | predict × | 1-row × | memory × | others |",
                 "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: "
                 "| ---: |"]
    else:
        lines = ["| library | runs | build s | peak MiB | build × | memory × | others |",
                 "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for case in group_cases:
        record = results.get(case["id"], {"status": "missing"})
        name = f"{case['label']} ({record.get('version', '?')})"
        if record["status"] != "ok":
            lines.append(f"| {name} | {record['status']} |" + " |" * (10 if model else 5))
            continue
        others = f"{record.get('others_cpu', 0.0):.0%}"
        peer = ours is not None and case["library"] != "arborvane"

        def compare(key):
            return ratio_text(ratio(record.get(key), ours.get(key))) if peer else "—"
        runs = len(record["fit_times"])
        if model:
            lines.append(
                f"| {name} | {runs} | {seconds(record['fit_s'])} | "
                f"{seconds(record['predict_s'])} | {record['latency_ms']:.3g} | "
                f"{mib(record['fit_peak_mib'])} | {record['metric']:.4f} | {compare('fit_s')} | "
                f"{compare('predict_s')} | {compare('latency_ms')} | {compare('fit_peak_mib')} "
                f"| {others} |")
        else:
            lines.append(f"| {name} | {runs} | {seconds(record['fit_s'])} | "
                         f"{mib(record['fit_peak_mib'])} | {compare('fit_s')} | "
                         f"{compare('fit_peak_mib')} | {others} |")
    lines += ["", "<details><summary>calls</summary>", ""]
    lines += [f"- {case['label']}: `{settings_text(case)}`" for case in group_cases]
    lines += ["", "</details>"]
    return lines


def serialize_table(cases, results):
    lines = ["| library | trees | size MB | serialize s | MB/s | ms per tree | deserialize s "
             "| MB/s | ms per tree |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    skipped = []
    for case in cases:
        record = results.get(case["id"], {})
        measured = record.get("serialize")
        if not case.get("serialize") or not measured:
            continue
        if "skipped" in measured:
            skipped.append(f"{case['label']}: {measured['skipped']}")
            continue
        size = measured["bytes"] / 1e6
        trees = measured["trees"]
        row = [f"{case['label']} ({record['version']})", str(trees), f"{size:.2f}"]
        for key in ("serialize_s", "deserialize_s"):
            row += [seconds(measured[key]), f"{size / measured[key]:.0f}",
                    f"{measured[key] / trees * 1000:.3g}"]
        lines.append("| " + " | ".join(row) + " |")
    return lines, skipped


def lagging_rows(cases, results, datasets):
    """Where the matched arborvane row is slower than the fastest peer."""
    found = []
    for title, group, ours, peers in comparisons(cases, results, datasets):
        for key, what in (("fit_s", "fit" if "table" not in group else "build"),
                          ("predict_s", "predict"), ("latency_ms", "1-row predict")):
            timed = [(r[key], case["label"]) for case, r in peers if r.get(key)]
            if key not in ours or not timed:
                continue
            fastest, label = min(timed)
            if fastest < ours[key]:
                found.append(f"{title}: {what} {ours[key] / fastest:.2f}× slower than {label}")
    return found


def chart(path, cases, results, datasets):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels, fits, predicts = [], [], []
    for title, group, ours, peers in comparisons(cases, results, datasets):
        dataset, model = group.split("/")
        task = "cls" if "classification" in dataset else "reg"
        prefix = model if model.startswith("table") else f"{task} {model}"
        for case, record in peers:
            labels.append(f"{prefix}: {case['label']}")
            fits.append(ratio(record["fit_s"], ours["fit_s"]))
            predicts.append(ratio(record.get("predict_s"), ours.get("predict_s")))
    test_rows = next((info["test_rows"] for info in datasets.values() if "test_rows" in info), 0)
    panels = [("fit / build time", fits), (f"predict time ({test_rows:,} rows)", predicts)]
    height = max(4.0, 0.28 * len(labels) + 1.5)
    figure, axes = plt.subplots(1, 2, figsize=(13, height), sharey=True)
    positions = list(range(len(labels)))[::-1]
    for axis, (name, values) in zip(axes, panels):
        shown = [v if v else float("nan") for v in values]
        colours = ["#2a9d8f" if v and v >= 1 else "#e76f51" for v in values]
        widths = [math.log2(v) if v == v else 0 for v in shown]
        axis.barh(positions, widths, color=colours)
        for position, width, value in zip(positions, widths, values):
            if value:
                axis.text(width + (0.08 if width >= 0 else -0.08), position, ratio_text(value),
                          va="center", ha="left" if width >= 0 else "right", fontsize=6)
        axis.axvline(0, color="black", linewidth=0.8)
        ticks = [t for t in range(-6, 9)]
        axis.set_xticks(ticks)
        axis.set_xticklabels([f"{2.0 ** t:g}×" for t in ticks], fontsize=7)
        finite = [math.log2(v) for v in shown if v == v]
        if finite:
            axis.set_xlim(min(min(finite), 0) - 0.9, max(max(finite), 0) + 0.9)
        axis.set_title(f"{name}: peer ÷ arborvane (right of 1× = arborvane faster)", fontsize=9)
        axis.grid(axis="x", linewidth=0.3)
    axes[0].set_yticks(positions)
    axes[0].set_yticklabels(labels, fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def write_report(out, stem, meta, datasets, cases, results):
    markdown_path, chart_path = out / f"{stem}.md", out / f"{stem}.png"
    chart(chart_path, cases, results, datasets)
    sizes, machine = meta["sizes"], meta["machine"]
    versions = ", ".join(f"{name} {version}" for name, version in meta["versions"].items()
                         if version)
    lines = [
        f"# arborvane benchmarks, {meta['date']}" + (" (quick mode)" if meta["mode"] == "quick"
                                                     else ""),
        "",
        f"Produced by `{meta['command']}` in {meta['seconds'] / 60:.1f} minutes on "
        f"{machine['cpu']} ({machine['logical_cpus']} logical CPUs, {machine['memory_gib']} GiB, "
        f"{machine['system']}, Python {machine['python']}). " + (
            "Quick mode checks that every row is produced; its sizes are too small for the "
            "times to mean anything." if meta["mode"] == "quick" else
            "The machine is shared: before each row the run waits until other processes leave "
            f"it mostly idle, and a row during which they used more than "
            f"{meta['busy_limit']:.0%} of its CPU time is measured again (up to twice, keeping "
            "the least disturbed attempt; waiting and repeating may take "
            f"{meta['patience_s'] / 60:.0f} minutes in all). The `others` column gives that "
            f"share for each row; the largest was {meta['others_cpu_max']:.0%}."),
        "",
        f"Versions: {versions}.",
        "",
        "How the numbers are taken:",
        "",
        f"- Every library runs with {meta['threads']} threads (`physical_cores`, `n_jobs`, "
        "`nthread`, `thread_count`, and `OMP_NUM_THREADS` for scikit-learn). OpenMP wait "
        f"policy: {meta['omp_wait_policy']}. The OpenMP libraries (LightGBM, XGBoost, CatBoost, "
        "scikit-learn) spin their idle threads by default, which is fastest on a quiet machine "
        "and several times slower when other work competes for the cores; arborvane's pool "
        "threads sleep. The load averages above and per row (in the .json file) tell how quiet "
        "the machine was.",
        "- Each row runs in its own worker process on the same data files (the small real data "
        "sets: one process per library).",
        f"- Fit: one warm-up fit on the first {sizes['warm_rows']:,} training rows, then the "
        f"median of {sizes['repeats']} timed fits; a first timed fit longer than "
        f"{sizes['long_fit']:.0f} s is not repeated (the runs column says how many were timed).",
        f"- Forests on the synthetic data train on the first {sizes['forest_rows']:,} training "
        "rows (the same rows for every library): scikit-learn's RandomForest takes about a "
        "minute per 100-tree fit on 200,000 rows here and grows faster than the row count, so "
        "all 1,000,000 rows would add over ten minutes to the run for its two fits alone. Single "
        "trees, boosting and table builds use all rows.",
        f"- Predict: `predict` on all test rows, median of {sizes['repeats']} after a warm-up "
        f"call. 1-row: median of {sizes['latency_calls']} calls of `predict` on a single row.",
        "- Fit peak MiB: how far the worker's resident memory (VmHWM after resetting it via "
        "/proc/self/clear_refs) rises above its level just before the first timed fit, with the "
        "data already loaded; for table builds the same around the build.",
        "- Metric: accuracy for classification, R² for regression, on the test rows (real data "
        "sets: mean over the cross-validation folds).",
        "- Ratios (×) are the peer's value divided by arborvane's compared row (canaries=0): "
        "above 1 means arborvane is faster or smaller.",
        "- others: the share of the machine's CPU time that processes outside the suite used "
        "while the row ran (real data sets: while the library's process ran).",
        "",
        "## Summary",
        "",
    ]
    lines += summary_table(cases, results, datasets)
    lines += ["", f"![peer time ÷ arborvane time]({chart_path.name})", ""]
    lagging = lagging_rows(cases, results, datasets)
    if lagging:
        lines += ["Where arborvane trails the fastest peer:", ""]
        lines += [f"- {row}" for row in lagging]
        lines.append("")

    grouped = groups_of(cases)
    synthetic_groups = [g for g in grouped if g.startswith("synthetic")]
    real_groups = [g for g in grouped if not g.startswith("synthetic")]
    lines += ["## Table build", ""]
    for group in synthetic_groups:
        if "/table-" in group:
            lines += [f"### {workload_title(grouped[group], datasets)}", ""]
            lines += group_table(grouped[group], results) + [""]
    lines += ["## Synthetic data", ""]
    for group in synthetic_groups:
        if "/table-" not in group:
            lines += [f"### {workload_title(grouped[group], datasets)}", ""]
            lines += group_table(grouped[group], results) + [""]

    lines += ["## Serialize and deserialize", ""]
    serialize_lines, skipped = serialize_table(cases, results)
    if len(serialize_lines) > 2:
        lines += ["The boosted classification models of the synthetic data above, written to "
                  "and read from each library's own text form: arborvane `Model.serialize()` / "
                  "`Model.deserialize`, LightGBM `model_to_string()` / `Booster(model_str=)`, "
                  "XGBoost `save_raw(\"json\")` / `Booster().load_model`. Medians of 3 after a "
                  "warm-up; each read model is checked to predict as the original.", ""]
        lines += serialize_lines + [""]
    lines += [f"- {text}" for text in skipped] + ([""] if skipped else [])

    lines += ["## Real data sets (metric comparison)", "",
              "Times here are dominated by per-call overheads on a few hundred rows; the metric "
              "is the point.", ""]
    lines += real_metric_table(real_groups, grouped, results, datasets) + [""]
    for group in real_groups:
        lines += [f"### {workload_title(grouped[group], datasets)}", ""]
        lines += group_table(grouped[group], results) + [""]

    lines += ["## Settings that differ between libraries", ""]
    for key, notes in MISMATCHES.items():
        title = "All rows" if key == "all" else ("Table build" if key == "table" else
                                                 MODELS[key].capitalize())
        lines += [f"- {title}:"] + [f"  - {note}" for note in notes]
    lines.append("")

    failed = []
    for case in cases:
        record = results.get(case["id"], {"status": "missing"})
        if record["status"] != "ok":
            known = case.get("known_failure")
            error = record.get("error", record["status"]).strip().splitlines()[-1]
            failed.append(f"- {case['id']}: {known['why'] if known else error}"
                          + (f" (`{error}`)" if known else ""))
    if failed:
        lines += ["## Rows that failed", ""] + failed + [""]
    markdown_path.write_text("\n".join(lines))
    return markdown_path, chart_path


def real_metric_table(real_groups, grouped, results, datasets):
    """Data set × model: the metric of every library side by side."""
    libraries = []
    for group in real_groups:
        for case in grouped[group]:
            if case["label"] not in libraries:
                libraries.append(case["label"])
    order = ["arborvane canaries=0", "arborvane canaries=2"]
    columns = order + [label for label in libraries if label not in order]
    lines = ["| data set | model | metric | " + " | ".join(columns) + " |",
             "| --- | --- | --- |" + " ---: |" * len(columns)]
    for group in real_groups:
        dataset, model = group.split("/")
        cells = []
        for label in columns:
            case = next((c for c in grouped[group] if c["label"] == label), None)
            record = results.get(case["id"], {}) if case else {}
            if not case:
                cells.append("")
            else:
                cells.append(f"{record['metric']:.4f}" if record.get("status") == "ok" else "fails")
        name = "accuracy" if datasets[dataset]["task"] == "classification" else "R²"
        lines.append(f"| {dataset} | {MODELS[model]} | {name} | " + " | ".join(cells) + " |")
    return lines
