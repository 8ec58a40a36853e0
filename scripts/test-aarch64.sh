#!/usr/bin/env bash
# Runs the test files named in tests/aarch64-subset.txt against the aarch64
# wheel for CPython VERSION (3.13 or 3.14; default 3.13) from dist/ (make
# wheel), installed for aarch64, on Debian's aarch64 CPython VERSION under
# qemu user-mode emulation (scripts/debian-root.sh prepares it). Prints the
# module file imported and the time taken. Extra arguments go to pytest.
#
#   bash scripts/test-aarch64.sh [VERSION] [PYTEST-ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
version=3.13
case ${1:-} in 3.[0-9]*) version=$1; shift ;; esac
tag=cp${version/./}
shopt -s nullglob
wheels=(dist/routes_responses_api-*-$tag-$tag-*manylinux*_aarch64.whl)
if [ ${#wheels[@]} -ne 1 ]; then
  echo "expected one $tag aarch64 manylinux wheel in dist/ (make wheel), found ${#wheels[@]}" >&2
  exit 1
fi
base=$(bash scripts/debian-root.sh aarch64 "$version")
site=$base/wheel-site
rm -rf "$site"
"$PWD/.venv/bin/python" -m pip install --quiet --no-deps --target "$site" \
  --platform manylinux2014_aarch64 --only-binary=:all: --python-version "$version" \
  --implementation cp --abi "$tag" "${wheels[0]}"
echo "installed: ${wheels[0]}"
if [ -e "$site/routes/__init__.py" ]; then
  echo "the wheel must not ship routes/__init__.py" >&2; exit 1
fi

mapfile -t subset < <(sed -e 's/#.*//' -e 's/[[:space:]]*$//' -e '/^$/d' tests/aarch64-subset.txt)
unset RESPONSES_API_TWIN_ONLY
export PYTHONPATH=$site:$base/deps
# Bytecode of the tests is written once, by a native interpreter, not under emulation.
"$(bash scripts/python.sh "$version")" -m compileall -q tests >/dev/null || true
python=("$base/bin/python$version")
loaded=$("${python[@]}" -c 'import platform, sys; sys.path[:0] = ["", "tests"]
import routes.responses_api as m; print(platform.machine(), sys.version.split()[0], m.__file__)')
case "$loaded" in
  "aarch64 $version."*" $site/routes/responses_api.cpython-${version/./}-aarch64-linux-gnu.so") echo "module under test: $loaded" ;;
  *) echo "expected the aarch64 module installed in $site, got: $loaded" >&2; exit 1 ;;
esac
start=$(date +%s)
status=0
"${python[@]}" -m pytest -q -p no:cacheprovider "${subset[@]}" "$@" || status=$?
echo "aarch64 $version subset (${#subset[@]} files) under emulation: $(( $(date +%s) - start )) s"
exit $status
