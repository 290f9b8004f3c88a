#!/usr/bin/env bash
# Bootstraps the environment (see bootstrap.sh) and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/tools/bootstrap.sh"
cd "$root"
exec "$root/.venv/bin/python" examples/layers_demo.py "$@"
