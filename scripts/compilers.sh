#!/usr/bin/env bash
# Builds the module from the sdist alone (dist/, else a fresh one) with each
# compiler and C++ runtime given as COMPILER:RUNTIME (runtime libstdc++ or
# libc++; default: g++ and clang++-14, each with both), warnings as errors,
# each into build/compilers/NAME from scratch; then imports each build and
# runs the surface and reader tests against it. The LLVM version whose libc++
# serves g++ and clang alike is $LLVM (14, the fuzzing compiler's). Installs
# clang and libc++ from Debian when missing.
#
#   bash scripts/compilers.sh [COMPILER:RUNTIME...]
set -euo pipefail
cd "$(dirname "$0")/.."
LLVM=${LLVM:-14}
combos=("$@")
[ ${#combos[@]} -gt 0 ] ||
  combos=(g++:libstdc++ g++:libc++ clang++-$LLVM:libstdc++ clang++-$LLVM:libc++)
py=$PWD/.venv/bin/python
export PATH=$PWD/.venv/bin:$PATH
libcxx=/usr/lib/llvm-$LLVM
if ! command -v clang++-$LLVM >/dev/null || [ ! -f $libcxx/include/c++/v1/vector ] || [ ! -f $libcxx/lib/libc++abi.a ]; then
  echo "installing clang-$LLVM and libc++-$LLVM-dev" >&2
  sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  pkgs="clang-$LLVM libc++-$LLVM-dev libc++abi-$LLVM-dev"
  $sudo apt-get install -y -qq $pkgs >/dev/null 2>&1 ||
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq $pkgs >/dev/null; }
fi

base=build/compilers
shopt -s nullglob
sdists=(dist/routes_responses_api-*.tar.gz)
if [ ${#sdists[@]} -eq 0 ]; then
  rm -rf $base/sdist
  "$py" -m build --sdist --outdir $base/sdist . >/dev/null
  sdists=($base/sdist/routes_responses_api-*.tar.gz)
fi
rm -rf $base/src && mkdir -p $base/src
tar -xzf "${sdists[0]}" -C $base/src --strip-components=1
echo "source: ${sdists[0]}"

summary=()
for combo in "${combos[@]}"; do
  cxx=${combo%%:*} runtime=${combo#*:}
  name=${cxx//+/x}-$runtime
  name=${name//+/x}
  args=()
  case $runtime in
    libstdc++) ;;
    libc++)
      if "$cxx" --version | grep -q clang; then
        # -stdlib=libc++ makes the module link libc++ and its ABI library in.
        args+=(-DCMAKE_CXX_FLAGS=-stdlib=libc++)
      else
        # g++ has no -stdlib: libc++'s headers replace libstdc++'s, and the
        # module links the shared libc++ instead of the default runtime.
        args+=("-DCMAKE_CXX_FLAGS=-nostdinc++ -isystem $libcxx/include/c++/v1"
               "-DCMAKE_MODULE_LINKER_FLAGS=-nodefaultlibs -L$libcxx/lib"
               "-DCMAKE_CXX_STANDARD_LIBRARIES=-lc++ -lc++abi -lm -lc -lgcc_s -lgcc"
               -DRESPONSES_API_STATIC_RUNTIME=OFF)
      fi ;;
    *) echo "unknown runtime $runtime (libstdc++ or libc++)" >&2; exit 1 ;;
  esac
  dir=$base/$name
  rm -rf "$dir" "$dir-stage"
  echo "== $cxx with $runtime"
  start=$(date +%s)
  cmake -S $base/src -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DPython_EXECUTABLE="$py" "${args[@]}" >"$dir.log" 2>&1 ||
    { cat "$dir.log" >&2; exit 1; }
  cmake --build "$dir" >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
  warnings=$(grep -c 'warning:' "$dir.log" || true)
  mkdir -p "$dir-stage/routes"
  cp "$dir"/responses_api*.so $base/src/src/routes/responses_api.pyi "$dir-stage/routes/"
  so=$(ls "$dir-stage"/routes/responses_api*.so)
  exported=$(nm -D --defined-only "$so" | awk '{print $3}' | tr '\n' ' ')
  needed=$(readelf -d "$so" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  loaded=$(PYTHONPATH=$PWD/$dir-stage "$py" -c 'import routes.responses_api as m; print(m.__file__)')
  [ "$loaded" = "$PWD/$so" ] || { echo "imported $loaded, not $so" >&2; exit 1; }
  PYTHONPATH=$PWD/$dir-stage "$py" -m pytest -q -p no:cacheprovider tests/test_surface.py \
    tests/streaming/test_reader.py | tail -n 1
  summary+=("$cxx $runtime: $(( $(date +%s) - start )) s, $warnings warnings, exports: $exported; needs: $needed")
done
printf '%s\n' "${summary[@]}"
