#!/usr/bin/env bash
# make format: rewrites the C++ and the Python as make lint checks them.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard 'src/*.cpp' 'src/*.hpp' | xargs .venv/bin/clang-format -i
.venv/bin/ruff format --quiet .
