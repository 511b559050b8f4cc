#!/bin/sh
# Fails when a C++ source or header anywhere in the project is not formatted with the project's
# .clang-format (`make format` formats them all).
set -eu
cd "$(dirname "$0")/.."
files=$(find modules platform tools visual generated tests \( -name '*.cpp' -o -name '*.h' -o -name PubWrapper \) \
  -not -path '*/node_modules/*' | sort)
if ! clang-format --dry-run -Werror $files 2>/tmp/check-format.$$; then
  grep -o '^[^:]*:[0-9]*:[0-9]*: error' /tmp/check-format.$$ | cut -d: -f1 | sort -u |
    sed 's/^/not formatted: /' >&2
  rm -f /tmp/check-format.$$
  echo "check-format: run 'make format'" >&2
  exit 1
fi
rm -f /tmp/check-format.$$
echo "check-format: $(echo "$files" | wc -l) files formatted"
