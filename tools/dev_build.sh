#!/usr/bin/env bash
# Incremental in-place build for development: each compiled module lands next to its
# source under src/, with its typed stub (.pyi), so `PYTHONPATH=src python -m pytest` runs
# against the working tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-$root/.venv/bin/python}
bin=$(dirname "$py")
export PATH="$bin:$PATH"
cmake -S "$root" -B "$root/build/dev" -G Ninja -DQL_INPLACE=ON -DPython_EXECUTABLE="$py" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/dev" "$@"
