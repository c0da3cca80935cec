#!/usr/bin/env bash
# Remakes the README's screenshots in docs/ with the window tour, under xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target tralux_window_tour
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
xvfb-run -a -s "-screen 0 1280x1024x24" build/tests/ui/main/tralux_window_tour "$shots"
mkdir -p docs
cp "$shots/tour-0-empty.png" docs/window-empty.png
cp "$shots/tour-3b-grouped-decibels.png" docs/window-balanced.png
cp "$shots/tour-2-running.png" docs/window-running.png
cp "$shots/tour-6-advanced.png" docs/advanced-options.png
cp "$shots/tour-7-grouping.png" docs/track-grouping.png
cp "$shots/tour-1d-loudness-plot.png" docs/window-preview.png
