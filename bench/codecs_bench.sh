#!/usr/bin/env bash
# Installs the corpora and the peer (Debian's wamerican-huge and zstd), builds
# the dictionary codecs benchmark and runs it on three corpora: the
# wamerican-huge word list, the file paths of the installed packages' lists,
# and 10^7 distinct random decimal ids below 10^12 (bench/codecs_bench.sh [ids]).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
ids=${1:-10000000}
. bench/apt_peers.sh
apt_peers wamerican-huge zstd
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target codecs_bench
zstd_arg=zstd
command -v zstd >/dev/null || { echo "peer zstd is missing: its column stays empty"; zstd_arg=""; }
paths=$(mktemp)
trap 'rm -f "$paths"' EXIT
cat /var/lib/dpkg/info/*.list > "$paths" 2>/dev/null || true
if [ -f /usr/share/dict/american-english-huge ]; then
  build/bench/codecs_bench wamerican-huge /usr/share/dict/american-english-huge $zstd_arg
else
  echo "corpus wamerican-huge is missing"
fi
build/bench/codecs_bench "package file paths" "$paths" $zstd_arg
build/bench/codecs_bench "decimal ids" "ids:$ids" $zstd_arg
