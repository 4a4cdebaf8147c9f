#!/usr/bin/env bash
# Installs the peers (Debian's libbbhash-dev and libcmph-dev), builds the
# minimal perfect hash benchmark and runs it: bench/mphf_bench.sh [n ...]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
. bench/apt_peers.sh
apt_peers libbbhash-dev libcmph-dev
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target mphf_bench
build/bench/mphf_bench "$@"
