#!/usr/bin/env bash
# Builds the module with gcov instrumentation (build/coverage), runs the test
# suite against that build alone, and prints the line, function and branch
# coverage of src/ with the lines no test ran. A report, not a gate: a low
# figure never fails; a failing test does. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$PWD/.venv/bin/python
cmake_bin=$PWD/.venv/bin/cmake
[ -x "$cmake_bin" ] || cmake_bin=cmake
"$cmake_bin" --preset coverage -G Ninja -DPython_EXECUTABLE="$py" \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
"$cmake_bin" --build build/coverage
stage=build/coverage-stage/routes
mkdir -p "$stage"
cp build/coverage/responses_api*.so "$stage/"
cp src/routes/responses_api.pyi "$stage/"
# Counters of earlier runs would add up with this one.
find build/coverage -name '*.gcda' -delete

export PYTHONPATH=$PWD/build/coverage-stage${PYTHONPATH:+:$PYTHONPATH}
loaded=$("$py" -c 'import routes.responses_api as m; print(m.__file__)')
case "$loaded" in
  "$PWD/build/coverage-stage/"*) echo "instrumented module: $loaded" ;;
  *) echo "expected the instrumented build, got $loaded" >&2; exit 1 ;;
esac
status=0
"$py" -m pytest -q -p no:cacheprovider "$@" || status=$?

# Per file the lines never run (the "Missing" column), then the line,
# function and branch summary. A line of a template or inline function
# counts once, run when any of its instances ran.
"$PWD/.venv/bin/gcovr" --root . --filter 'src/' --gcov-executable gcov --merge-lines \
  --txt-metric line --txt-summary build/coverage
exit $status
