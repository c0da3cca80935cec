#!/usr/bin/env bash
# Builds Tralux and runs the whole test suite: once in an ordinary build, and once more
# under the address and undefined-behaviour sanitizers in a second build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${TRALUX_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRALUX_SANITIZE=ON \
    -DTRALUX_BUILD_BENCH=OFF
  cmake --build build-sanitize -j "$jobs"
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
fi
