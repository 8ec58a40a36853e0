#!/usr/bin/env bash
# Builds the module with gcov instrumentation (build/coverage), runs the test
# suite against that build alone, and prints the line, function and branch
# coverage of src/ with the lines no test ran. A report, not a gate: a low
# figure never fails; a failing test does. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/build-variant.sh
build_variant coverage
# Counters of earlier runs would add up with this one.
find build/coverage -name '*.gcda' -delete
# Notes of a source file since moved or removed would break the report.
find build/coverage -name '*.cpp.gcno' | while read -r notes; do
  source=${notes#build/coverage/CMakeFiles/responses_api.dir/}
  [ -f "${source%.gcno}" ] || rm -f "$notes"
done

use_variant coverage instrumented
status=0
"$py" -m pytest -q -p no:cacheprovider "$@" || status=$?

# Per file the lines never run (the "Missing" column), then the line,
# function and branch summary. A line of a template or inline function
# counts once, run when any of its instances ran.
"$PWD/.venv/bin/gcovr" --root . --filter 'src/' --gcov-executable gcov --merge-lines \
  --txt-metric line --txt-summary build/coverage
exit $status
