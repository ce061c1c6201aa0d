#!/usr/bin/env bash
# Sets up everything the tests need on a fresh machine, then runs the C++ unit tests and the
# Python tests. Safe to run again: installs are skipped when already done.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_env.sh

setup_gtest
setup_venv ".[test]"

echo "== C++ unit tests"
cmake -S . -B build/cpp -G Ninja -DARBORVANE_BUILD_TESTS=ON -DARBORVANE_WERROR=ON >/dev/null
cmake --build build/cpp -j "$(nproc)"
ctest --test-dir build/cpp --output-on-failure -j "$(nproc)"

echo "== Python tests"
# Run from outside the source tree so the installed module is the one imported.
(cd /tmp && "$VENV/bin/python" -m pytest "$OLDPWD/tests/python" -q -p no:cacheprovider)
