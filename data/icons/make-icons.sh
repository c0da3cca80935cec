#!/usr/bin/env bash
# Renders the program's icon at the usual sizes of the hicolor theme. Run it after editing the
# SVG and commit the PNG files: the build does not need librsvg2-bin.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256 512; do
  mkdir -p "hicolor/${size}x${size}"
  rsvg-convert -w "$size" -h "$size" org.tralux.Tralux.svg -o "hicolor/${size}x${size}/org.tralux.Tralux.png"
done
