#!/usr/bin/env bash
# The column limit, end to end, under UndefinedBehaviorSanitizer: byte sizes
# and pair indexes must not overflow at 32,768 columns, the largest count
# accepted, and 32,769 must end with the memory message at the right point.
# Too slow and too large for CI (dendro-min's stored matrix and working copy
# take 2 GiB each); run it by hand.
#
#   bench/limits.sh [TIMEOUT_SECONDS]    (per run, default 3600)
#
# Runs, each with a table of two rows:
#   min-32768           dendro-min, finite cells (distances computed as needed)
#   min-32768-matrix    dendro-min, one infinite cell (stored distance matrix)
#   variance-32768      dendro-variance
#   min-32769, variance-32769: the memory message, status 255; dendro-min
#                       creates no output, dendro-variance an empty one.
# A full run must end with status 0 and 32,767 well-formed lines, and UBSan
# must print nothing. LIMITS_RUNS selects runs by name (default: all).
set -uo pipefail
cd "$(dirname "$0")/.."
timeout_s="${1:-3600}"
build="${LIMITS_BUILD_DIR:-build-limits}"
runs="${LIMITS_RUNS:-min-32769 variance-32769 min-32768 min-32768-matrix variance-32768}"

ubsan="-fsanitize=undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDENDRO_TESTS=OFF -DDENDRO_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$ubsan" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=undefined" >/dev/null || exit 1
cmake --build "$build" -j2 --target dendro-min dendro-variance >"$build/build.log" 2>&1 ||
  { tail -n 40 "$build/build.log"; exit 1; }
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Two rows of n values; `first` replaces the first cell.
table() {
  awk -v n="$1" -v first="$2" 'BEGIN {
    for (r = 0; r < 2; ++r) {
      line = (r == 0 && first != "") ? first : sprintf("%.2f", ((0 * 7919 + r * 104729) % 10007) / 10);
      for (k = 1; k < n; ++k) line = line " " sprintf("%.2f", ((k * 7919 + r * 104729) % 10007) / 10);
      print line
    }
  }'
}
table 32768 "" >"$work/32768.txt"
table 32768 inf >"$work/32768-inf.txt"
table 32769 "" >"$work/32769.txt"

memory=$'Probleme d\'allocation memoire'
failed=0
for run in $runs; do
  case $run in
    min-32768) program=dendro-min input=32768.txt ;;
    min-32768-matrix) program=dendro-min input=32768-inf.txt ;;
    variance-32768) program=dendro-variance input=32768.txt ;;
    min-32769) program=dendro-min input=32769.txt ;;
    variance-32769) program=dendro-variance input=32769.txt ;;
    *) echo "limits: no run $run"; failed=1; continue ;;
  esac
  out="$work/$run.out"
  rm -f "$out"
  start=$(date +%s)
  timeout "$timeout_s" /usr/bin/time -f "%M" -o "$work/rss" \
    "$build/$program/$program" "$work/$input" "$out" >"$work/stdout" 2>"$work/stderr"
  status=$?
  seconds=$(( $(date +%s) - start ))
  rss_mib=$(( $(tail -n 1 "$work/rss" 2>/dev/null || echo 0) / 1024 ))
  verdict=ok
  if [ -s "$work/stderr" ]; then
    verdict="sanitizer or other output on stderr"
  elif [ "$status" = 124 ]; then
    verdict="did not finish within ${timeout_s}s"
  elif [[ $run == *-32769 ]]; then
    if [ "$status" != 255 ] || [ "$(cat "$work/stdout")" != "$memory" ]; then
      verdict="expected the memory message and status 255, got status $status"
    elif [ $program = dendro-min ] && [ -e "$out" ]; then
      verdict="output created"
    elif [ $program = dendro-variance ] && { [ ! -e "$out" ] || [ -s "$out" ]; }; then
      verdict="output missing or not empty"
    fi
  else
    lines=$(wc -l <"$out" 2>/dev/null || echo 0)
    bad=$(grep -cvE $'^NODE[0-9]+\t(LEAF|NODE)[0-9]+\t(LEAF|NODE)[0-9]+\t-?([0-9]+\\.[0-9]{6}|inf|nan)$' "$out" 2>/dev/null)
    if [ "$status" != 0 ] || [ -s "$work/stdout" ]; then
      verdict="status $status: $(cat "$work/stdout")"
    elif [ "$lines" != 32767 ] || [ "${bad:-1}" != 0 ]; then
      verdict="$lines lines, ${bad:-?} malformed"
    elif ! tail -n 1 "$out" | grep -qE $'^NODE32766\t(LEAF32767|NODE[0-9]+)\t'; then
      verdict="last line: $(tail -n 1 "$out")"
    fi
  fi
  echo "limits $run: status $status in ${seconds}s, peak ${rss_mib} MiB: $verdict"
  [ "$verdict" = ok ] || { failed=1; head -c 2000 "$work/stderr"; }
done
exit $failed
