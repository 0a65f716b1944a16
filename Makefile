# Thin wrapper around CMake. `make run` and `make test` install any missing
# Debian packages first.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ARGS ?=

.PHONY: all deps configure build run test test-asan install format clean bench soak

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/quillo $(ARGS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)

# Measurements, not tests: never run by CI. Each builds Release in BUILD_DIR.
bench:
	BUILD_DIR=$(BUILD_DIR) bench/run-bench

SOAK_SECONDS ?= 600
SOAK_RATE ?= 200
soak:
	BUILD_DIR=$(BUILD_DIR) SOAK_SECONDS=$(SOAK_SECONDS) SOAK_RATE=$(SOAK_RATE) bench/run-soak
