# Front door. `make test` installs what is missing, checks the lock
# annotations with clang (build-tsa), then builds and runs every
# test twice: a plain optimised build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build; then the concurrency tests under
# ThreadSanitizer; then the libFuzzer targets for about 20 seconds and their
# regression inputs (`make fuzz` alone, fuzz/run.sh). `make build` only
# builds.
JOBS      ?= $(shell nproc)
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
TSAN_DIR  ?= build-tsan
FUZZ_DIR  ?= build-fuzz
TSA_DIR   ?= build-tsa
# libFuzzer and the lock checks come with clang: the version
# scripts/install-deps.sh installs.
FUZZ_CC   ?= clang-14
FUZZ_CXX  ?= clang++-14

# The concurrency tests run under ThreadSanitizer: the transport and the lock
# service whole (by binary label), the descriptor cache, path cache, export
# table and metrics endpoint by suite.
TSAN_BINARIES = rpc_tests locks_tests backend_tests filehandle_tests host_tests stats_tests
TSAN_LABELS   = ^(rpc_tests|locks_tests)$$
TSAN_SUITES   = ^(DescriptorCache|PathCache|host_ExportCache|MetricsEndpoint)\.
TSAN_OPTIONS_ = halt_on_error=1 second_deadlock_stack=1 \
                suppressions=$(CURDIR)/tests/tsan.supp

.PHONY: install package build-install all deps build build-asan build-tsan build-tsa build-fuzz test test-plain test-asan test-tsan \
        fuzz format clean serve ganesha-demo bench-micro bench

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_DIR) -j$(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DLUME_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j$(JOBS)

# Only what the concurrency tests need, to keep CI short.
build-tsan: deps
	@cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUME_TSAN=ON >/dev/null
	@cmake --build $(TSAN_DIR) -j$(JOBS) --target $(TSAN_BINARIES)

# The fuzz targets only, built by clang in a tree of their own (fuzz/).
build-fuzz: deps
	@cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUME_FUZZ=ON \
	    -DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) >/dev/null
	@cmake --build $(FUZZ_DIR) -j$(JOBS) --target fuzzers

# The libraries, the module, lumed and lumectl built by clang with its
# thread-safety analysis as errors (platform/ThreadSafety.h); no tests.
build-tsa: deps
	@cmake -S . -B $(TSA_DIR) -DCMAKE_BUILD_TYPE=Debug -DLUME_THREAD_SAFETY=ON \
	    -DLUME_BUILD_TESTS=OFF -DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) >/dev/null
	@cmake --build $(TSA_DIR) -j$(JOBS)

test: build-tsa test-plain test-asan test-tsan fuzz

test-plain: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

test-asan: build-asan
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j$(JOBS)

test-tsan: build-tsan
	TSAN_OPTIONS="$(TSAN_OPTIONS_)" ctest --test-dir $(TSAN_DIR) --output-on-failure \
	    -j$(JOBS) --no-tests=error -L '$(TSAN_LABELS)'
	TSAN_OPTIONS="$(TSAN_OPTIONS_)" ctest --test-dir $(TSAN_DIR) --output-on-failure \
	    -j$(JOBS) --no-tests=error -R '$(TSAN_SUITES)'

