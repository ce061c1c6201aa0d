#!/usr/bin/env bash
# Sets up the benchmark environment (arborvane and its peers) and runs the suite. Arguments go
# to the suite: none for the full run (bench/results/<date>.md, .png, .json), --quick for tiny
# sizes that only check every row is produced, --only <text> for a subset.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_env.sh

setup_venv ".[bench]"
"$VENV/bin/python" -m bench "$@"
