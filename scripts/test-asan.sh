#!/usr/bin/env bash
# Builds the module with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs the test suite against it. The interpreter itself is not instrumented,
# so the sanitizer runtime is preloaded; leak detection is off because the
# interpreter keeps memory alive at exit by design. Extra arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$PWD/.venv/bin/python
cmake_bin=$PWD/.venv/bin/cmake
[ -x "$cmake_bin" ] || cmake_bin=cmake
"$cmake_bin" --preset asan -G Ninja -DPython_EXECUTABLE="$py" \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
"$cmake_bin" --build build/asan
stage=build/asan-stage/routes
mkdir -p "$stage"
cp build/asan/responses_api*.so "$stage/"
cp src/routes/responses_api.pyi "$stage/"

export PYTHONPATH=$PWD/build/asan-stage${PYTHONPATH:+:$PYTHONPATH}
# libstdc++ is preloaded too: the runtime must see it at start-up to intercept C++ throws.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
# Resident-size checks mean nothing under the sanitizer (quarantined frees).
export RESPONSES_API_SANITIZED=1
loaded=$("$py" -c 'import routes.responses_api as m; print(m.__file__)')
case "$loaded" in
  "$PWD/build/asan-stage/"*) echo "sanitized module: $loaded" ;;
  *) echo "expected the sanitized build, got $loaded" >&2; exit 1 ;;
esac
exec "$py" -m pytest -q -p no:cacheprovider "$@"
