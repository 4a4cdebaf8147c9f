#!/usr/bin/env bash
# Installs the benchmark's peers (BBHash, CMPH) when missing, builds the
# benchmarks and runs the minimal perfect hash build benchmark.
#   bench/mphf_build_bench.sh [n ...]     (default 1000000 10000000)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
. bench/apt_peers.sh
apt_peers libbbhash-dev libcmph-dev
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j4 --target mphf_build_bench >/dev/null
exec build/bench/mphf_build_bench "$@"
