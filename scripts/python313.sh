#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: python3.13 on PATH, else one
# under pyenv's versions folder. Exits 1 when there is none.
set -euo pipefail
for candidate in python3.13 python3; do
  if path=$(command -v "$candidate" 2>/dev/null) &&
     "$path" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    echo "$path"; exit 0
  fi
done
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
else
  root=${PYENV_ROOT:-$HOME/.pyenv}
fi
for path in "$root"/versions/3.13*/bin/python3.13; do
  if [ -x "$path" ]; then echo "$path"; exit 0; fi
done
echo "CPython 3.13 not found (looked for python3.13 on PATH and under $root/versions)" >&2
exit 1
