#!/usr/bin/env bash
# Fuzzes the file readers:  scripts/fuzz.sh NAME SECONDS [libFuzzer options...]
#                           scripts/fuzz.sh all SECONDS [libFuzzer options...]
#                           scripts/fuzz.sh build    (the targets only)
# Builds build-fuzz/ with clang when needed, then runs fuzz_NAME (every target for `all`, as
# many at a time as there are processors) for SECONDS from a scratch copy of fuzz/corpus/NAME,
# so the committed corpus is not flooded (the inputs found stay in
# build-fuzz/runs/NAME/corpus; add one to the corpus by hand where it is a regression case).
# Exits non-zero on any finding: a crash, a sanitizer report, a leak, an input running over
# 10 s, an allocation over 1 GiB or more than 2.5 GiB held; the input is kept in
# build-fuzz/runs/NAME/ and the log in build-fuzz/runs/NAME.log. Leaks inside the decoder
# libraries themselves are listed, with their inputs, in fuzz/library-faults/ and not counted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
build_targets() {
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DSLABWRIGHT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
}
if [ "${1:-}" = build ] && [ $# -eq 1 ]; then  # scripts/fuzz.sh build: the targets alone
  build_targets
  exit 0
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 NAME|all SECONDS [libFuzzer options...]  or  $0 build" >&2
  exit 2
fi
name=$1 seconds=$2
shift 2
targets=$(sed -n 's/^set(FUZZ_TARGETS \(.*\))$/\1/p' "$root/fuzz/targets.cmake")
if [ "$name" = all ]; then
  run=$targets
elif [[ " $targets " == *" $name "* ]]; then
  run=$name
else
  echo "$0: no fuzz target \"$name\" (there are: $targets)" >&2
  exit 2
fi

build_targets

# One target per processor at a time (each fuzzes on one thread); their reports in order.
fuzz_one() {
  local t=$1 dir=$build/runs/$1 log=$build/runs/$1.log out=$build/runs/$1.out
  rm -rf "$dir"
  mkdir -p "$dir/corpus"
  cp -r "$root/fuzz/corpus/$t/." "$dir/corpus/"
  local dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  {
    echo "fuzz_$t: ${seconds} s from $(ls "$dir/corpus" | wc -l) seeds"
    if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       LSAN_OPTIONS=suppressions="$root/fuzz/library-faults/lsan.supp":fast_unwind_on_malloc=0 \
       "$build/fuzz_$t" "$dir/corpus" "${dict[@]}" -artifact_prefix="$dir/" -max_total_time="$seconds" \
         -timeout=10 -malloc_limit_mb=1024 -rss_limit_mb=2560 -detect_leaks=1 -print_final_stats=1 "${options[@]}" >"$log" 2>&1; then
      # The last status line (executions, coverage) and the totals.
      grep -E '^#[0-9]+' "$log" | tail -1
      grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" | tr '\n' ' ' || true  # none with -fork
      echo
      echo passed >"$dir.status"
    else
      echo "fuzz_$t: FINDING (log: $log; input kept in $dir/)"
      grep -E -A40 '^==[0-9]+==ERROR|runtime error|fuzz check failed|ALARM|out-of-memory|malloc\(' "$log" | head -60 || tail -40 "$log"
      echo failed >"$dir.status"
    fi
  } >"$out" 2>&1
}
options=("$@")
mkdir -p "$build/runs"
slots=$(nproc)
for t in $run; do
  rm -f "$build/runs/$t.status" "$build/runs/$t.out"
  while [ "$(jobs -rp | wc -l)" -ge "$slots" ]; do wait -n || true; done
  fuzz_one "$t" &
done
wait

passed=0 failed=0
for t in $run; do
  if [ "$(cat "$build/runs/$t.status" 2>/dev/null)" = passed ]; then
    cat "$build/runs/$t.out"
    passed=$((passed + 1))
  else
    cat "$build/runs/$t.out" >&2 2>/dev/null || echo "fuzz_$t: stopped before its report (see $build/runs/$t.log)" >&2
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
