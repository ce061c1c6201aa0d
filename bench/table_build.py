"""Time and memory of building a training Table from a NumPy array.

Compares the build with numpy.argsort(x, axis=0, kind="stable") of the same array in the same
run, and reports the peak memory the build adds, as a multiple of the input array's bytes.
Each measurement runs in a fresh child process so peaks do not mix.

    python bench/table_build.py [--rows 1000000] [--features 28] [--canaries 2] [--repeats 3]
"""

import argparse
import json
import statistics
import subprocess
import sys
import time

CHILD = r"""
import json, sys, time
import numpy as np

def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])

rows, features, canaries, what = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = np.random.default_rng(42)
x = rng.normal(size=(rows, features))
y = rng.integers(0, 2, size=rows).astype(np.float64)
import arborvane
baseline = rss_kib("VmRSS:")
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")  # reset the peak to the current size
start = time.perf_counter()
if what == "arborvane":
    result = arborvane.Table(x, y, canaries=canaries)
else:
    result = np.argsort(x, axis=0, kind="stable")
seconds = time.perf_counter() - start
peak = rss_kib("VmHWM:")
print(json.dumps({"seconds": seconds, "added_bytes": (peak - baseline) * 1024,
                  "input_bytes": x.nbytes}))
"""


def run(what, args):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(args.rows), str(args.features), str(args.canaries), what],
        check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--features", type=int, default=28)
    parser.add_argument("--canaries", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    results = {what: [run(what, args) for _ in range(args.repeats)] for what in ("arborvane", "argsort")}
    build = statistics.median(r["seconds"] for r in results["arborvane"])
    argsort = statistics.median(r["seconds"] for r in results["argsort"])
    added = statistics.median(r["added_bytes"] for r in results["arborvane"])
    input_bytes = results["arborvane"][0]["input_bytes"]
    print(f"data: {args.rows} x {args.features} float64, {args.canaries} canaries, "
          f"median of {args.repeats} runs")
    print(f"arborvane.Table build : {build:8.3f} s")
    print(f"numpy argsort axis=0  : {argsort:8.3f} s")
    print(f"build / argsort       : {build / argsort:8.2f}x")
    print(f"peak memory added     : {added / 2**20:8.1f} MiB = {added / input_bytes:.2f}x input "
          f"({input_bytes / 2**20:.1f} MiB)")


if __name__ == "__main__":
    main()
