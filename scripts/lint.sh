#!/usr/bin/env bash
# make lint: the C++ formatted as .clang-format says (clang-format
# --dry-run -Werror), the Python as pyproject's ruff settings say (ruff
# format --check), ruff check, and clang-tidy with the checks of .clang-tidy
# over every source file, on both cores. Each part runs; the script fails
# if any of them found something. The tools are installed into .venv from
# requirements-dev.txt by `make setup`.
set -uo pipefail
cd "$(dirname "$0")/.."
bin=.venv/bin
status=0
part() { echo "== $1"; shift; "$@" || { echo "== failed: $*"; status=1; }; }

mapfile -t sources < <(git ls-files -co --exclude-standard 'src/*.cpp' 'src/*.hpp')
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$')

part clang-format "$bin/clang-format" --dry-run -Werror "${sources[@]}"
part "ruff format" "$bin/ruff" format --check --quiet .
part "ruff check" "$bin/ruff" check --quiet .

# clang-tidy reads the compile commands of a configure-only build tree
# (nothing is compiled there).
tidy() {
  "$bin/cmake" -S . -B build/lint -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPython_EXECUTABLE="$PWD/$bin/python" -DCMAKE_MAKE_PROGRAM="$PWD/$bin/ninja" >build/lint.log 2>&1 ||
    { cat build/lint.log; return 1; }
  # --quiet leaves clang-tidy's count of the system headers' suppressed warnings.
  printf '%s\n' "${units[@]}" | xargs -P 2 -n 1 "$bin/clang-tidy" -p build/lint --quiet 2>&1 |
    grep -v '^[0-9]* warnings\? generated\.$'
  return "${PIPESTATUS[1]}"
}
part clang-tidy tidy
exit $status
