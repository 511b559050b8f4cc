#!/bin/sh
# Runs the application with the configuration in config/ until Ctrl-C (RouDi is started when none runs).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}

./scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMERA_STRICT=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target camera_driving camera_remap_maps
mkdir -p out/demo/maps
for cam in 8 10; do
  [ -f "out/demo/maps/cam_${cam}_x.bin" ] || { echo "run: no maps for camera $cam; run 'make demo' once to write them"; }
done

roudi=""
if ! pgrep -x iox-roudi >/dev/null; then
  iox-roudi -c config/roudi.toml >/dev/null 2>&1 &
  roudi=$!
  sleep 1
fi
trap '[ -n "$roudi" ] && kill "$roudi" 2>/dev/null; true' EXIT

CM_CONFIG_FILE_PATH="$PWD/config" "$BUILD_DIR/modules/camera_driving/camera_driving" || status=$?
exit "${status:-0}"
