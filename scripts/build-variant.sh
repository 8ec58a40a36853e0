#!/usr/bin/env bash
# Builds one CMake preset of the module (asan, coverage, ...) into
# build/<preset> and stages it as build/<preset>-stage/routes, a tree that
# PYTHONPATH can put before the installed module. Sourced by the scripts
# that run the suite against such a build; sets $py to the project's Python.
py=$PWD/.venv/bin/python
cmake_bin=$PWD/.venv/bin/cmake
[ -x "$cmake_bin" ] || cmake_bin=cmake
build_variant() {
  local preset=$1
  "$cmake_bin" --preset "$preset" -G Ninja -DPython_EXECUTABLE="$py" \
    -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
  "$cmake_bin" --build "build/$preset"
  mkdir -p "build/$preset-stage/routes"
  cp "build/$preset"/responses_api*.so "build/$preset-stage/routes/"
  cp src/routes/responses_api.pyi "build/$preset-stage/routes/"
}
# Puts the staged build first on PYTHONPATH and checks that it is the module
# Python now imports, naming it with $2.
use_variant() {
  local preset=$1 label=$2
  export PYTHONPATH=$PWD/build/$preset-stage${PYTHONPATH:+:$PYTHONPATH}
  local loaded
  loaded=$("$py" -c 'import routes.responses_api as m; print(m.__file__)')
  case "$loaded" in
    "$PWD/build/$preset-stage/"*) echo "$label module: $loaded" ;;
    *) echo "expected the $preset build, got $loaded" >&2; exit 1 ;;
  esac
}
