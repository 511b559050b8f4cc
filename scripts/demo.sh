#!/bin/sh
# The demo: four cameras streaming through the whole system for about ten seconds, received by the recorder
# in another process. Outputs go to out/demo/ (streams, MP4s, indexes, cameras.mcap, contact_sheet.png,
# summary.txt, logs).
#
#   scripts/demo.sh [seconds]
#
# DEMO_TRANSPORT=someip (or `make demo DEMO_TRANSPORT=someip`) runs it with config/someip/, whose image event
# is deployed on SOME/IP instead of shared memory, and the recorder subscribes over SOME/IP on loopback; no
# RouDi is started then. DEMO_TRANSPORT=dds runs it with config/dds/, whose image event goes on DDS topics
# (Cyclone DDS over loopback, ROS 2 names: rt/vrt/cam_<id>/video); the recorder and the live view read them
# like any DDS or ROS 2 node would; no RouDi either.
#
# Ctrl-C stops the run early: the processes are stopped and the outputs so far stay in out/demo/. When the
# live view cannot listen (VIEW_PORT, default 8090, taken), the demo says so and ends with status 1.
set -eu
cd "$(dirname "$0")/.."

SECONDS_TO_RUN=${1:-10}
BUILD_DIR=${BUILD_DIR:-build/release}
OUT=out/demo
BIN="$BUILD_DIR"

./scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMERA_STRICT=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target camera_driving camera_record camera_view camera_remap_maps

TRANSPORT=${DEMO_TRANSPORT:-shm}
case "$TRANSPORT" in
  shm) export CM_CONFIG_FILE_PATH="$PWD/config" ;;
  someip) export CM_CONFIG_FILE_PATH="$PWD/config/someip" ;;
  dds) export CM_CONFIG_FILE_PATH="$PWD/config/dds" ;;
  *) echo "demo: DEMO_TRANSPORT must be shm, someip or dds, not '$TRANSPORT'" >&2; exit 2 ;;
esac

rm -rf "$OUT" && mkdir -p "$OUT/maps"

. ./scripts/processes.sh
trap stop_processes EXIT
# Ctrl-C is how a run is stopped early, not a failure; the EXIT trap stops the processes.
trap 'echo "demo: stopped; the outputs so far are in $OUT"; exit 0' INT TERM

# Two of the four cameras look through a wide-angle lens with strong barrel distortion; their maps undo it.
./scripts/demo_maps.sh "$BIN/tools/remap_maps/camera_remap_maps" "$OUT/maps" >/dev/null

if [ "$TRANSPORT" = someip ]; then
  echo "demo: the image event goes over SOME/IP on loopback; no RouDi needed"
elif [ "$TRANSPORT" = dds ]; then
  echo "demo: the image event goes over DDS on loopback (topics rt/vrt/cam_<id>/video); no RouDi needed"
else
  start_roudi "$OUT/roudi.log" demo
fi

# $OUT already holds the maps and the logs: --overwrite lets the recorder write beside them.
ARA_LOG_MODE=console "$BIN/tools/camera_record/camera_record" --duration "$SECONDS_TO_RUN" --output "$OUT" \
  --transport "$TRANSPORT" --overwrite --format mcap \
  >"$OUT/recorder.out" 2>"$OUT/recorder.log" &
recorder=$!
pids="$recorder $pids"

# The live view of the same run, for a browser on this machine (make view keeps it running). It subscribes
# over shared memory, or reads the DDS topics beside the recorder; the SOME/IP deployment's client port is
# the recorder's.
VIEW_PORT=${VIEW_PORT:-8090}
if [ "$TRANSPORT" != someip ]; then
  start_camera_view demo "$BIN/tools/camera_view/camera_view" "$OUT" --port "$VIEW_PORT" \
    --transport "$TRANSPORT" || exit 1
fi

"$BIN/modules/camera_driving/camera_driving" >"$OUT/camera_driving.out" \
  2>"$OUT/camera_driving.log" &
app=$!
pids="$app $pids"

echo "demo: four cameras streaming for ${SECONDS_TO_RUN} s (logs in $OUT/camera_driving.log)"
if [ "$TRANSPORT" != someip ]; then
  echo "demo: watch them live at $view_url while it runs ('make view' runs until Ctrl-C)"
  echo "demo: or in Foxglove: open connection $(echo "$view_url" | sed 's|^http://|ws://|; s|/$||')"
fi
wait "$recorder" || { echo "demo: the recorder failed, see $OUT/recorder.log"; exit 1; }
kill -TERM "$app"
wait "$app" || { echo "demo: camera_driving did not stop cleanly, see $OUT/camera_driving.log"; exit 1; }

cat "$OUT/summary.txt"
echo "demo: outputs in $OUT: per camera cam_<id>.h264 (or .h265), cam_<id>.mp4, cam_<id>_index.csv;"
echo "      cameras.mcap (every camera, for Foxglove and ROS 2); contact_sheet.png; summary.txt;"
echo "      camera_driving.log, recorder.log"
