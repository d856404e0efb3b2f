# The front door: make deps | build | test | unit-test | demo | bench
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)

.PHONY: all deps build test unit-test sanitize-test demo bench clean fuzz

all: build

deps:
	@tools/deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory sanitize-test

unit-test: build
	ctest --test-dir $(BUILD) --output-on-failure -R '^unit$$'

sanitize-test: deps
	@cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DLMX_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j $(JOBS) -- --no-print-directory
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

demo: build
	@examples/demo/run_demo.sh $(BUILD)/kit

bench: build
	bench/run $(BUILD)/kit

# Each libFuzzer harness in turn for FUZZ_SECONDS (tests/fuzz/README.md).
FUZZ_SECONDS ?= 60
fuzz: deps
	@tests/fuzz/fuzz.sh build $(BUILD)/fuzz
	@tests/fuzz/fuzz.sh run $(BUILD)/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
