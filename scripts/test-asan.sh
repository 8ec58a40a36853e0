#!/usr/bin/env bash
# Builds the module with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs the test suite against it. The interpreter itself is not instrumented,
# so the sanitizer runtime is preloaded; leak detection is off because the
# interpreter keeps memory alive at exit by design. Extra arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/build-variant.sh
build_variant asan

# libstdc++ is preloaded too: the runtime must see it at start-up to intercept C++ throws.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
# Resident-size checks mean nothing under the sanitizer (quarantined frees).
export RESPONSES_API_SANITIZED=1
use_variant asan sanitized
exec "$py" -m pytest -q -p no:cacheprovider "$@"
