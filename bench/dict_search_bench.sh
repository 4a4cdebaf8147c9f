#!/usr/bin/env bash
# Installs the peer and the corpora (Debian's libmarisa-dev and wamerican-huge)
# when missing, builds the dictionary search benchmark and runs it, one
# corpus at a time: the wamerican-huge word list, the file paths of the
# installed packages' lists, 10^6 seeded generated URLs and 10^7 seeded
# generated keys of 8 to 40 bytes (bench/dict_search_bench.sh [--quick]:
# 10^6 of them). Each at block 256, 32 and 1024.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
generated=10000000
[ "${1:-}" = "--quick" ] && generated=1000000
. bench/apt_peers.sh
apt_peers libmarisa-dev wamerican-huge
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target dict_search_bench
paths=$(mktemp)
trap 'rm -f "$paths"' EXIT
cat /var/lib/dpkg/info/*.list > "$paths" 2>/dev/null || true
if [ -f /usr/share/dict/american-english-huge ]; then
  build/bench/dict_search_bench wamerican-huge /usr/share/dict/american-english-huge
else
  echo "corpus wamerican-huge is missing"
fi
build/bench/dict_search_bench "package file paths" "$paths"
build/bench/dict_search_bench "generated URLs" urls:1000000
build/bench/dict_search_bench "generated keys" "random:$generated"
