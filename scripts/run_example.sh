#!/usr/bin/env bash
# Sets up arborvane on a fresh machine and runs the main example on real bundled data.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_env.sh

setup_venv ".[examples]"
"$VENV/bin/python" examples/tour.py
