#!/usr/bin/env bash
# Memory hygiene: runs both programs under valgrind memcheck on every table in
# examples/ and on a few inputs that take other paths (ties, cells that are
# not finite, tables of many lines, an input of more than 8 MiB, and the
# failures: a ragged table, an input without any value, more than 32,768
# columns, an unwritable output).
#
#   bench/memcheck.sh [BUILD_DIR]      (default build-memcheck)
#
# A run fails on any invalid access or use of uninitialised memory, and on
# any block that is definitely, indirectly or possibly lost. Blocks still
# reachable at exit are allowed: the table's values (and dendro-min's matrix
# of distances) are kept until the process ends by design. Their count and
# size are printed for each run. One "possibly lost" block is allowed too: the
# thread-local storage of an engine's helper thread that is still running
# when a failure ends the process through exit().
set -uo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-memcheck}"

if ! command -v valgrind >/dev/null 2>&1; then
  echo "memcheck: valgrind not found, skipped"
  exit 0
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDENDRO_TESTS=OFF -DDENDRO_BENCH=OFF >/dev/null || exit 1
cmake --build "$build" -j2 --target dendro-min dendro-variance >"$build/build.log" 2>&1 ||
  { tail -n 40 "$build/build.log"; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
printf '0 1 2 3\n0 1 0 1\n' >"$work/ties.txt"
printf '1 nan 2 inf 3\n0 0 -inf 0 0\n' >"$work/not-finite.txt"
printf '1 2 3\n4 5\n' >"$work/ragged.txt"
printf 'a b\nc d\n' >"$work/no-value.txt"
cat >"$work/helper-thread.supp" <<'SUPP'
{
   thread-local storage of a helper thread alive at exit
   Memcheck:Leak
   match-leak-kinds: possible
   fun:calloc
   ...
   fun:_dl_allocate_tls
   ...
   fun:pthread_create*
}
SUPP
{ for ((k = 0; k < 32769; ++k)); do printf '%d ' $((k % 7)); done; echo; } >"$work/too-wide.txt"
# Tables of many lines: the variance engine's intervals (from 48 lines on),
# and an input of more than 8 MiB, which the reader takes in stretches on two
# threads.
awk 'BEGIN { srand(7); for (l = 0; l < 60; ++l) { for (c = 0; c < 40; ++c) printf "%.6f ", rand(); print "" } }' >"$work/many-lines.txt"
awk 'BEGIN { srand(8); for (l = 0; l < 10000; ++l) { for (c = 0; c < 100; ++c) printf "%.6f ", rand(); print "" } }' >"$work/long.txt"

# name input output expected-status
runs=()
# The bundled tables without a header line (expression.txt has one).
for f in examples/measures.txt examples/line.txt "$work/ties.txt" "$work/not-finite.txt" "$work/many-lines.txt" "$work/long.txt"; do runs+=("$(basename "$f") $f $work/out 0"); done
runs+=("ragged $work/ragged.txt $work/out 255" "no-value $work/no-value.txt $work/out 255"
       "too-wide $work/too-wide.txt $work/out 255" "full-device examples/line.txt /dev/full 255")

failed=0
for program in dendro-min dendro-variance; do
  bin="$build/$program/$program"
  for run in "${runs[@]}"; do
    read -r name input output expected <<<"$run"
    log="$work/$program-$name.log"
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
      --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --suppressions="$work/helper-thread.supp" --log-file="$log" \
      "$bin" "$input" "$output" >/dev/null
    status=$?
    errors=$(grep -Eo 'ERROR SUMMARY: [0-9]+' "$log" | grep -Eo '[0-9]+$')
    inuse=$(grep -Eo 'in use at exit: .*' "$log" | sed 's/in use at exit: //')
    suppressed=$(grep -Eo 'suppressed: [0-9,]+ bytes in [0-9,]+ blocks' "$log" | grep -v ': 0 bytes' | sed 's/suppressed: //')
    if [ "$status" = "$expected" ] && [ "${errors:-1}" = 0 ]; then
      echo "memcheck $program $name: status $status, no error, nothing lost, still reachable at exit: ${inuse:-nothing}${suppressed:+; helper thread storage: $suppressed}"
    else
      echo "memcheck $program $name: FAILED (status $status, expected $expected; ${errors:-?} errors)"
      sed 's/^/    /' "$log" | tail -n 40
      failed=1
    fi
  done
done
exit $failed
