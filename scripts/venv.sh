#!/usr/bin/env bash
# Creates a fresh virtual environment DIR for CPython VERSION
# (scripts/python.sh) with pip in it, and prints its interpreter's path.
# Debian's interpreters come without ensurepip: the environment is made
# without pip, and .venv's pip (make setup) installs pip into it.
#
#   bash scripts/venv.sh VERSION DIR
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1 dir=$2
python=$(bash scripts/python.sh "$version")
rm -rf "$dir"
if "$python" -c 'import ensurepip' 2>/dev/null; then
  "$python" -m venv "$dir"
else
  "$python" -m venv --without-pip "$dir"
  .venv/bin/python -m pip --python "$dir/bin/python" install --quiet pip >&2
fi
echo "$(cd "$dir" && pwd)/bin/python"
