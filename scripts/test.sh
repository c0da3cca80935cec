#!/usr/bin/env bash
# Installs what is missing, builds Tralux and runs the whole test suite: once in an ordinary
# build, and once more (all but the window's tests) under the address and undefined-behaviour
# sanitizers in a second build folder. Between the two it fuzzes the WAV check for 45 seconds
# when clang is installed.
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
  ASAN_OPTIONS=quarantine_size_mb=16 build-fuzz/fuzz/tralux_fuzz_wav -max_total_time=45 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/ "$scratch" fuzz/corpus
elif [ "${TRALUX_SKIP_FUZZ:-0}" != 1 ]; then
  echo "clang-14 with libFuzzer (libclang-rt-14-dev) not found: no fuzz run"
fi

if [ "${TRALUX_SKIP_SANITIZE:-0}" != 1 ]; then
  # The window's tests ran in the ordinary build; here every layer below it and the terminal
  # program, whose runs the window's are.
  cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRALUX_SANITIZE=ON \
    -DTRALUX_WERROR=ON -DTRALUX_BUILD_BENCH=OFF -DTRALUX_BUILD_UI=OFF
  cmake --build build-sanitize -j "$jobs"
  # The longest tests (minutes of generated audio through the same code) ran in the ordinary
  # build; here their shorter neighbours cover that code, which keeps CI within its time. Each
  # test program runs in shards here, so they are left out by GoogleTest's filter.
  GTEST_FILTER='-*LufsFormatsTest*:*LufsBalanceTest.PrepareAndBalanceLands*:*LufsBalanceTest.TheReferencesCompare*:*LufsBalanceTest.ByRms*:*Conformance.*:*Truncation.*:*AHundredThousandPresets*:*DecodesALongFile*:*AMapByStepsWritesWhatTheTableWrites*:*PastTwoHundredAndFiftySixFiles*' \
    ctest --test-dir build-sanitize --output-on-failure -j "$((jobs + 1))"
fi
