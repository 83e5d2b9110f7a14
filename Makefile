# Front door. `make test` installs what is missing, then builds and runs every
# test twice: a plain optimised build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build. `make build` only builds.
JOBS      ?= $(shell nproc)
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan

.PHONY: all deps build build-asan test test-plain test-asan format clean serve bench-micro bench

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

# `make serve [DIR=/some/dir] [PORT=n]`: builds lumed and serves DIR (default:
# a demo directory in the build tree, writable by everyone, since root is
# squashed to nobody) on 127.0.0.1 in the foreground, printing a URL and an
# nfs-ls command that use it. Ctrl-C stops it. When PORT (2049 by default) is
# taken, a free port is used instead and printed.
PORT ?= 2049
serve: SHELL := /bin/bash
serve: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_DIR) -j$(JOBS) --target lumed lumectl SinkFSM
	@dir="$(DIR)"; \
	if [ -z "$$dir" ]; then \
	    dir="$(CURDIR)/$(BUILD_DIR)/demo"; mkdir -p "$$dir"; chmod 1777 "$$dir"; \
	    [ -e "$$dir/hello.txt" ] || echo "hello from lumed" > "$$dir/hello.txt"; \
	fi; \
	dir="$$(realpath "$$dir")" || exit 1; \
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

# `make bench-micro`: builds the micro-benchmarks in the optimised tree and
# runs them once (about 15 seconds on two cores); see bench/README.md.
bench-micro: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_DIR) -j$(JOBS) --target lume_micro_bench
	$(BUILD_DIR)/bench/lume_micro_bench --benchmark_min_time=0.5

# `make bench`: installs what is missing, with the benchmark's own packages
# (nfs-ganesha, rpcbind, gnuplot, iproute2), builds lumed and the end-to-end
# client (RelWithDebInfo) and runs every workload 3 rounds against lumed and
# nfs-ganesha 4.3 in turn, on one directory, in a private network namespace
# (as root), then once on the local file system; prints one table and writes
# build/bench/results.json and results.png (about 5 min 30 s on two cores;
# BENCH_QUICK=1 for a short run); see bench/README.md.
bench:
	@scripts/install-deps.sh --bench
	@BUILD_DIR=$(BUILD_DIR) JOBS=2 scripts/bench.sh

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
