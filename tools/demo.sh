#!/usr/bin/env bash
# Bootstraps the environment (see bootstrap.sh) and runs the demo: a synthetic speech corpus,
# a speech recogniser and a character LM trained on it, and a results table.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/tools/bootstrap.sh"
cd "$root"
exec "$root/.venv/bin/quillane" demo "$@"
