#!/usr/bin/env bash
# Builds the fuzzer of the rewrite core (clang, libFuzzer, ASan, UBSan) and
# runs it for a bounded time on a copy of the seed corpus, so the repository
# is never written to.  Fails on any crash, sanitizer report or mismatch
# with the model; the input that did it is kept under build/PRESET/crashes/.
#
#   FUZZ_SECONDS  how long to fuzz; 60 by default, 0 runs until stopped
#   FUZZ_PRESET   the configure preset: fuzz (default) or fuzz-scalar, the
#                 core without its vector code
#   FUZZ_CORPUS   a directory to grow and keep across runs, instead of a
#                 scratch copy that is thrown away; seeded when empty
# Further arguments go to the fuzzer as libFuzzer flags (e.g. -fork=2).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
preset=${FUZZ_PRESET:-fuzz}
build=build/$preset

echo "== fuzz: build (preset $preset)"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
corpus=${FUZZ_CORPUS:-$scratch/corpus}
mkdir -p "$corpus" "$scratch/artifacts"
if [ -z "$(ls -A "$corpus")" ]; then
  cp fuzz/stamp_fuzz_corpus/* "$corpus/"
fi

echo "== fuzz: running for ${seconds}s (0 = until stopped) on $corpus"
log=$scratch/fuzz.log
rc=0
"$build/stamp_fuzz" -max_total_time="$seconds" -timeout=30 \
  -dict=fuzz/stamp_fuzz.dict -print_final_stats=1 \
  -artifact_prefix="$scratch/artifacts/" "$@" "$corpus" >"$log" 2>&1 || rc=$?

stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
echo "executions: $(stat number_of_executed_units)" \
     "($(stat average_exec_per_sec)/s), corpus: $(ls "$corpus" | wc -l) inputs," \
     "peak memory: $(stat peak_rss_mb) MB"

if ((rc != 0)) || [ -n "$(ls -A "$scratch/artifacts")" ]; then
  tail -n 60 "$log"
  mkdir -p "$build/crashes"
  cp "$scratch"/artifacts/* "$build/crashes/" 2>/dev/null || true
  echo "== fuzz: FAILED (exit $rc); inputs kept in $build/crashes/," \
       "replay one with: $build/stamp_fuzz FILE"
  exit 1
fi
echo "== fuzz: no faults found"
