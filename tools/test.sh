#!/usr/bin/env bash
# Bootstraps the environment (see bootstrap.sh) and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/tools/bootstrap.sh"
cd "$root"
export WANDB_MODE=offline MPLBACKEND=Agg
exec "$root/.venv/bin/python" -m pytest -q "$@"
