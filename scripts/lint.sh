#!/usr/bin/env bash
# The repository's style checks, as `make lint` runs them:
#   clang-format (the repo's .clang-format) over every tracked .cc and .h;
#   clang-tidy (the repo's .clang-tidy) over every source of BUILD's
#   compilation database that belongs to the repository.
# Any reformatting needed or any warning fails; both are printed.
#
#   lint.sh [BUILD]     (default: build)
set -u
cd "$(dirname "$0")/.." || exit 2
build=${1:-build}
faults=0

if ! git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror; then
  echo "lint: clang-format would change the files above (clang-format -i FILE)"
  faults=$((faults + 1))
fi

if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: $build/compile_commands.json is missing (configure the build first)" >&2
  exit 2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Only the repository's own folders: not the build tree's generated files.
run-clang-tidy -p "$build" -quiet -j "$(nproc)" \
  "$PWD/(core|daemon|discovery|uart|ports|ethernet|lab|tools|tests|bench)/" >"$log" 2>&1
if grep -qE '(warning|error): ' "$log"; then
  grep -E -A3 '(warning|error): ' "$log"
  echo "lint: clang-tidy reported the warnings above"
  faults=$((faults + 1))
fi

if [ $faults -ne 0 ]; then exit 1; fi
echo "lint: clang-format and clang-tidy found nothing"
