#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ (ASan + UBSan), replays the kept
# regression cases, then fuzzes each target for a bounded time.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to $FUZZ_SECONDS or 60; TARGET is one of
# read_table, read_distances, pipeline (all by default). FUZZ_BUILD_DIR
# chooses the build folder (default fuzz/build) and FUZZ_CMAKE_ARGS adds
# options to its configuration. Without clang++ the script says so and
# succeeds.
#
# Any crash, sanitizer report, leak, time-out or engine difference fails the
# run; libFuzzer writes the input that caused it to fuzz/regressions/<target>/,
# where it stays as a regression case that every later run replays first.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-${FUZZ_SECONDS:-60}}"
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(read_table read_distances pipeline)
build="${FUZZ_BUILD_DIR:-$here/build}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, fuzzing skipped"
  exit 0
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ ${FUZZ_CMAKE_ARGS:-} >/dev/null || exit 1
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log"; exit 1; }

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
common_flags=(-max_len=4096 -timeout=20 -rss_limit_mb=2048)

failed=0
mkdir -p "$build/logs"
for t in "${targets[@]}"; do
  bin="$build/fuzz_$t"
  regressions="$here/regressions/$t"
  mkdir -p "$regressions" "$build/corpus/$t"
  [ -x "$bin" ] || { echo "fuzz: no target $t"; failed=1; continue; }

  mapfile -t cases < <(find "$regressions" -type f ! -name '.*' ! -name 'README*' | sort)
  if [ ${#cases[@]} -gt 0 ]; then
    if "$bin" "${common_flags[@]}" "${cases[@]}" >"$build/logs/$t.replay.log" 2>&1; then
      echo "fuzz $t: ${#cases[@]} regression case(s) pass"
    else
      echo "fuzz $t: a regression case fails:"
      grep -E '^\*\*\*|^  (reference|engine):|ERROR|runtime error|Running:' "$build/logs/$t.replay.log" | tail -n 20
      failed=1
    fi
  fi

  # New inputs go to the build folder's corpus; the seeds in the repository
  # are read only.
  before=$(find "$regressions" -type f | wc -l)
  "$bin" "${common_flags[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$regressions/" "$build/corpus/$t" "$here/corpus/$t" >"$build/logs/$t.log" 2>&1
  status=$?
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$build/logs/$t.log" | grep -Eo '[0-9]+$')
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$build/logs/$t.log" | tail -n 1)
  if [ $status -eq 0 ]; then
    echo "fuzz $t: ${runs:-?} executions in ${seconds}s, $cov, no failure"
  else
    echo "fuzz $t: FAILED after ${runs:-?} executions (status $status); log $build/logs/$t.log"
    grep -E '^\*\*\*|^  (reference|engine):|ERROR|SUMMARY|runtime error|Test unit written' "$build/logs/$t.log" | head -n 20
    after=$(find "$regressions" -type f | wc -l)
    [ "$after" -gt "$before" ] && echo "fuzz $t: the failing input is kept in $regressions/"
    failed=1
  fi
done
exit $failed
