#!/bin/sh
# Writes the demo's undistortion maps: cameras 8 and 10 look through wide-angle lenses with barrel distortion
# (the calibrations below; config/vcu_camera.ini gives the test pattern the same lenses, keep them in step).
#
#   scripts/demo_maps.sh <camera_remap_maps binary> <output directory>
set -eu
REMAP=$1
OUT=$2
mkdir -p "$OUT"
"$REMAP" --width 1920 --height 1080 --fx 1100 --fy 1100 --cx 959.5 --cy 539.5 \
  --k1 -0.32 --k2 0.12 --p1 0.001 --p2 -0.0005 --k3 -0.02 --zoom 0.85 \
  --out-x "$OUT/cam_8_x.bin" --out-y "$OUT/cam_8_y.bin"
"$REMAP" --width 1920 --height 1080 --fx 1300 --fy 1300 --cx 959.5 --cy 539.5 \
  --k1 -0.18 --k2 0.05 --zoom 1.0 \
  --out-x "$OUT/cam_10_x.bin" --out-y "$OUT/cam_10_y.bin"
