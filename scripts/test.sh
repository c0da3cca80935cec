#!/usr/bin/env bash
# Installs what is missing, builds Tralux and runs the whole test suite: once in an ordinary
# build, and once more under the address and undefined-behaviour sanitizers in a second build
# folder. Between the two it fuzzes the WAV check for a minute when clang is installed.
# Here every compiler warning is an error.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRALUX_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# A short fuzz run of the WAV check and the passes when clang's libFuzzer is at hand. New inputs
# go to a scratch folder; one that breaks something is kept in build-fuzz/ and fails the run.
fuzz_runtime() {
  command -v clang++-14 >/dev/null 2>&1 &&
    ls "$(clang++-14 -print-resource-dir)"/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1
}
if [ "${TRALUX_SKIP_FUZZ:-0}" != 1 ] && fuzz_runtime; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRALUX_WERROR=ON -DTRALUX_FUZZ=ON -DTRALUX_BUILD_UI=OFF -DTRALUX_BUILD_TESTS=OFF \
    -DTRALUX_BUILD_BENCH=OFF
  cmake --build build-fuzz --target tralux_fuzz_wav -j "$jobs"
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  ASAN_OPTIONS=quarantine_size_mb=16 build-fuzz/fuzz/tralux_fuzz_wav -max_total_time=60 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/ "$scratch" fuzz/corpus
elif [ "${TRALUX_SKIP_FUZZ:-0}" != 1 ]; then
  echo "clang-14 with libFuzzer (libclang-rt-14-dev) not found: no fuzz run"
fi

if [ "${TRALUX_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRALUX_SANITIZE=ON \
    -DTRALUX_WERROR=ON -DTRALUX_BUILD_BENCH=OFF
  cmake --build build-sanitize -j "$jobs"
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
fi
