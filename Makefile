# Front door. `make test` installs what is missing, then builds and runs every
# test twice: a plain optimised build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build. `make build` only builds.
JOBS      ?= $(shell nproc)
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan

.PHONY: all deps build build-asan test test-plain test-asan format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_DIR) -j$(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DLUME_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j$(JOBS)

test: test-plain test-asan

test-plain: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

test-asan: build-asan
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j$(JOBS)

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
