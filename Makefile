# Everything goes through these targets; each one first installs what is missing.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup configure build test run bench clean

all: build

setup:
	@scripts/setup

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

run: build
	@scripts/run $(BUILD)

bench: setup
	@ORRISVANE_BENCH=1 scripts/setup
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DORRISVANE_BENCH=ON >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@bench/run build-bench

clean:
	rm -rf $(BUILD) build-bench
