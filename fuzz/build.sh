#!/usr/bin/env bash
# Configures and builds the fuzz targets in build/fuzz (clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer). Prints the build directory.
# QUORVALE_WERROR=ON makes warnings errors, as CI does.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && export PATH="$(pwd)/.venv/bin:$PATH"  # cmake and ninja, pinned
cxx=${QUORVALE_FUZZ_CXX:-clang++-16}
jobs=${QUORVALE_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx not found (scripts/setup.sh installs it)" >&2; exit 1; }
cmake -Wno-unused-cli -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" \
  -DQUORVALE_FUZZ=ON -DQUORVALE_TESTS=OFF -DQUORVALE_EXTENSION=OFF -DQUORVALE_BENCH=OFF -DQUORVALE_SANITIZE= \
  -DQUORVALE_WERROR="${QUORVALE_WERROR:-OFF}" >/dev/null
cmake --build build/fuzz -j "$jobs" >&2
echo build/fuzz
