#!/bin/sh
# The system and its live view together until Ctrl-C: RouDi (unless one runs), the application with the demo's
# configuration, and camera_view serving the four cameras to a browser.
#
#   scripts/view.sh            (VIEW_ADDRESS, default 127.0.0.1; VIEW_PORT, default 8090)
#
# Foxglove connects to the same port (ws://127.0.0.1:8090); its web app's page needs
# VIEW_ALLOW_ORIGIN=https://app.foxglove.dev (camera_view --allow-origin), its desktop app nothing.
#
# It says where to look once camera_view listens; when it cannot (the port is taken), it says why and ends
# with status 1. Ctrl-C is the normal way to stop it (status 0).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
VIEW_ADDRESS=${VIEW_ADDRESS:-127.0.0.1}
VIEW_PORT=${VIEW_PORT:-8090}
VIEW_ALLOW_ORIGIN=${VIEW_ALLOW_ORIGIN:-}
OUT=out/view

./scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMERA_STRICT=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target camera_driving camera_view camera_remap_maps
mkdir -p "$OUT"
# config/ names the maps under out/demo/maps, relative to the directory the application runs in.
./scripts/demo_maps.sh "$BUILD_DIR/tools/remap_maps/camera_remap_maps" out/demo/maps >/dev/null

. ./scripts/processes.sh
trap stop_processes EXIT
trap 'exit 0' INT TERM
start_roudi "$OUT/roudi.log" view

export CM_CONFIG_FILE_PATH="$PWD/config"
set -- --address "$VIEW_ADDRESS" --port "$VIEW_PORT"
if [ -n "$VIEW_ALLOW_ORIGIN" ]; then
  set -- "$@" --allow-origin "$VIEW_ALLOW_ORIGIN"
fi
start_camera_view view "$BUILD_DIR/tools/camera_view/camera_view" "$OUT" "$@" || exit 1
"$BUILD_DIR/modules/camera_driving/camera_driving" >"$OUT/camera_driving.out" 2>"$OUT/camera_driving.log" &
pids="$! $pids"

echo "view: open $view_url in a browser: four cameras live until Ctrl-C (logs in $OUT/)"
echo "view: in Foxglove, open connection $(echo "$view_url" | sed 's|^http://|ws://|; s|/$||')"
wait
