#!/usr/bin/env bash
# `make fuzz`: runs each libFuzzer target built in BUILD_DIR (default
# build-fuzz) for a few seconds over its seeds (fuzz/corpus/<target>/) and
# what earlier runs added (BUILD_DIR/fuzz-corpus/<target>/, where new inputs
# go), then replays once each input under fuzz/regressions/<target>/. A
# crash, leak, sanitizer report, slow input or failed check of any target
# fails the run: the end of its log (BUILD_DIR/fuzz-logs/) is shown and the
# input kept in BUILD_DIR/fuzz-artifacts/<target>/; copy it to
# fuzz/regressions/<target>/ to replay it from then on.
# FUZZ_SECONDS scales every target's time (default 1: about 20 s in all).
# By hand, give a target a folder of its own before the seeds, as below:
# libFuzzer adds new inputs to the first folder it is given.
set -uo pipefail
build=${1:-build-fuzz}
here=$(cd "$(dirname "$0")" && pwd)
scale=${FUZZ_SECONDS:-1}

# target, seconds, most runs, longest input
targets=(
    "record_reader 4 400000 4096"
    "rpc_dispatch 9 200000 8192"
    "config_records 6 100000 2048"
)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/fuzz-logs"
failed=0

show_failure() {
    echo "fuzz: $1 FAILED; the end of $2:" >&2
    grep -v -e '^#[0-9]' -e '# Uses:' "$2" | tail -n 60 >&2
    failed=1
}

for row in "${targets[@]}"; do
    read -r name seconds runs max_len <<<"$row"
    binary="$build/fuzz/fuzz_$name"
    corpus="$build/fuzz-corpus/$name"
    artifacts="$build/fuzz-artifacts/$name/"
    log="$build/fuzz-logs/$name.log"
    mkdir -p "$corpus" "$artifacts"
    # A crash inside a call happens under the caller's identity, which must
    # still be able to write the input out: into a directory anyone can
    # reach, from where it is moved to $artifacts. The fixture's files go
    # below it too (TMPDIR), so a crashed run leaves none behind.
    scratch=$(mktemp -d)
    chmod 1777 "$scratch"
    mkdir -m 755 "$scratch/tmp"
    start=$(date +%s%N)
    if TMPDIR="$scratch/tmp" "$binary" -max_total_time=$((seconds * scale)) -runs=$((runs * scale)) \
        -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$scratch/" \
        "$corpus" "$here/corpus/$name" >"$log" 2>&1; then
        took=$((($(date +%s%N) - start) / 100000000))
        done_runs=$(grep -oE '^Done [0-9]+' "$log" | awk '{print $2}')
        coverage=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | awk '{print $3, $4}')
        echo "fuzz: $name: ${done_runs:-?} runs in $((took / 10)).$((took % 10)) s," \
            "${coverage:-no coverage line}, corpus $(find "$corpus" -type f | wc -l) inputs"
    else
        show_failure "$name" "$log"
    fi
    rm -rf "$scratch/tmp"
    if [ -n "$(ls -A "$scratch")" ]; then
        echo "fuzz: $name: kept in $artifacts:" $(ls "$scratch") >&2
        mv "$scratch"/* "$artifacts"
    fi
    rm -rf "$scratch"

    # Each regression input on its own, so that every one that fails shows.
    for input in "$here/regressions/$name"/*; do
        [ -f "$input" ] || continue
        rlog="$build/fuzz-logs/$name-$(basename "$input").log"
        scratch=$(mktemp -d)
        chmod 1777 "$scratch"
        mkdir -m 755 "$scratch/tmp"
        if TMPDIR="$scratch/tmp" "$binary" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$scratch/" "$input" >"$rlog" 2>&1; then
            echo "fuzz: $name: regression $(basename "$input") passes"
        else
            show_failure "$name: regression $(basename "$input")" "$rlog"
        fi
        rm -rf "$scratch"
    done
done
exit $failed
