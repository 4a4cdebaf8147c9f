#!/usr/bin/env bash
# Builds the phrase benchmark and times phrase mining and split choice on the
# file paths of the installed packages' lists and on seeded generated URLs
# (bench/phrase_bench.sh [urls ...], default 1000000; 10000000 takes about
# 2 GB of memory).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target phrase_bench
paths=$(mktemp)
trap 'rm -f "$paths"' EXIT
cat /var/lib/dpkg/info/*.list > "$paths" 2>/dev/null || true
build/bench/phrase_bench "package file paths" "$paths"
for n in "${@:-1000000}"; do
  build/bench/phrase_bench "generated URLs" "urls:$n"
done
