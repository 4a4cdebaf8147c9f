#!/usr/bin/env bash
# Builds the phrase benchmark and runs it on the file paths of the installed
# packages' lists, on seeded generated URLs (bench/phrase_bench.sh [urls ...],
# default 1000000 and 10000000; ten million take about 4 GB of memory) and, as
# a control, on Debian's word lists (wamerican, wamerican-huge; at block 256
# beside the DictIndex docstring's 2.64 B/key on real words). Installs its
# peer (libmarisa-dev) and the word lists when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
. bench/apt_peers.sh
apt_peers libmarisa-dev wamerican wamerican-huge
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target phrase_bench
paths=$(mktemp)
trap 'rm -f "$paths"' EXIT
cat /var/lib/dpkg/info/*.list > "$paths" 2>/dev/null || true
build/bench/phrase_bench "package file paths" "$paths"
[ $# -gt 0 ] || set -- 1000000 10000000
for n in "$@"; do
  build/bench/phrase_bench "generated URLs" "urls:$n"
done
for words in american-english american-english-huge; do
  if [ -f "/usr/share/dict/$words" ]; then
    build/bench/phrase_bench "words ($words)" "/usr/share/dict/$words" 256 1024 claim=2.64
  else
    echo "/usr/share/dict/$words: missing, skipped"
  fi
done
