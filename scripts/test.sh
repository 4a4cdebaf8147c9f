#!/usr/bin/env bash
# Every test: the C++ tests in the package's own build and under the
# sanitizers, a short run of every fuzz target, then pytest against the
# installed package. On two cores it takes about 47 minutes and leaves about
# 1.4 GB in build/ (README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
stage_start=$started
stage() {  # name of the stage that starts; prints how long the last one took
  local now; now=$(date +%s)
  [ -n "${stage_name:-}" ] && printf '== %s took %d s\n' "$stage_name" $((now - stage_start))
  stage_name=$1; stage_start=$now
  [ -n "$1" ] && echo "== $1"
  return 0
}

# Every build here fails on a warning in our code: setup.sh builds and
# installs the package that way, in build/wheel.
export QUORVALE_WERROR=ON
stage "setup and the package's build"
scripts/setup.sh
export PATH="$(pwd)/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

cpp_build() {  # dir sanitizer build-type [more cmake arguments]
  local dir=$1 san=$2 type=$3; shift 3
  cmake -Wno-unused-cli -S . -B "build/$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DQUORVALE_TESTS=ON \
    -DQUORVALE_SANITIZE="$san" -DQUORVALE_WERROR=ON -DPython_EXECUTABLE="$(pwd)/.venv/bin/python" "$@" >/dev/null
  cmake --build "build/$dir" -j "$jobs"
}

# The plain C++ tests join the package's build directory: same flags, so the
# core is compiled once for both. The package's next build turns the tests
# off again and rebuilds nothing.
stage "C++ tests (the package's build)"
cpp_build wheel "" Release -DQUORVALE_EXTENSION=ON
ctest --test-dir build/wheel --output-on-failure -j "$jobs"

# Debug info only where a report needs line numbers, and at a level that
# gives them (-g1); the sanitizer builds' layers are shared libraries. ASan
# at -O1: its tests run several times faster than at -O0.
stage "C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cpp_build asan asan Debug -DQUORVALE_EXTENSION=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

if compgen -G "tests/cpp/*_mt_test.cpp" >/dev/null; then
  stage "C++ tests (ThreadSanitizer)"
  cpp_build tsan tsan RelWithDebInfo -DQUORVALE_EXTENSION=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs"
fi

stage "Fuzz targets (libFuzzer under ASan+UBSan, ${QUORVALE_FUZZ_SECONDS:-25}s each; QUORVALE_FUZZ_SECONDS sets it)"
fuzz/run.sh

stage "Python tests"
QUORVALE_TEST_EXT="$(pwd)/build/wheel/pyext" .venv/bin/python -m pytest -q tests/python

stage ""
echo "== all tests passed in $(( $(date +%s) - started )) s; build/ holds $(du -sh build | cut -f1)"
