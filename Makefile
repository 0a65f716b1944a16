# Thin wrapper around CMake. `make run` installs any missing Debian package
# that building and running need; `make test` and the other test targets
# add what the tests need.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
LIBCXX_DIR ?= build-libcxx
FUZZ_SECONDS ?= 30
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ARGS ?=
# Sanitizer reports need file and line, not variables: line tables build faster.
SANITIZER_DEBUG_FLAGS ?= -g1

.PHONY: all deps test-deps configure build run test test-asan test-tsan test-libcxx fuzz install format clean bench soak

all: build

deps:
	@scripts/install-deps

test-deps:
	@scripts/install-deps --test

# What runs, and nothing else: `make run`, `make build` and `make install`
# leave the tests and the benchmark's tools out; the test targets turn the
# tests on (TESTS=ON), and `make bench` builds its own.
TESTS ?= OFF
configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DQUILLO_BUILD_TESTS=$(TESTS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/quillo $(ARGS)

test: test-deps
	@$(MAKE) --no-print-directory build TESTS=ON
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: test-deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="$(SANITIZER_DEBUG_FLAGS)" \
		-DQUILLO_SANITIZE=ON -DQUILLO_BUILD_TESTS=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The same tests, and the servers they start, under ThreadSanitizer; the
# options and tests/tsan.supp come with the tests (tests/CMakeLists.txt).
test-tsan: test-deps
	@cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="$(SANITIZER_DEBUG_FLAGS)" \
		-DQUILLO_TSAN=ON -DQUILLO_BUILD_TESTS=ON >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS)
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS)

# The unit tests built with clang++ and libc++, as phone Linux userlands build
# C++; GoogleTest comes from Debian's sources, spdlog and fmt header-only (see
# QUILLO_LIBCXX in CMakeLists.txt). Only the unit tests and what they link are
# built, without optimisation or debug data, which builds fastest.
test-libcxx: test-deps
	@CC=clang CXX=clang++ cmake -S . -B $(LIBCXX_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0" \
		-DQUILLO_LIBCXX=ON -DQUILLO_BUILD_TESTS=ON >/dev/null
	@cmake --build $(LIBCXX_DIR) --target quillo_unit_tests -j $(JOBS)
	ctest --test-dir $(LIBCXX_DIR) -L unit --no-tests=error --output-on-failure -j $(JOBS)

# libFuzzer targets (clang only), FUZZ_SECONDS each, as many at a time as
# there are processors; fails on any finding. Line tables are enough for the
# stack traces of a finding, and build much faster than full debug data.
fuzz: test-deps
	@CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_FUZZ=ON \
		-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" -DQUILLO_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) --target quillo_fuzzers -j $(JOBS)
	scripts/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) $(LIBCXX_DIR)

# Measurements, not tests: never run by CI. Each builds Release in BUILD_DIR.
bench:
	BUILD_DIR=$(BUILD_DIR) bench/run-bench

SOAK_SECONDS ?= 600
SOAK_RATE ?= 200
soak:
	BUILD_DIR=$(BUILD_DIR) SOAK_SECONDS=$(SOAK_SECONDS) SOAK_RATE=$(SOAK_RATE) bench/run-soak
