#!/usr/bin/env bash
# Installs the peers (Debian's libbbhash-dev and libcmph-dev), builds the
# minimal perfect hash benchmark and runs it: bench/mphf_bench.sh [n ...]
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for p in libbbhash-dev libcmph-dev; do
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
cmake --build build/bench -j 4 --target mphf_bench
build/bench/mphf_bench "$@"
