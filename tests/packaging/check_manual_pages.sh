#!/usr/bin/env bash
# Every page renders through man's own formatter with all groff warnings on,
# and says nothing.
set -euo pipefail
dir=$1
status=0
for page in "$dir"/*.[0-9]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_STDERR=1 man -l --warnings=w "$page" 2>&1 >/dev/null || true)
  direct=$(groff -ww -z -man "$page" 2>&1 || true)
  if [ -n "$warnings$direct" ]; then
    echo "$page:"
    echo "$warnings$direct"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "manual pages: $(ls "$dir"/*.[0-9] | wc -l) render without warnings"
exit $status
