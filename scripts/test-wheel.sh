#!/usr/bin/env bash
# Installs the x86-64 manylinux wheel from dist/ (make wheel) into a fresh virtual
# environment with the test tools, and runs the whole suite from the
# repository root against that installed copy, not the build tree. Extra
# arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
shopt -s nullglob
# Whatever its tag list (manylinux2014_x86_64.manylinux_2_17_x86_64, ...).
wheels=(dist/routes_responses_api-*-*manylinux*_x86_64.whl)
if [ ${#wheels[@]} -ne 1 ]; then
  echo "expected one x86-64 manylinux wheel in dist/ (make wheel), found ${#wheels[@]}" >&2
  exit 1
fi
venv=build/wheel-venv
rm -rf "$venv"
"$(bash scripts/python313.sh)" -m venv "$venv"
py=$PWD/$venv/bin/python
"$py" -m pip install --quiet -r requirements-dev.txt
"$py" -m pip install --quiet --no-deps "${wheels[0]}"
echo "installed: ${wheels[0]}"

unset PYTHONPATH RESPONSES_API_TWIN_ONLY
site=$("$py" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
if [ -e "$site/routes/__init__.py" ]; then
  echo "the wheel must not ship routes/__init__.py" >&2; exit 1
fi
# The import as the suite sees it: the repository root and tests/ come first
# on sys.path, so a stray build of the module there would win.
loaded=$("$py" -c 'import sys; sys.path[:0] = ["", "tests"]
import routes.responses_api as m; print(m.__file__)')
case "$loaded" in
  "$site/routes/responses_api.cpython-313-"*.so) echo "module under test: $loaded" ;;
  *) echo "expected the module installed in $site, got $loaded" >&2; exit 1 ;;
esac
ldd "$loaded"
exec "$py" -m pytest -q -p no:cacheprovider "$@"
