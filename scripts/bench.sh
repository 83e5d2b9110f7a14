#!/usr/bin/env bash
# `make bench`: the end-to-end benchmark. Builds lumed and lume_nfs_bench
# (RelWithDebInfo, in $BUILD_DIR), serves a fresh directory under
# $BUILD_DIR/bench-data on a free loopback port, runs every workload
# $ROUNDS times against lumed and once on the local file system (the
# ceiling), prints one table (lumed median with min-max, local, and the peer
# server's column, not run yet) and writes $BUILD_DIR/bench/results.json.
# Default sizes keep the run near 2 minutes on two cores; BENCH_FULL=1 uses a
# 1 GiB file and 30 s timed workloads. See bench/README.md.
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-2}
ROUNDS=3
if [ "${BENCH_FULL:-0}" = 1 ]; then SIZE_MIB=1024 SECONDS_PER=30; else SIZE_MIB=256 SECONDS_PER=5; fi

data="$PWD/$BUILD_DIR/bench-data"
out="$PWD/$BUILD_DIR/bench"
client="$out/lume_nfs_bench"
raw="$out/raw.jsonl"
lumed_pid=""
url=""

# label|workload|options: the rows of the table, in the order they run.
workloads=(
    "null qd1|null|--depth 1 --seconds $SECONDS_PER"
    "null qd16|null|--depth 16 --seconds $SECONDS_PER"
    "seqwrite|seqwrite|--depth 4 --size-mib $SIZE_MIB"
    "seqread|seqread|--depth 4"
    "randread qd1|randread|--depth 1 --seconds $SECONDS_PER"
    "randread qd16|randread|--depth 16 --seconds $SECONDS_PER"
    "meta|meta|--depth 16 --files 10000"
)

build() {
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD_DIR" -j"$JOBS" --target lumed SinkFSM lume_nfs_bench >/dev/null
}

stop_lumed() {
    [ -n "$lumed_pid" ] || return 0
    kill -TERM "$lumed_pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$lumed_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$lumed_pid" 2>/dev/null || true
    lumed_pid=""
}

# Starts lumed on a free loopback port exporting a fresh $data/export; sets
# lumed_pid and url.
start_lumed() {
    rm -rf "$data"
    mkdir -p "$data/export" "$data/state" "$data/local"
    chmod 1777 "$data/export"   # root is squashed to nobody
    "$BUILD_DIR/server/lumed/lumed" --export "$data/export" --port 0 --bind 127.0.0.1 \
        --state-dir "$data/state" --no-rpcbind >"$data/lumed.out" 2>&1 &
    lumed_pid=$!
    local port=""
    for _ in $(seq 100); do
        port=$(sed -n 's/^lumed: serving on 127.0.0.1 port \([0-9]*\)$/\1/p' "$data/lumed.out")
        [ -n "$port" ] && break
        kill -0 "$lumed_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$port" ]; then
        echo "lumed did not start:" >&2
        cat "$data/lumed.out" >&2
        return 1
    fi
    url="nfs://127.0.0.1$data/export?version=3&nfsport=$port&mountport=$port"
}

# run_one SERVER ROUND LABEL WORKLOAD OPTIONS TARGET...: one run, appended to $raw.
run_one() {
    local server=$1 round=$2 label=$3 workload=$4 options=$5
    shift 5
    local line
    # shellcheck disable=SC2086  # options are words
    line=$(timeout 300 "$client" "$@" "$workload" $options) || {
        echo "$server $label failed: $line" >&2
        return 1
    }
    jq -c --arg s "$server" --arg l "$label" --argjson r "$round" \
        '. + {server: $s, label: $l, round: $r}' <<<"$line" >>"$raw"
    printf '  %-6s round %s  %-14s done\n' "$server" "$round" "$label"
}

# run_all SERVER ROUND TARGET...: every workload once.
run_all() {
    local server=$1 round=$2 entry label workload options
    shift 2
    for entry in "${workloads[@]}"; do
        IFS='|' read -r label workload options <<<"$entry"
        [ "$server" = local ] && [ "$workload" = null ] && continue
        run_one "$server" "$round" "$label" "$workload" "$options" "$@"
    done
}

# Folds $raw into results.json: one row per workload phase, in run order.
summarise() {
    jq -s --argjson size "$SIZE_MIB" --argjson secs "$SECONDS_PER" --argjson rounds "$ROUNDS" \
        --arg host "$(uname -srm), $(nproc) cores" --arg when "$(date -u +%FT%TZ)" '
        [ .[] | . as $run | .results[] |
          {row: (if ($run.results | length) > 1 then "\($run.label) \(.name)" else $run.label end),
           server: $run.server, value, unit, complete} ] as $all
        | (reduce ($all[] | .row) as $r ([]; if any(.[]; . == $r) then . else . + [$r] end))
        | map(. as $row
            | ($all | map(select(.row == $row))) as $rs
            | ($rs | map(select(.server == "lumed")) | map(.value) | sort) as $l
            | ($rs | map(select(.server == "local")) | map(.value)) as $loc
            | {workload: $row, unit: $rs[0].unit,
               lumed: {median: $l[($l | length) / 2 | floor], min: $l[0], max: $l[-1], runs: $l},
               local: $loc[0], peer: "not run",
               complete: ($rs | all(.complete))})
        | {when: $when, machine: $host,
           settings: {seqwrite_mib: $size, timed_seconds: $secs, lumed_rounds: $rounds},
           rows: .}' \
        "$raw" >"$out/results.json"
}

print_table() {
    {
        printf 'workload\tunit\tlumed median (min-max)\tlocal\tpeer (nfs-ganesha 4.3)\n'
        jq -r '.rows[] | [.workload + (if .complete then "" else " (hit time cap)" end), .unit,
            "\(.lumed.median | round) (\(.lumed.min | round)-\(.lumed.max | round))",
            (if .local == null then "-" else (.local | round | tostring) end),
            .peer] | @tsv' "$out/results.json"
    } | column -t -s $'\t'
}

main() {
    echo "building lumed and lume_nfs_bench in $BUILD_DIR"
    build
    trap stop_lumed EXIT
    local round
    start_lumed
    echo "lumed (pid $lumed_pid) serving $data/export"
    : >"$raw"
    for round in $(seq "$ROUNDS"); do
        run_all lumed "$round" "$url"
    done
    stop_lumed
    run_all local 1 --local "$data/local"
    summarise
    echo
    print_table
    echo
    echo "seqwrite file ${SIZE_MIB} MiB, timed workloads ${SECONDS_PER} s; results: $out/results.json"
}

main "$@"
