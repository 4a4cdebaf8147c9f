#!/usr/bin/env bash
# Writes the seed corpus of each target (all of them, or those named) from
# the library itself: fuzz/corpus/<name>/seed-*. Other files there (the
# reproducers of past findings) are kept.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(fuzz/build.sh)
if [ $# -gt 0 ]; then names=("$@"); else names=(); for f in fuzz/targets/*.cpp; do names+=("$(basename "$f" .cpp)"); done; fi
for t in "${names[@]}"; do
  rm -f fuzz/corpus/"$t"/seed-*
  QUORVALE_FUZZ_WRITE_SEEDS=fuzz/corpus/"$t" "$build/fuzz_$t"
done
