#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# over its committed seed corpus. New inputs go to a scratch directory, so
# the tree stays clean; a crash stops the run with the fuzzer's report and
# the crashing input in build-fuzz/crashes/ (add it to the corpus and to a
# unit test once fixed).
set -eu
seconds=${FUZZ_SECONDS:-20}
cd "$(dirname "$0")/.."
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DE1_SANITIZE=fuzz -DE1_TESTS=OFF >/dev/null
targets=(command_block reply_lines args sysfs_names)
cmake --build build-fuzz -j 2 --target "${targets[@]/#/fuzz_}"
mkdir -p build-fuzz/crashes
for t in "${targets[@]}"; do
  scratch=$(mktemp -d)
  echo "fuzz: $t for ${seconds}s"
  if ! build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/crashes/"$t"- "$scratch" fuzz/corpus/"$t" \
      >build-fuzz/"$t".log 2>&1; then
    tail -40 build-fuzz/"$t".log
    rm -rf "$scratch"
    echo "fuzz: $t FAILED"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' build-fuzz/"$t".log || true
  rm -rf "$scratch"
done
echo "fuzz: all targets passed"
