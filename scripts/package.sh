#!/usr/bin/env bash
# Builds the Debian package tralux_VERSION-1_ARCH.deb and checks it with lintian.
#   scripts/package.sh            a Release build in build-package, with Debian's hardening flags
#   scripts/package.sh BUILD_DIR  packages an existing build as it is (CI reuses its tested build)
# The package's path is the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

build=${1:-}
if [ -z "$build" ]; then
  build=build-package
  # A packager's build: the flags Debian builds its packages with, no tests, no benchmarks.
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRALUX_BUILD_TESTS=OFF \
    -DTRALUX_BUILD_BENCH=OFF
fi
cmake --build "$build" -j "$jobs"
rm -f "$build"/tralux_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls "$build"/tralux_*.deb)

if command -v lintian >/dev/null 2>&1; then
  # Errors fail the build; warnings are printed for a look.
  lintian --fail-on error "$package" >&2
else
  echo "lintian not installed: the package is not checked" >&2
fi
echo "$package"
