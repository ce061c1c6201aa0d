# Shared set-up steps, sourced by the scripts beside this file.
VENV="${ARBORVANE_VENV:-$PWD/.venv}"

# GoogleTest comes from Debian's packages.
setup_gtest() {
  if [ ! -f /usr/include/gtest/gtest.h ]; then
    echo "== installing GoogleTest"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq libgtest-dev >/dev/null
  fi
}

# A virtual environment with arborvane built from this checkout plus the given extras,
# e.g. setup_venv ".[test]".
setup_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    echo "== creating $VENV"
    python3 -m venv "$VENV"
    "$VENV/bin/pip" install -q --upgrade pip
  fi
  echo "== building and installing arborvane $1"
  "$VENV/bin/pip" install -q cmake ninja
  "$VENV/bin/pip" install -q "$1"
  export PATH="$VENV/bin:$PATH"
}
