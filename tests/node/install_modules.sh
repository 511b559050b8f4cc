#!/bin/sh
# Installs the node tests' npm packages, exactly as package-lock.json pins them, into DIR/node_modules, where
# the build copies the test scripts. Runs npm only when the lock file changed since the last install.
#
#   install_modules.sh DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
mkdir -p "$dir"
if [ -f "$dir/node_modules/.installed-lock.json" ] && cmp -s "$here/package-lock.json" \
  "$dir/node_modules/.installed-lock.json"; then
  echo "node test modules: up to date in $dir/node_modules"
  exit 0
fi
cp "$here/package.json" "$here/package-lock.json" "$dir/"
cd "$dir"
# No install scripts: the packages are JavaScript and WebAssembly, nothing to build.
npm ci --ignore-scripts --no-audit --no-fund
cp package-lock.json node_modules/.installed-lock.json
echo "node test modules: installed in $dir/node_modules"
