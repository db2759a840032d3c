#!/usr/bin/env bash
# Runs the layering checker on small trees: a clean one passes, and each
# planted fault (an upward include, a sideways one, an include of a folder
# outside the picture, two files including each other, two units whose
# sources include each other's headers) makes it fail and name the file.
#
#   layers_checker_test.sh CHECKER
set -u
checker=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0

# tree NAME: a three-floor tree top/ > left/ right/ > base/ with clean includes.
tree() {
  local t=$work/$1
  mkdir -p "$t/top" "$t/left" "$t/right" "$t/base"
  printf '# x\n<!-- layers -->\n```\ntop/     the frame\n  |\nleft/ right/   two sides\n  |\nbase/    ground\n```\n<!-- /layers -->\n' >"$t/README.md"
  printf '#include "left/l.h"\n#include "right/r.h"\n#include "base/b.h"\n#include <stdio.h>\n' >"$t/top/main.cc"
  printf '#include "base/b.h"\n' >"$t/left/l.h"
  printf '#include "left/l.h"\n' >"$t/left/l.cc"
  printf '#include "base/b.h"\n' >"$t/right/r.h"
  printf '#include <stddef.h>\n' >"$t/base/b.h"
  echo "$t"
}

# expect STATUS NAME WORDS TREE: the checker's status, and its output holds WORDS.
expect() {
  local want=$1 name=$2 words=$3 t=$4 out rc
  out=$(bash "$checker" "$t" 2>&1)
  rc=$?
  if [ "$rc" -ne "$want" ]; then
    echo "FAIL: $name: status $rc, expected $want"; echo "$out"; fails=$((fails + 1))
  elif ! grep -qF -- "$words" <<<"$out"; then
    echo "FAIL: $name: output lacks '$words'"; echo "$out"; fails=$((fails + 1))
  else
    echo "ok: $name"
  fi
}

t=$(tree clean)
expect 0 "clean tree passes" "3 floors" "$t"

t=$(tree up)
echo '#include "top/main.h"' >>"$t/base/b.h"
expect 1 "upward include fails" "base/b.h: includes top/main.h, which is above base/" "$t"

t=$(tree side)
echo '#include "right/r.h"' >>"$t/left/l.cc"
expect 1 "sideways include fails" "left/l.cc: includes right/r.h, which is beside left/" "$t"

t=$(tree outside)
echo '#include "lab/sim.h"' >>"$t/left/l.cc"
expect 1 "include outside the layers fails" "left/l.cc: includes lab/sim.h, outside the layers" "$t"

t=$(tree loop)
echo '#include "left/l2.h"' >>"$t/left/l.h"
echo '#include "left/l.h"' >"$t/left/l2.h"
expect 1 "two files including each other fail" "include loop" "$t"

t=$(tree unitloop)
printf '#include <stddef.h>\n' >"$t/left/a.h"
printf '#include <stddef.h>\n' >"$t/left/b.h"
printf '#include "left/a.h"\n#include "left/b.h"\n' >"$t/left/a.cc"
printf '#include "left/b.h"\n#include "left/a.h"\n' >"$t/left/b.cc"
expect 1 "two units whose sources include each other's headers fail" "left/a" "$t"
expect 1 "the unit loop is said as a loop" "include loop" "$t"

t=$(tree ownheader)
printf '#include <stddef.h>\n' >"$t/left/c.h"
printf '#include "left/c.h"\n#include "base/b.h"\n' >"$t/left/c.cc"
expect 0 "a source including its own header is no loop" "3 floors" "$t"

t=$(tree nopicture)
echo '# no picture' >"$t/README.md"
expect 2 "a README without the picture is an error, not a pass" "no layer picture" "$t"

[ $fails -eq 0 ] && echo "layers checker: all cases passed"
exit $((fails != 0))
