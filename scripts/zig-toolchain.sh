#!/usr/bin/env bash
# Writes a CMake toolchain file for zig's C++ (the ziglang package in .venv)
# targeting TARGET, e.g. x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17, and
# prints its path: build/zig/TARGET/toolchain.cmake, beside the compiler and
# archiver wrappers it names. zig links its own libc++ into the module, built
# for that target and glibc once and kept in build/zig-cache.
set -euo pipefail
cd "$(dirname "$0")/.."
target=$1
zig=$(.venv/bin/python -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
dir=$PWD/build/zig/$target
cache=$PWD/build/zig-cache
mkdir -p "$dir" "$cache"
for tool in c++ ar ranlib; do
  case $tool in
    c++) cmd="c++ -target $target" ;;
    *) cmd=$tool ;;
  esac
  printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s ZIG_LOCAL_CACHE_DIR=%s exec %s %s "$@"\n' \
    "$cache" "$cache" "$zig" "$cmd" >"$dir/$tool"
  chmod +x "$dir/$tool"
done
arch=${target%%-*}
{
  if [ "$arch" != "$(uname -m)" ]; then
    echo "set(CMAKE_SYSTEM_NAME Linux)"
    echo "set(CMAKE_SYSTEM_PROCESSOR $arch)"
  fi
  echo "set(CMAKE_CXX_COMPILER $dir/c++)"
  echo "set(CMAKE_AR $dir/ar)"
  echo "set(CMAKE_RANLIB $dir/ranlib)"
  echo "set(RESPONSES_API_STATIC_RUNTIME OFF CACHE BOOL \"zig links its libc++ statically\" FORCE)"
} >"$dir/toolchain.cmake"
echo "$dir/toolchain.cmake"
