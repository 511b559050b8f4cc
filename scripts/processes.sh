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
