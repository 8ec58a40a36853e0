#!/usr/bin/env bash
# Runs the test files named in tests/aarch64-subset.txt against the aarch64
# wheel from dist/ (make wheel), installed for aarch64, on an aarch64 CPython
# 3.13 under qemu user-mode emulation (scripts/aarch64-root.sh prepares it).
# Prints the module file imported and the time taken. Extra arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
shopt -s nullglob
wheels=(dist/routes_responses_api-*-*manylinux*_aarch64.whl)
if [ ${#wheels[@]} -ne 1 ]; then
  echo "expected one aarch64 manylinux wheel in dist/ (make wheel), found ${#wheels[@]}" >&2
  exit 1
fi
bash scripts/aarch64-root.sh
base=$PWD/build/aarch64
site=$base/wheel-site
rm -rf "$site"
"$PWD/.venv/bin/python" -m pip install --quiet --no-deps --target "$site" \
  --platform manylinux2014_aarch64 --only-binary=:all: --python-version 3.13 \
  --implementation cp --abi cp313 "${wheels[0]}"
echo "installed: ${wheels[0]}"
if [ -e "$site/routes/__init__.py" ]; then
  echo "the wheel must not ship routes/__init__.py" >&2; exit 1
fi

mapfile -t subset < <(sed -e 's/#.*//' -e 's/[[:space:]]*$//' -e '/^$/d' tests/aarch64-subset.txt)
unset RESPONSES_API_TWIN_ONLY
export PYTHONPATH=$site:$base/deps
# Bytecode of the tests is written once, by the host, not under emulation.
"$(bash scripts/python313.sh)" -m compileall -q tests >/dev/null || true
python=("$base/bin/python3.13")
loaded=$("${python[@]}" -c 'import platform, sys; sys.path[:0] = ["", "tests"]
import routes.responses_api as m; print(platform.machine(), m.__file__)')
case "$loaded" in
  "aarch64 $site/routes/responses_api.cpython-313-aarch64-linux-gnu.so") echo "module under test: $loaded" ;;
  *) echo "expected the aarch64 module installed in $site, got: $loaded" >&2; exit 1 ;;
esac
start=$(date +%s)
status=0
"${python[@]}" -m pytest -q -p no:cacheprovider "${subset[@]}" "$@" || status=$?
echo "aarch64 subset (${#subset[@]} files) under emulation: $(( $(date +%s) - start )) s"
exit $status
