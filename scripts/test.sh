#!/usr/bin/env bash
# Every test: the C++ tests in the plain build and under the sanitizers, a
# short run of every fuzz target, then pytest against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every build here fails on a warning in our code: the package's own build
# (in a build directory of its own, so that a user's build beside it stays
# incremental), the C++ builds and the fuzz build.
export QUORVALE_WERROR=ON
SKBUILD_CMAKE_DEFINE="QUORVALE_WERROR=ON" SKBUILD_BUILD_DIR=build/wheel-werror scripts/setup.sh
export PATH="$(pwd)/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

cpp_build() {  # dir sanitizer build-type
  cmake -Wno-unused-cli -S . -B "build/$1" -G Ninja -DCMAKE_BUILD_TYPE="$3" -DQUORVALE_TESTS=ON -DQUORVALE_EXTENSION=OFF \
    -DQUORVALE_SANITIZE="$2" -DQUORVALE_WERROR=ON -DPython_EXECUTABLE="$(pwd)/.venv/bin/python" >/dev/null
  cmake --build "build/$1" -j "$jobs"
}

echo "== C++ tests (plain build)"
cpp_build plain "" RelWithDebInfo
ctest --test-dir build/plain --output-on-failure -j "$jobs"

echo "== C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cpp_build asan asan Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

if compgen -G "tests/cpp/*_mt_test.cpp" >/dev/null; then
  echo "== C++ tests (ThreadSanitizer)"
  cpp_build tsan tsan RelWithDebInfo
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs"
fi

echo "== Fuzz targets (libFuzzer under ASan+UBSan, ${QUORVALE_FUZZ_SECONDS:-25}s each; QUORVALE_FUZZ_SECONDS sets it)"
fuzz/run.sh

echo "== Python tests"
QUORVALE_TEST_EXT="$(pwd)/build/plain/pyext" .venv/bin/python -m pytest -q tests/python
