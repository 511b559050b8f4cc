#!/bin/bash
# Measures how much the application logs at each level: runs it for SECONDS (default 30) per setting with
# config/, console mode, and counts the bytes and lines on standard error. Starts a RouDi of its own, so run
# it where none runs (or in a private /tmp and /dev/shm: unshare -m). Usage: scripts/log-volume.sh [seconds]
set -u
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
SECONDS_PER_RUN=${1:-30}
APP=$BUILD_DIR/modules/camera_driving/camera_driving
export CM_CONFIG_FILE_PATH=$PWD/config ARA_LOG_MODE=console
out=$(mktemp -d)
iox-roudi -c config/roudi.toml >/dev/null 2>&1 &
roudi=$!
sleep 1
for setting in default ARA_LOG_LEVEL=error ARA_LOG_LEVEL=warn ARA_LOG_LEVEL=info ARA_LOG_LEVEL=debug \
  ARA_LOG_REPEAT_LIMIT=1/1000; do
  if [ "$setting" = default ]; then variables=(); else variables=("$setting"); fi
  env "${variables[@]}" "$APP" >/dev/null 2>"$out/log" &
  app=$!
  sleep "$SECONDS_PER_RUN"
  kill -TERM "$app"
  wait "$app"
  bytes=$(stat -c %s "$out/log")
  lines=$(wc -l <"$out/log")
  echo "$setting: $bytes bytes, $lines lines in $SECONDS_PER_RUN s; $((bytes * 3600 / SECONDS_PER_RUN / 1000000)) MB per hour"
done
kill "$roudi"
wait "$roudi"
rm -rf "$out"
