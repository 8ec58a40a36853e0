#!/usr/bin/env bash
# Creates .venv with CPython 3.13, installs the build and test tools, and
# builds and installs the module into it. Safe to run again: the CMake build
# directory is kept, so a rebuild only compiles what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x .venv/bin/python ]; then
  python=$(bash scripts/python313.sh)
  "$python" -m venv .venv
fi
stamp=.venv/.tools-installed
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet -r requirements-dev.txt
  touch "$stamp"
fi
.venv/bin/python -m pip install --quiet --no-build-isolation --no-deps .
