# Front door: `make demo` and `make check` work on a fresh Debian machine (as root).
BUILD      ?= build
JOBS       ?= 2
CMAKE_GEN  := -G Ninja

.PHONY: all deps build demo check check-plain check-asan check-tsan fuzz lint bench soak clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-asan/build.ninja: deps
	cmake -S . -B build-asan $(CMAKE_GEN) -DE1_SANITIZE=address >/dev/null
build-tsan/build.ninja: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DE1_SANITIZE=thread >/dev/null

demo: build
	$(BUILD)/lab/e1demo

check-plain: build
	cd $(BUILD) && ctest --output-on-failure --timeout 600

# Sanitizer reports of every process (the daemons that the lab starts
# included) go to files; any report fails the check even when the test that
# ran the process passed, and they are printed even when a test failed (a
# daemon that a sanitizer stopped shows up first as a wrong exit status).
check-asan: build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	rm -f build-asan/sanitizer.*
	cd build-asan && ASAN_OPTIONS="log_path=$(CURDIR)/build-asan/sanitizer" \
	  UBSAN_OPTIONS="print_stacktrace=1 log_path=$(CURDIR)/build-asan/sanitizer" \
	  ctest --output-on-failure --timeout 900; rc=$$?; \
	  $(CURDIR)/scripts/sanitizer-reports.sh $(CURDIR)/build-asan && exit $$rc

check-tsan: build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	rm -f build-tsan/sanitizer.*
	cd build-tsan && TSAN_OPTIONS="second_deadlock_stack=1 log_path=$(CURDIR)/build-tsan/sanitizer" \
	  ctest --output-on-failure --timeout 900; rc=$$?; \
	  $(CURDIR)/scripts/sanitizer-reports.sh $(CURDIR)/build-tsan && exit $$rc

# Latency, throughput and CPU against the direct pty path and socat (also
# with a monitor attached), idle cost and size from 1 to 128 controllers,
# discovery, failing renames, recovery after a replug and a foreign rename;
# prints tables and PASS/FAIL lines, writes build/bench.json and fails when a
# target is missed (BENCH_ARGS=--no-judge only prints).
bench: build
	$(BUILD)/e1bench --json $(BUILD)/bench.json $(BENCH_ARGS)

# The fault-and-soak suite in its long form (make check runs the short one),
# then the chaos suite on fresh random seeds for E1_CHAOS_SECONDS (default 300).
soak: build
	E1_SOAK_CYCLES=$${E1_SOAK_CYCLES:-100} $(BUILD)/tests/soak/e1_soak_lab_test
	E1_CHAOS_SECONDS=$${E1_CHAOS_SECONDS:-300} $(BUILD)/tests/chaos/e1_chaos_lab_test \
	  --gtest_filter='ChaosSoak.*'

# Each fuzz target for FUZZ_SECONDS (default 20) over its seed corpus.
fuzz: deps
	scripts/run-fuzz.sh

# clang-format and clang-tidy with the repository's configurations; tidy
# reads the normal build's compilation database.
lint: build
	scripts/lint.sh $(BUILD)

# The style checks, every test in the normal build, then under ASan+UBSan
# and TSan, then the fuzz targets for a bounded time.
check: lint check-plain check-asan check-tsan fuzz

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
