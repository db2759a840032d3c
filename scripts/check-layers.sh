#!/usr/bin/env bash
# Checks that the daemon's includes point down the layers only.
#
#   check-layers.sh [ROOT]      (default: the repository this script is in)
#
# The layers are read from the picture in ROOT/README.md, between the lines
# "<!-- layers -->" and "<!-- /layers -->": each line of the picture names
# the folders of one floor, the top floor first. A file may include files of
# its own folder and of any lower floor; an include of a higher floor, of
# another folder on the same floor, or of a folder outside the picture is an
# error, and so is any loop of includes. Loops are looked for between units:
# a header and its source (x.h and x.cc) are one unit, so two units whose
# sources include each other's headers are a loop even though no header
# includes another. Prints each fault and exits 1 when there is one.
set -u
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root" || exit 2

# folder -> floor number (0 = top)
declare -A floor
n=0
inside=0
while IFS= read -r line; do
  case $line in
    '<!-- layers -->') inside=1; continue ;;
    '<!-- /layers -->') inside=0; continue ;;
  esac
  [ $inside -eq 1 ] || continue
  found=0
  for word in $line; do
    if [[ $word =~ ^([a-z_]+)/$ ]]; then
      floor[${BASH_REMATCH[1]}]=$n
      found=1
    fi
  done
  [ $found -eq 1 ] && n=$((n + 1))
done <README.md
if [ "$n" -eq 0 ]; then
  echo "check-layers: no layer picture in $root/README.md" >&2
  exit 2
fi

faults=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for dir in "${!floor[@]}"; do
  [ -d "$dir" ] || { echo "check-layers: folder $dir/ of the picture is missing"; faults=$((faults + 1)); continue; }
  while IFS= read -r -d '' file; do
    while IFS= read -r inc; do
      target=${inc%%/*}
      if [ "$target" = "$inc" ]; then
        continue  # an include without a folder is a system header or a typo the build catches
      fi
      # unit edge: both ends without their extension; a unit that includes
      # its own header is no edge
      from=${file#./}
      from=${from%.*}
      to=${inc%.*}
      [ "$from" != "$to" ] && echo "$from $to" >>"$edges"
      [ "$target" = "$dir" ] && continue
      if [ -z "${floor[$target]+x}" ]; then
        echo "$file: includes $inc, outside the layers"
        faults=$((faults + 1))
      elif [ "${floor[$target]}" -lt "${floor[$dir]}" ]; then
        echo "$file: includes $inc, which is above $dir/"
        faults=$((faults + 1))
      elif [ "${floor[$target]}" -eq "${floor[$dir]}" ]; then
        echo "$file: includes $inc, which is beside $dir/ on the same floor"
        faults=$((faults + 1))
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
  done < <(find "$dir" -type f \( -name '*.cc' -o -name '*.h' \) -print0)
done

# A loop of includes makes tsort complain; it names the units on the loop.
if [ -s "$edges" ]; then
  loops=$(tsort "$edges" 2>&1 >/dev/null | grep -v 'input contains a loop' | sed 's/^tsort: /  /')
  if [ -n "$loops" ]; then
    echo "include loop among:"
    echo "$loops"
    faults=$((faults + 1))
  fi
fi

if [ $faults -ne 0 ]; then
  echo "check-layers: $faults fault(s)"
  exit 1
fi
echo "check-layers: includes point down the ${n} floors"
