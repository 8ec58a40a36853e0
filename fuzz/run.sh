#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds (default 45), two
# at a time, against the sanitized fuzzing build, and prints the executions
# of each. Fails when a target finds a divergence between the native module
# and the twin, a crash or a sanitizer report; the input that did it is
# left in build/fuzz-out/artifacts/TARGET/.
#
#   bash fuzz/run.sh [SECONDS] [TARGET...]
#   bash fuzz/run.sh --merge [TARGET...]   # refresh fuzz/corpus from what the
#       last runs found: libFuzzer's minimising merge, of which the six
#       largest inputs of at most 1 KiB are kept, so the seeds stay few and small
set -euo pipefail
cd "$(dirname "$0")/.."
merge=0
if [ "${1:-}" = --merge ]; then merge=1; shift; fi
seconds=45
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(convert_messages convert_tools build_payload normalize_response
  normalize_content redirect_request stream_bytes stream_events)

bash fuzz/setup.sh
export LD_PRELOAD="$PWD/build/fuzz-rt/asan_with_fuzzer.so $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc PYTHONPATH=$PWD/build/fuzz-stage PYTHONHASHSEED=0
py=$PWD/build/fuzz-venv/bin/python
out=build/fuzz-out
mkdir -p $out/bin
for t in "${targets[@]}"; do  # libFuzzer starts these again for -merge
  printf '#!/bin/sh\nFUZZ_SELF="$0" exec %s %s %s "$@"\n' "$py" "$PWD/fuzz/harness.py" "$t" >$out/bin/$t
  chmod +x $out/bin/$t
done

if [ $merge = 1 ]; then
  for t in "${targets[@]}"; do
    fresh=$out/merged/$t
    rm -rf "$fresh" && mkdir -p "$fresh" fuzz/corpus/$t
    $out/bin/$t -merge=1 "$fresh" fuzz/corpus/$t $out/corpus/$t >$out/$t.merge.log 2>&1
    rm -rf fuzz/corpus/$t && mkdir fuzz/corpus/$t
    find "$fresh" -type f -size -2k -printf '%s %p\n' | sort -rn >$out/$t.sizes
    head -n 6 $out/$t.sizes | cut -d' ' -f2- | xargs -r cp -t fuzz/corpus/$t
    echo "$t: $(ls fuzz/corpus/$t | wc -l) inputs, $(du -sk fuzz/corpus/$t | cut -f1) KiB"
  done
  exit 0
fi

run_one() {
  t=$1
  mkdir -p $out/corpus/$t $out/artifacts/$t fuzz/corpus/$t
  if $out/bin/$t -max_total_time="$seconds" -timeout=20 -rss_limit_mb=6144 -max_len=4096 \
      -print_final_stats=1 -detect_leaks=0 -artifact_prefix=$out/artifacts/$t/ $out/corpus/$t fuzz/corpus/$t \
      >$out/$t.log 2>&1; then
    echo "$t ok"
  else
    echo "$t FAILED"
  fi
}
export -f run_one
export py out seconds
rm -f $out/*.log
printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c 'run_one {}' >$out/status

failed=0
printf '%-20s %12s %10s %8s  %s\n' target executions exec/s corpus status
for t in "${targets[@]}"; do
  log=$out/$t.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' $log | tail -n1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' $log | tail -n1)
  status=$(grep -q "^$t ok" $out/status && echo ok || echo FAILED)
  printf '%-20s %12s %10s %8s  %s\n' "$t" "${runs:-?}" "${rate:-?}" "$(ls $out/corpus/$t | wc -l)" "$status"
  if [ "$status" != ok ]; then
    failed=1
    echo "---- $t: last lines of $log" >&2
    grep -v '^INFO: Instrumenting' $log | tail -n 40 >&2
  fi
done
exit $failed