# `make install` (as root): builds lumed, lumectl and the module with the
# paths of an installed system in a tree of their own (no tests) and
# installs them under /usr, with the systemd unit and /etc/lumed/lumed.toml;
# `make package`: the same as a Debian package, build-install/lume_*.deb,
# which enables and starts lumed.service when installed.
INSTALL_DIR ?= build-install
build-install: deps
	@cmake -S . -B $(INSTALL_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUME_INSTALLED=ON \
	    -DLUME_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(INSTALL_DIR) -j$(JOBS)

install: build-install
	cmake --install $(INSTALL_DIR)
	@if [ -d /run/systemd/system ]; then systemctl daemon-reload; fi

package: build-install
	cd $(INSTALL_DIR) && cpack -G DEB

# `make fuzz`: each libFuzzer target for a few seconds, then the regression
# inputs (fuzz/run.sh says more; FUZZ_SECONDS=N runs N times as long).
fuzz: build-fuzz
	fuzz/run.sh $(FUZZ_DIR)

# Builds lumed, lumectl and the module for the demos, saying only that it
# does; the build's own output is shown when it fails.
QUIET_SERVER_BUILD = log=$(BUILD_DIR)/server-build.log; mkdir -p $(BUILD_DIR); \
	echo "building lumed (log: $$log)"; \
	{ cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	  cmake --build $(BUILD_DIR) -j$(JOBS) --target lumed lumectl SinkFSM; \
	} >$$log 2>&1 || { cat $$log; exit 1; }

# Sets dir to the directory the demos serve: DIR, else a demo directory in
# the build tree, writable by everyone, since root is squashed to nobody.
DEMO_DIR = dir="$(DIR)"; \
	if [ -z "$$dir" ]; then \
	    dir="$(CURDIR)/$(BUILD_DIR)/demo"; mkdir -p "$$dir"; chmod 1777 "$$dir"; \
	    [ -e "$$dir/hello.txt" ] || echo "hello from lumed" > "$$dir/hello.txt"; \
	fi; \
	dir="$$(realpath "$$dir")" || exit 1

# `make serve [DIR=/some/dir] [PORT=n]`: builds lumed and serves DIR (default:
# a demo directory in the build tree, writable by everyone, since root is
# squashed to nobody) on 127.0.0.1 in the foreground, printing a URL and an
# nfs-ls command that use it. Ctrl-C stops it. When PORT (2049 by default) is
# taken, a free port is used instead and printed.
PORT ?= 2049
serve: SHELL := /bin/bash
serve: deps
	@$(QUIET_SERVER_BUILD)
	@$(DEMO_DIR); \
	port=$(PORT); \
	if (exec 3<>"/dev/tcp/127.0.0.1/$$port") 2>/dev/null; then \
	    echo "port $$port is taken; serving on a free port instead"; port=0; \
	fi; \
	$(BUILD_DIR)/server/lumed/lumed --export "$$dir" --bind 127.0.0.1 --port $$port | \
	while IFS= read -r line; do \
	    echo "$$line"; \
	    case "$$line" in "lumed: serving on "*) \
	        p="$${line##* }"; \
	        url="nfs://127.0.0.1$$dir?version=3&nfsport=$$p&mountport=$$p"; \
	        echo "URL:  $$url"; \
	        echo "try:  nfs-ls '$$url'"; \
	        echo "stop: Ctrl-C";; \
	    esac; \
	done

# `make ganesha-demo [DIR=/some/dir]`: as root, builds lumed and runs it with
# --ganesha next to a ganesha.nfsd of its own in a private namespace
# (scripts/ganesha-demo.sh), printing commands that export DIR (default: the
# demo directory of `make serve`) and read it over NFSv3 and NFSv4. Ctrl-C
# stops both.
ganesha-demo: SHELL := /bin/bash
ganesha-demo: deps
	@$(QUIET_SERVER_BUILD)
	@$(DEMO_DIR); \
	scripts/ganesha-demo.sh "$(CURDIR)/$(BUILD_DIR)/server/lumed/lumed" \
	    "$(CURDIR)/$(BUILD_DIR)/cli/lumectl" "$$dir" \
	    "$(CURDIR)/$(BUILD_DIR)/ganesha-demo-state"

# `make bench-micro`: builds the micro-benchmarks in the optimised tree and
# runs them once (about 15 seconds on two cores); see bench/README.md.
bench-micro: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_DIR) -j$(JOBS) --target lume_micro_bench
	$(BUILD_DIR)/bench/lume_micro_bench --benchmark_min_time=0.5

# `make bench`: installs what is missing, with the benchmark's own package
# (gnuplot), builds lumed and the end-to-end
# client (RelWithDebInfo) and runs every workload 3 rounds against lumed and
# nfs-ganesha 4.3 in turn, on one directory, in a private network namespace
# (as root), then once on the local file system; prints one table and writes
# build/bench/results.json and results.png (about 15 min on two cores, and
# about 4 min more the first time, to make the tree of a million files it
# keeps in build/bench-data; BENCH_QUICK=1 for a short run); see bench/README.md.
bench:
	@scripts/install-deps.sh --bench
	@BUILD_DIR=$(BUILD_DIR) JOBS=2 scripts/bench.sh

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(TSA_DIR) $(FUZZ_DIR)
