#!/usr/bin/env bash
# Prepares the fuzzing build, all of it under build/:
#   - clang 14 and its runtime archives from Debian (installed when missing);
#   - build/fuzz: the module compiled by clang with AddressSanitizer,
#     UndefinedBehaviorSanitizer and libFuzzer's coverage counters, staged as
#     build/fuzz-stage/routes;
#   - build/fuzz-rt/asan_with_fuzzer.so: the ASan runtime and libFuzzer
#     linked into one library, preloaded into the interpreter, so that the
#     coverage of the native code and of the Python twin both reach libFuzzer;
#   - build/fuzz-venv: CPython 3.13 with atheris (fuzz/requirements.txt).
# Needs .venv (make setup) for cmake and ninja. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
LLVM=14
RT=/usr/lib/llvm-$LLVM/lib/clang
if ! command -v clang++-$LLVM >/dev/null || ! ls $RT/*/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a >/dev/null 2>&1; then
  echo "installing clang-$LLVM and libclang-rt-$LLVM-dev" >&2
  sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -qq clang-$LLVM libclang-rt-$LLVM-dev >/dev/null 2>&1 ||
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq clang-$LLVM libclang-rt-$LLVM-dev >/dev/null; }
fi
RT=$(dirname "$(ls $RT/*/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a | head -n1)")

# ASan runtime + libFuzzer in one shared library (the preinit object is
# dropped: a preloaded library initialises itself).
lib=build/fuzz-rt/asan_with_fuzzer.so
if [ ! -f "$lib" ]; then
  work=build/fuzz-rt/work
  rm -rf "$work" && mkdir -p "$work/fuzzer"
  cp "$RT/libclang_rt.asan-x86_64.a" "$work/merged.a"
  ar d "$work/merged.a" asan_preinit.cpp.o
  (cd "$work/fuzzer" && ar x "$RT/libclang_rt.fuzzer_no_main-x86_64.a" && ar r ../merged.a ./*.o)
  clang++-$LLVM -shared -o "$lib" -Wl,--whole-archive "$work/merged.a" "$RT/libclang_rt.asan_cxx-x86_64.a" \
    -Wl,--no-whole-archive -lpthread -ldl
  rm -rf "$work"
fi

cmake_bin=$PWD/.venv/bin/cmake
[ -x "$cmake_bin" ] || cmake_bin=cmake
ninja_bin=$PWD/.venv/bin/ninja
[ -x "$ninja_bin" ] || ninja_bin=$(command -v ninja)
python=$(bash scripts/python313.sh)
"$cmake_bin" -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja_bin" -DPython_EXECUTABLE="$python" \
  -DCMAKE_CXX_COMPILER=clang++-$LLVM -DCMAKE_BUILD_TYPE=Debug -DRESPONSES_API_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
"$cmake_bin" --build build/fuzz >/dev/null
mkdir -p build/fuzz-stage/routes
cp build/fuzz/responses_api*.so src/routes/responses_api.pyi build/fuzz-stage/routes/

venv=build/fuzz-venv
[ -x $venv/bin/python ] || "$python" -m venv $venv
stamp=$venv/.installed
if [ ! -f $stamp ] || [ fuzz/requirements.txt -nt $stamp ]; then
  $venv/bin/python -m pip install --quiet --disable-pip-version-check -r fuzz/requirements.txt
  touch $stamp
fi
