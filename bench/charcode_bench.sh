#!/usr/bin/env bash
# Installs Debian's Ukrainian and Bulgarian word lists when missing, builds the
# character-code benchmark and runs it on them and on its generated corpora:
# bench/charcode_bench.sh [more word lists ...]
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for p in wukrainian wbulgarian; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  if ! { $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
         { $sudo_cmd apt-get update -qq && $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null; }; }; then
    echo "could not install ${missing[*]}: the benchmark runs on its generated corpora only" >&2
  fi
fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALE_BENCH=ON -DQUORVALE_TESTS=OFF \
  -DQUORVALE_EXTENSION=OFF >/dev/null
cmake --build build/bench -j 4 --target charcode_bench
build/bench/charcode_bench /usr/share/dict/ukrainian /usr/share/dict/bulgarian "$@"
