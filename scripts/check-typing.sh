#!/usr/bin/env bash
# Checks the stub the way a host's type checker meets it, with the
# interpreter PYTHON of an environment where the module is installed (and
# mypy): mypy.stubtest compares the installed stub with the installed
# module, and mypy --strict checks tests/typed_usage.py against it (which
# needs the py.typed marker beside the stub).
#
#   bash scripts/check-typing.sh PYTHON
set -euo pipefail
cd "$(dirname "$0")/.."
py=$1
status=0
echo "stubtest:"
"$py" -m mypy.stubtest routes.responses_api || status=1
echo "mypy tests/typed_usage.py:"
"$py" -m mypy --strict --warn-unused-ignores --cache-dir=/dev/null tests/typed_usage.py || status=1
exit $status
