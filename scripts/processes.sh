# Sourced by demo.sh and view.sh: the background processes of a run, and RouDi.
# Every process started goes to the front of $pids; stop_processes ends them in that order, RouDi last.

pids=""

stop_processes() {
  for pid in $pids; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}

# Starts RouDi with config/roudi.toml, its output into $1, unless one runs already (RouDi holds an exclusive
# lock on its lock file while it runs); $2 names the script in the message.
start_roudi() {
  roudi_lock=/tmp/iox-unique-roudi.lock
  if [ -e "$roudi_lock" ] && ! flock -n -s "$roudi_lock" true; then
    echo "$2: using the RouDi that is already running"
    return
  fi
  iox-roudi -c config/roudi.toml >"$1" 2>&1 &
  pids="$! $pids"
  sleep 1
}

# True while process $1 runs; one that ended but was not yet waited for (a zombie) has stopped.
process_running() {
  [ -r "/proc/$1/stat" ] || return 1
  state=$(sed 's/^.*) //' "/proc/$1/stat" | cut -c1)
  [ "$state" != Z ] && [ "$state" != X ]
}

# start_camera_view SCRIPT BINARY DIR ARGS...: starts camera_view with ARGS, its output in DIR/camera_view.out
# and DIR/camera_view.log, and waits until it listens (it prints the address to open) or has ended. Sets
# $view_url. Fails, saying why, when camera_view ended first (the port is taken, no RouDi, ...) or does not
# listen within 20 s.
start_camera_view() {
  view_script=$1 view_binary=$2 view_dir=$3
  shift 3
  ARA_LOG_MODE=console "$view_binary" "$@" >"$view_dir/camera_view.out" 2>"$view_dir/camera_view.log" &
  view_pid=$!
  pids="$view_pid $pids"
  view_waited=0
  until grep -qs 'open http://' "$view_dir/camera_view.out"; do
    if ! process_running "$view_pid"; then
      view_error=$(grep -m1 '^camera_view: ' "$view_dir/camera_view.log" || tail -n 1 "$view_dir/camera_view.log")
      echo "$view_script: the live view did not start: ${view_error:-camera_view ended} (see $view_dir/camera_view.log)" >&2
      return 1
    fi
    if [ "$view_waited" -ge 200 ]; then
      echo "$view_script: the live view is not listening after 20 s (see $view_dir/camera_view.log)" >&2
      return 1
    fi
    sleep 0.1
    view_waited=$((view_waited + 1))
  done
  # shellcheck disable=SC2034  # read by the script that sources this file
  view_url=$(grep -o -m1 'http://[^ ]*' "$view_dir/camera_view.out")
}
