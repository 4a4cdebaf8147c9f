#!/usr/bin/env bash
# Builds the planner benchmark and runs it: plan_file on a keys file of 10^7
# lines against `LC_ALL=C sort -u FILE > /dev/null` (medians of three rounds
# and the load); `quorvale plan` against `quorvale build` of the kind it picks
# on generated URLs (10^5 + 1, 2 x 10^5 and 10^6 keys) and on that file
# (bench/plan_vs_build.py); then the model's error against real builds on
# 10^6 keys (synthetic, two-word phrases of Debian's wamerican-huge and of its
# Ukrainian word list, dense decimal ids).
# bench/plan_bench.sh [lines] [n]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
lines=${1:-10000000}
n=${2:-1000000}
. bench/apt_peers.sh
apt_peers wamerican-huge wukrainian coreutils
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target plan_bench
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
build/bench/plan_bench file "$dir" "$lines"
echo
(cd bench && ../.venv/bin/python plan_vs_build.py "$dir" "$dir/plan_bench_keys.txt")
rm -f "$dir/plan_bench_keys.txt"
words=()
for w in /usr/share/dict/american-english-huge /usr/share/dict/ukrainian; do
  if [ -f "$w" ]; then words+=("$w"); else echo "word list $w is missing: its phrases are skipped"; fi
done
build/bench/plan_bench model "$n" "${words[@]}"
