#!/bin/sh
# clang-tidy with the project's .clang-tidy over the project's own sources: every source file the build
# compiles outside the build directory, every finding an error. Needs the build's compile_commands.json
# (`make build`, or the build of `make test`).
#   scripts/lint.sh              every source
#   scripts/lint.sh FILE...      these sources only (for instance the ones a change touches)
# BUILD_DIR (build/release) names the build, JOBS (the number of CPUs) the clang-tidy processes.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
BUILD_DIR=${BUILD_DIR:-build/release}
JOBS=${JOBS:-$(nproc)}
database="$BUILD_DIR/compile_commands.json"

if [ ! -f "$database" ]; then
  echo "lint: $database is missing; build first (make build)" >&2
  exit 1
fi
if ! command -v clang-tidy >/dev/null 2>&1; then
  echo "lint: clang-tidy is not installed; scripts/install-deps.sh installs it" >&2
  exit 1
fi

list=$(mktemp)
log=$(mktemp)
trap 'rm -f "$list" "$log"' EXIT
if [ $# -gt 0 ]; then
  printf '%s\n' "$@" >"$list"
else
  # The "file" of every entry, without the build directory's own sources (generated code).
  grep -o '"file": *"[^"]*"' "$database" | sed 's/^"file": *"//; s/"$//' | grep -v "^$root/build/" |
    sort -u >"$list"
fi
count=$(wc -l <"$list")
echo "lint: clang-tidy on $count files, $JOBS at a time"
# Headers are checked where a source includes them; only the project's own, not the system's.
status=0
xargs -a "$list" -n 1 -P "$JOBS" clang-tidy -p "$BUILD_DIR" --quiet \
  --header-filter="^$root/(platform|modules|tools|tests|visual|generated)/" >"$log" 2>&1 || status=$?
# clang-tidy counts what it suppressed ("N warnings generated."); the findings are the rest.
grep -v -e 'warnings generated\.$' -e 'warning generated\.$' -e '^Suppressed ' -e '^Use -header-filter' \
  -e '^$' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "lint: clang-tidy found problems (above)" >&2
  exit 1
fi
echo "lint: no findings"
