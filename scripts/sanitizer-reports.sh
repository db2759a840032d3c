#!/usr/bin/env bash
# Fails when a sanitizer wrote a report under the given build directory.
set -u
dir=$1
reports=$(ls "$dir"/sanitizer.* 2>/dev/null)
if [ -z "$reports" ]; then
  echo "sanitizers: no reports in $dir"
  exit 0
fi
for r in $reports; do
  echo "==== $r"
  head -60 "$r"
done
echo "sanitizers: $(echo "$reports" | wc -l) report(s) in $dir"
exit 1
