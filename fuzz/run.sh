#!/usr/bin/env bash
# Builds the fuzz targets with clang 19 (ASan + UBSan + libFuzzer), replays the
# regression corpus, then fuzzes every target for a bounded time.
# Usage: fuzz/run.sh [--smoke] [--seconds N]
#   --smoke      about a minute in all (the sanitizer leg of scripts/test.sh)
#   --seconds N  fuzzing time per target (default 300)
# Environment: VANTREL_FUZZ_BUILD, the build tree (default build/fuzz).
# Corpora grow in fuzz/corpus-work/ (ignored); crashing inputs land in
# fuzz/corpus-work/crashes/<target>/ and belong in fuzz/regressions/<target>/
# once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
while (($#)); do
  case "$1" in
    --smoke) seconds=12 ;;
    --seconds) seconds="$2"; shift ;;
    *) echo "usage: $0 [--smoke] [--seconds N]" >&2; exit 2 ;;
  esac
  shift
done

build="${VANTREL_FUZZ_BUILD:-build/fuzz}"
work=fuzz/corpus-work
targets=(fuzz_analysis fuzz_cfr_frames fuzz_metrics fuzz_postprocess
         fuzz_transitions)
jobs=$(nproc)

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()
CXX=clang++-19 cmake -S . -B "$build" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

[ -d "$work/seeds" ] || bash fuzz/make_seeds.sh "$work/seeds" >/dev/null

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
# Per-input limits: a hang or runaway allocation is a finding too.
common=(-timeout=20 -rss_limit_mb=4096 -print_final_stats=1)

status=0
echo "== fuzz regressions"
for target in "${targets[@]}"; do
  regressions=(fuzz/regressions/"$target"/*)
  [ -e "${regressions[0]}" ] || continue
  if "$build/fuzz/$target" "${common[@]}" "${regressions[@]}" \
       >"$work/$target-regressions.log" 2>&1; then
    echo "$target: ${#regressions[@]} inputs ok"
  else
    echo "$target: regression FAILED (see $work/$target-regressions.log)"
    status=1
  fi
done

echo "== fuzzing, ${seconds}s per target"
for target in "${targets[@]}"; do
  corpus="$work/$target"
  crashes="$work/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  inputs=("$corpus")
  [ "$target" = fuzz_analysis ] && inputs+=("$work/seeds")
  log="$work/$target.log"
  if "$build/fuzz/$target" "${common[@]}" -max_total_time="$seconds" \
       -artifact_prefix="$crashes/" "${inputs[@]}" >"$log" 2>&1; then
    result=ok
  else
    result="CRASH (see $log and $crashes)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  echo "$target: $result, ${runs:-?} executions, cov ${cov:-?}, ft ${ft:-?}"
done
exit "$status"
