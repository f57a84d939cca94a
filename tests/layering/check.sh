#!/usr/bin/env bash
# The layering of the daemon's sources (the directory given): the registry
# (contexts/) includes no layer above it, and no file includes itself back
# through a loop of includes (which #pragma once would silently hide).
set -euo pipefail
cd "$1"
status=0
if upward=$(grep -HE '^#include "(net|protocol|control|cache)/' contexts/*); then
  printf 'contexts/ includes an upper layer:\n%s\n' "$upward"
  status=1
fi
edges=$(find . -name '*.cc' -o -name '*.h' | sed 's#^\./##' | sort | while read -r file; do
  sed -n 's/^#include "\(.*\)".*/\1/p' "$file" | while read -r to; do
    if [[ -e $to ]]; then echo "$file $to"; fi
  done
done)
if ! loops=$(tsort <<<"$edges" 2>&1 >/dev/null); then
  printf 'include cycle:\n%s\n' "$loops"
  status=1
fi
exit $status
