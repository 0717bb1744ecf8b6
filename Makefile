# Everything goes through these targets; each one first installs what is missing.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=
# The sanitizer and fuzz builds of `make test` and `make fuzz`, each in its own folder.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := decode capture_file pcapng_stream filter
# New build folders use Ninja (quieter and faster than recursive make); an existing
# folder keeps the generator it was made with.
export CMAKE_GENERATOR ?= Ninja

# Any finding fails the run: UBSan stops at the first report, LSan runs at exit with ASan,
# and the only leaks forgiven are inside system libraries (tests/lsan.supp).
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: all setup configure build test test-asan test-tsan test-fuzz fuzz-build fuzz run bench deb clean

all: build

setup:
	@scripts/setup

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The tests, then the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer
# (with LeakSanitizer), the capture tests under ThreadSanitizer, and the fuzz targets over
# their seeds and regression inputs.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300
	@$(MAKE) --no-print-directory test-asan test-tsan test-fuzz

test-asan: setup
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRISVANE_SANITIZE=address,undefined >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS) --timeout 600

# The Qt parts are not needed: the capture thread and its handshake are what TSan checks.
test-tsan: setup
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRISVANE_GUI=OFF -DORRISVANE_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target capture_tests
	@# Without address randomisation: TSan's shadow memory does not fit a layout randomised
	@# with the 32 bits some kernels use.
	@$(SANITIZER_ENV) setarch $$(uname -m) -R $(TSAN_BUILD)/tests/capture/capture_tests --gtest_brief=1

$(FUZZ_BUILD)/CMakeCache.txt:
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRISVANE_GUI=OFF \
	  -DORRISVANE_FUZZ=ON -DORRISVANE_SANITIZE=address,undefined >/dev/null

fuzz-build: setup $(FUZZ_BUILD)/CMakeCache.txt
	@cmake -S . -B $(FUZZ_BUILD) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZ_TARGETS))

test-fuzz: fuzz-build
	@cd $(FUZZ_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -R '^fuzz\.' --timeout 300

# Each fuzz target for FUZZ_SECONDS on one worker, one after the other. New inputs go to
# $(FUZZ_BUILD)/corpus/<target>; crash inputs are kept in $(FUZZ_BUILD)/crashes/<target>/
# (copy them to tests/fuzz/regressions/<target>/ with the fix).
fuzz: fuzz-build
	@status=0; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/crashes/$$t; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  $(SANITIZER_ENV) nice -n 10 $(FUZZ_BUILD)/tests/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) \
	    -max_len=16384 -timeout=10 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/crashes/$$t/ \
	    $(FUZZ_BUILD)/corpus/$$t tests/fuzz/seeds/$$t tests/fuzz/regressions/$$t || status=1; \
	done; \
	ls $(FUZZ_BUILD)/crashes/*/* 2>/dev/null && echo "fuzz: crash inputs above" || true; exit $$status

run: build
	@scripts/run $(BUILD)

# The Debian package, in $(BUILD) (not part of make test). Its postinst grants the capture
# agent its capabilities for the members of the group orrisvane.
deb: configure
	@cmake --build $(BUILD) -j $(JOBS) --target orrisvane orrisvane-dump orrisvane-capture
	@cd $(BUILD) && cpack -G DEB

bench: setup
	@ORRISVANE_BENCH=1 scripts/setup
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DORRISVANE_BENCH=ON >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@bench/run build-bench

clean:
	rm -rf $(BUILD) build-bench $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
