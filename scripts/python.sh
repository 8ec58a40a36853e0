#!/usr/bin/env bash
# Prints the path of a native CPython VERSION (3.13 or 3.14) for this
# machine: for 3.13 the machine's own (scripts/python313.sh); for 3.14
# Debian's, from a minimal root of its suite (scripts/debian-root.sh), since
# the machine's Debian may be too old to run it.
#
#   bash scripts/python.sh VERSION
set -euo pipefail
cd "$(dirname "$0")/.."
case $1 in
  3.13) bash scripts/python313.sh ;;
  3.14) echo "$(bash scripts/debian-root.sh "$(uname -m)" 3.14)/bin/python3.14" ;;
  *) echo "CPython $1 is not one the project builds for (3.13, 3.14)" >&2; exit 1 ;;
esac
