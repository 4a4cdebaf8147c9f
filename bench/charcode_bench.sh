#!/usr/bin/env bash
# Installs Debian's Ukrainian and Bulgarian word lists when missing, builds the
# character-code benchmark and runs it on them and on its generated corpora:
# bench/charcode_bench.sh [more word lists ...]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
. bench/apt_peers.sh
apt_peers wukrainian wbulgarian
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target charcode_bench
build/bench/charcode_bench /usr/share/dict/ukrainian /usr/share/dict/bulgarian "$@"
