#!/usr/bin/env bash
# Creates .venv with the pinned environment and builds/installs quillane into it.
# Safe to run again: finished steps are skipped and the C++ build is incremental.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
python=${PYTHON:-python3}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -c 'import sys; assert sys.version_info >= (3, 11), "quillane needs Python 3.11 or newer"'
    "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)

stamp="$venv/.quillane-deps"
if [ ! -f "$stamp" ] || [ "$root/tools/requirements.txt" -nt "$stamp" ]; then
    "${pip[@]}" install torch==2.13.0
    "${pip[@]}" install -r "$root/tools/requirements.txt"
    touch "$stamp"
fi

export PATH="$venv/bin:$PATH"
"${pip[@]}" install --no-build-isolation --no-deps "$root"
