"""Runs the benchmark suite and writes the report.

    python -m bench                # full run: bench/results/<date>.md, .png and .json
    python -m bench --quick        # tiny sizes into a temporary directory; checks every row
    python -m bench --only gbm     # only the rows whose id contains "gbm"

Each library runs in its own worker process (one per row for the large data; one per library
for the small real data sets and in quick mode), on the same data files. The run exits non-zero when a row is missing or failed; it never judges a time.
"""

import argparse
import dataclasses
import datetime
import importlib.metadata
import importlib.util
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench import cases as suite
from bench.common import N_FEATURES, write_datasets

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
LIBRARIES = ["arborvane", "numpy", "scikit-learn", "lightgbm", "xgboost", "catboost",
             "pandas", "polars", "matplotlib"]


def versions():
    found = {}
    for name in LIBRARIES:
        try:
            found[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            found[name] = None
    return found


def serialize_available():
    import arborvane
    return hasattr(arborvane.Model, "serialize")


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info
                       if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return {"cpu": cpu, "logical_cpus": os.cpu_count(), "memory_gib": round(memory, 1),
            "python": platform.python_version(), "system": platform.platform()}


def batches(cases, quick):
    """Groups cases into worker processes: one per row on the large synthetic data, so each
    peak memory reading starts from a fresh process; one per library for the small real data
    sets, and for everything in quick mode."""
    grouped = {}
    for case in cases:
        if case["dataset"].startswith("synthetic") and not quick:
            key = case["id"]
        else:
            key = ("small" if not quick else "quick", case["library"])
        grouped.setdefault(key, []).append(case)
    return list(grouped.values())


BUSY_LIMIT = 0.15  # share of the machine other processes may use while a row runs
PATIENCE = 1200.0  # seconds a full run may spend waiting for quiet and measuring again


def machine_busy_seconds():
    """CPU seconds every process has spent since boot (all cores, not counting idle time)."""
    with open("/proc/stat") as stat:
        values = [int(v) for v in stat.readline().split()[1:9]]
    idle = values[3] + values[4]  # idle and iowait
    return (sum(values) - idle) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds():
    """CPU seconds of this process and of its finished workers."""
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


class OthersLoad:
    """The share of the machine's CPU time that other processes used between start and
    stop."""

    def start(self):
        self.wall, self.busy, self.own = time.time(), machine_busy_seconds(), own_cpu_seconds()
        return self

    def stop(self):
        wall = max(time.time() - self.wall, 1e-9)
        others = (machine_busy_seconds() - self.busy) - (own_cpu_seconds() - self.own)
        return max(0.0, others) / (wall * os.cpu_count())


def wait_until_quiet(longest=300.0):
    """Waits (up to `longest` seconds) until other processes leave the machine mostly idle;
    returns the seconds waited."""
    started = time.time()
    while time.time() - started < longest:
        meter = OthersLoad().start()
        time.sleep(1.0)
        if meter.stop() < BUSY_LIMIT:
            break
        time.sleep(9.0)
    return time.time() - started


def run_batch(batch, config, work, index, timeout, quick):
    batch_path = work / f"batch{index}.json"
    out_path = work / f"batch{index}.jsonl"
    log_path = work / f"batch{index}.log"
    batch_path.write_text(json.dumps({**config, "cases": batch}))
    env = dict(os.environ, PYTHONPATH=str(ROOT) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[variable] = str(suite.THREADS)
    if quick:
        # Quick runs time nothing: idle OpenMP threads sleep instead of spinning, so a busy CI
        # machine does not stretch the run. Full runs keep each library's default.
        env.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    failure = None
    with open(log_path, "w") as log:
        try:
            completed = subprocess.run(
                [sys.executable, "-m", "bench.worker", str(batch_path), str(out_path)],
                cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT, timeout=timeout)
            if completed.returncode != 0:
                failure = f"worker exited with status {completed.returncode}"
        except subprocess.TimeoutExpired:
            failure = f"worker timed out after {timeout} s"
    records = {}
    if out_path.exists():
        for line in out_path.read_text().splitlines():
            record = json.loads(line)
            records[record["id"]] = record
    if failure:
        tail = log_path.read_text()[-1500:]
        for case in batch:
            records.setdefault(case["id"], {"id": case["id"], "library": case["library"],
                                            "status": "error", "error": f"{failure}\n{tail}"})
    return records


def measure(batch, config, work, index, timeout, quick, patience):
    """Runs a batch. In a full run it first waits for the machine to be quiet and runs the batch
    again (up to twice) when other processes took more than BUSY_LIMIT of the machine, keeping
    the least disturbed attempt. Waiting and repeating spend from `patience` (a one-element
    list of seconds) so a machine that stays busy cannot stretch the run without bound."""
    best = None
    for attempt in range(1 if quick else 3):
        waited = 0.0
        if not quick and patience[0] > 0:
            waited = wait_until_quiet(min(120.0, patience[0]))
            patience[0] -= waited
        started = time.time()
        meter = OthersLoad().start()
        records = run_batch(batch, config, work, index, timeout, quick)
        share = meter.stop()
        if attempt > 0:
            patience[0] -= time.time() - started
        for record in records.values():
            record.update(others_cpu=share, attempt=attempt + 1, waited_s=waited)
        if best is None or share < best[0]:
            best = (share, records)
        if share < BUSY_LIMIT or patience[0] <= 0 or attempt == 2:
            break
        print(f"    others used {share:.0%} of the machine; measuring again", flush=True)
    return best[1]


def problems(cases, results, serialize):
    """Every expected row that is missing or failed, as text."""
    found = []
    for case in cases:
        record = results.get(case["id"])
        known = case.get("known_failure")
        if record is None:
            found.append(f"{case['id']}: missing")
        elif known:
            if record["status"] == "ok":
                found.append(f"{case['id']}: succeeds now; remove its entry from "
                             "KNOWN_FAILURES in bench/cases.py")
            elif known["error"] not in record.get("error", ""):
                found.append(f"{case['id']}: {record.get('error', 'failed').strip()}")
        elif record["status"] != "ok":
            found.append(f"{case['id']}: {record.get('error', 'failed').strip()}")
        elif case.get("serialize"):
            measured = record.get("serialize", {})
            skipped = "skipped" in measured
            if "bytes" not in measured and not (skipped and case["library"] == "arborvane"
                                                and not serialize):
                found.append(f"{case['id']}: serialize row missing ({measured})")
    return found


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes, report into a temporary directory, check every row")
    parser.add_argument("--out", type=Path, default=None,
                        help="report directory (default: bench/results for a full run, a "
                             "temporary one with --quick, --only or --rows)")
    parser.add_argument("--only", default=None, help="run only rows whose id contains this text")
    parser.add_argument("--rows", type=int, default=None,
                        help="synthetic training rows (test rows: a fifth of them)")
    args = parser.parse_args(argv)

    sizes = suite.QUICK if args.quick else suite.FULL
    if args.rows:
        sizes = dataclasses.replace(sizes, n_train=args.rows, n_test=max(1, args.rows // 5))
    partial = args.quick or args.only or args.rows
    out = args.out or (Path(tempfile.mkdtemp(prefix="arborvane-bench-")) if partial else RESULTS)
    out.mkdir(parents=True, exist_ok=True)
    started = time.time()
    found_versions = versions()
    catboost = importlib.util.find_spec("catboost") is not None
    serialize = serialize_available()

    with tempfile.TemporaryDirectory(prefix="arborvane-bench-data-") as directory:
        work = Path(directory)
        print(f"writing data sets ({sizes.n_train:,} x {N_FEATURES} synthetic) ...",
              flush=True)
        datasets = write_datasets(work, sizes.n_train, sizes.n_test, sizes.folds)
        cases = suite.all_cases(datasets, sizes, catboost, serialize)
        if args.only:
            cases = [case for case in cases if args.only in case["id"]]
        config = {"data_dir": str(work), "datasets": datasets, "sizes": sizes.__dict__}
        results = {}
        groups = batches(cases, args.quick)
        timeout = 600 if args.quick else 3600
        patience = [PATIENCE]
        for index, batch in enumerate(groups, 1):
            batch_started = time.time()
            records = measure(batch, config, work, index, timeout, args.quick, patience)
            results.update(records)
            for case in batch:
                record = records.get(case["id"], {"status": "missing"})
                detail = (f"fit {record['fit_s']:.3f} s" if record["status"] == "ok"
                          else record["status"].upper())
                print(f"[{index}/{len(groups)}] {case['id']}: {detail}", flush=True)
            if len(batch) > 1:
                print(f"    batch took {time.time() - batch_started:.1f} s", flush=True)

    meta = {
        "date": datetime.date.today().isoformat(),
        "mode": "quick" if args.quick else "full",
        "only": args.only,
        "sizes": sizes.__dict__,
        "threads": suite.THREADS,
        "omp_wait_policy": os.environ.get("OMP_WAIT_POLICY",
                                          "PASSIVE" if args.quick else "library default"),
        "versions": found_versions,
        "catboost": catboost,
        "serialize": serialize,
        "machine": machine(),
        "others_cpu_max": max([0.0] + [r.get("others_cpu", 0.0) for r in results.values()]),
        "busy_limit": BUSY_LIMIT,
        "patience_s": PATIENCE,
        "patience_left_s": patience[0],
        "seconds": time.time() - started,
        "command": "python -m bench" + (" --quick" if args.quick else "")
                   + (f" --rows {args.rows}" if args.rows else ""),
    }
    stem = meta["date"]
    (out / f"{stem}.json").write_text(json.dumps(
        {"meta": meta, "datasets": datasets, "cases": cases, "results": results}, indent=1))

    from bench.report import write_report
    markdown, chart = write_report(out, stem, meta, datasets, cases, results)
    print(f"report: {markdown}\nchart: {chart}\ntook {meta['seconds']:.0f} s")

    found = problems(cases, results, serialize)
    if found:
        print(f"\n{len(found)} row(s) missing or failed:", file=sys.stderr)
        for problem in found:
            print(f"- {problem}", file=sys.stderr)
        return 1
    return 0
