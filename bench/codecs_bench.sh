#!/usr/bin/env bash
# Installs the corpora and the peer (Debian's wamerican-huge and zstd), builds
# the dictionary codecs benchmark and runs it on three corpora: the
# wamerican-huge word list, the file paths of the installed packages' lists,
# and 10^7 distinct random decimal ids below 10^12 (bench/codecs_bench.sh [ids]).
set -euo pipefail
cd "$(dirname "$0")/.."
ids=${1:-10000000}
missing=()
for p in wamerican-huge zstd; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  if ! { $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
         { $sudo_cmd apt-get update -qq && $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null; }; }; then
    echo "could not install ${missing[*]}: the benchmark runs without them" >&2
  fi
fi
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
