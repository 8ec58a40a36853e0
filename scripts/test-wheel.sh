#!/usr/bin/env bash
# Installs the x86-64 manylinux wheel for CPython VERSION (3.13 or 3.14;
# default 3.13) from dist/ (make wheel) into a fresh virtual environment of
# that interpreter (scripts/venv.sh: the machine's 3.13, Debian's 3.14) with
# its `test` extra, runs the whole suite from the repository root against
# that installed copy, not the build tree, then checks the installed stub
# (scripts/check-typing.sh). Extra arguments go to pytest.
#
#   bash scripts/test-wheel.sh [VERSION] [PYTEST-ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
version=3.13
case ${1:-} in 3.[0-9]*) version=$1; shift ;; esac
tag=cp${version/./}
shopt -s nullglob
# Whatever its tag list (manylinux2014_x86_64.manylinux_2_17_x86_64, ...).
wheels=(dist/routes_responses_api-*-$tag-$tag-*manylinux*_x86_64.whl)
if [ ${#wheels[@]} -ne 1 ]; then
  echo "expected one $tag x86-64 manylinux wheel in dist/ (make wheel), found ${#wheels[@]}" >&2
  exit 1
fi
venv=build/wheel-venv-$version
py=$(bash scripts/venv.sh "$version" "$venv")
# The extra is what the suite needs: a missing entry fails its collection.
"$py" -m pip install --quiet "${wheels[0]}[test]" "$(grep -E '^mypy==' requirements-dev.txt)"
echo "installed: ${wheels[0]} on $("$py" -c 'import sys; print(sys.version.split()[0])')"

unset PYTHONPATH RESPONSES_API_TWIN_ONLY
# The other interpreters' x86-64 wheels, for the version check's tests.
others=(dist/routes_responses_api-*-manylinux*_x86_64.whl)
export RESPONSES_API_OTHER_WHEELS="${others[*]/${wheels[0]}}"
site=$("$py" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
if [ -e "$site/routes/__init__.py" ]; then
  echo "the wheel must not ship routes/__init__.py" >&2; exit 1
fi
# The import as the suite sees it: the repository root and tests/ come first
# on sys.path, so a stray build of the module there would win.
loaded=$("$py" -c 'import sys; sys.path[:0] = ["", "tests"]
import routes.responses_api as m; print(m.__file__)')
case "$loaded" in
  "$site/routes/responses_api.cpython-${version/./}-"*.so) echo "module under test: $loaded" ;;
  *) echo "expected the module installed in $site, got $loaded" >&2; exit 1 ;;
esac
ldd "$loaded"
status=0
"$py" -m pytest -q -p no:cacheprovider "$@" || status=$?
bash scripts/check-typing.sh "$py" || status=1
exit $status
