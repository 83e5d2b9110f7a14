#!/usr/bin/env bash
# `make bench`: the end-to-end benchmark, lumed against nfs-ganesha 4.3.
#
# Builds lumed and lume_nfs_bench (RelWithDebInfo, in $BUILD_DIR), then:
#  - as root, re-executes itself under `unshare --net --mount --fork`, so that
#    rpcbind, nfs-ganesha and lumed live in a private network namespace (its
#    own loopback) and mount namespace (a tmpfs over /run hides the host's
#    rpcbind socket and dbus);
#  - runs $ROUNDS rounds over one directory, $BUILD_DIR/bench-data/export,
#    emptied before each server's turn: lumed runs every workload, then
#    ganesha does; the data workloads then run once with plain POSIX calls in
#    $BUILD_DIR/bench-data/local (the ceiling: the same disk without NFS);
#  - after lumed's workloads, kills lumed under a reading client and starts
#    it again (restart_run): the pause the client saw and its errors;
#  - at the end of each server's turn, stops it and starts it again: the time
#    from its start to the first NULL and GETATTR answered (firstcall_run);
#  - keeps a tree of empty files (1000 per directory) and 10,000 files of
#    4 KiB in the export directory across rounds, servers and runs (made
#    once, locally: make_trees), for the smallfiles and bigtree rows; after
#    bigtree, reads the server's resident memory (VmRSS);
#  - around the null and randread runs, reads the server process's CPU time
#    (/proc/PID/stat) and reports server CPU microseconds per call;
#  - around the churn run (CREATE + REMOVE cycles, after a warm-up), reads
#    the server's resident memory and lumed's state store size: their growth;
#  - prints one table (medians, min-max, lumed/ganesha, targets, local),
#    writes $BUILD_DIR/bench/results.json and draws results.png
#    (bench/chart.gp).
# Without root, or when the namespace cannot be made, ganesha is skipped and
# its column says "not run: REASON"; the table and chart still come out.
# Sizes: a 1 GiB file, 10 s timed workloads, a tree of 1,000,000 files
# and 100,000 churn cycles (about 15 min on two cores, plus a few minutes to
# make the tree the first time); BENCH_QUICK=1 uses 256 MiB, 3 s, 100,000
# files and 20,000 cycles, for development. BENCH_ONLY="WORKLOAD..." runs
# those workloads alone (and restart, firstcall when named), in the same
# rounds. See bench/README.md.
set -euo pipefail

self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$self")/.."
. scripts/ganesha-env.sh
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-2}
ROUNDS=3
# TREE_DIRS directories of 1000 files; the newer rows' own seconds (SHORT_SECONDS).
if [ "${BENCH_QUICK:-0}" = 1 ]; then
    SIZE_MIB=256 SECONDS_PER=3 TREE_DIRS=100 SHORT_SECONDS=2 CHURN_CYCLES=20000
else
    SIZE_MIB=1024 SECONDS_PER=10 TREE_DIRS=1000 SHORT_SECONDS=5 CHURN_CYCLES=100000
fi
TREE=lume-bench-tree
SMALL=lume-bench-small
CHURN=lume-bench-churn
CHURN_WARMUP=1000
BENCH_ONLY=${BENCH_ONLY:-}

data="$PWD/$BUILD_DIR/bench-data"
export_dir="$data/export"
out="$PWD/$BUILD_DIR/bench"
client="$out/lume_nfs_bench"
raw="$out/raw.jsonl"
# Ganesha's ports: fixed, since only its private namespace can see them.
GANESHA_NFS_PORT=2049
GANESHA_MNT_PORT=20048

peer_skip=""      # why ganesha is not run; empty while it is
lumed_pid=""
ganesha_pid=""
server_pid=""     # the server the current run talks to (CPU time)
url=""

# label|workload|options: the runs of one round, in the order they run.
workloads=(
    "null qd1|null|--depth 1 --seconds $SECONDS_PER"
    "null qd16|null|--depth 16 --seconds $SECONDS_PER"
    "seqwrite|seqwrite|--depth 4 --size-mib $SIZE_MIB"
    "seqread|seqread|--depth 4"
    "randread qd1|randread|--depth 1 --seconds $SECONDS_PER"
    "randread qd16|randread|--depth 16 --seconds $SECONDS_PER"
    "meta|meta|--depth 16 --files 10000"
    "clients|clients|--clients 16 --seconds $SECONDS_PER"
    "smallfiles|smallfiles|--depth 16 --file $SMALL --files 10000"
    "bigtree|bigtree|--depth 16 --file $TREE --dirs $TREE_DIRS --files 1000 --seconds $SHORT_SECONDS"
    "coldread warm|coldread|--seconds $SHORT_SECONDS"
    "coldread cold|coldread|--seconds $SHORT_SECONDS"
    "churn|churn|--file $CHURN --files $CHURN_CYCLES --cap-seconds 240"
)

# Workloads with no local run.
nfs_only="null clients smallfiles bigtree coldread churn"

# The runs whose server CPU time becomes a "cpu/op LABEL" row.
cpu_labels=("null qd1" "null qd16" "randread qd1" "randread qd16")

# row|compare|value[|unit]: what lumed/ganesha (ratio of the medians) should
# reach; with a unit, what lumed's own median should.
targets=(
    "null qd1|>=|1.5"
    "null qd16|>=|1.5"
    "randread qd1|>=|1.5"
    "randread qd16|>=|1.5"
    "seqread|>=|2.0"
    "seqwrite|>=|1.1"
    "meta lookup|>=|1.5"
    "meta getattr|>=|1.5"
    "meta remove|>=|1.3"
    "meta create|>=|1.2"
    "meta readdirplus|>=|1.2"
    "clients throughput|>=|1.2"
    "clients p99|<=|1.0"
    "smallfiles|>=|1.2"
    "bigtree lookup|>=|1.2"
    "bigtree getattr|>=|1.2"
    "bigtree rss|<=|1.0"
    "coldread warm getattr p99|<=|1.0"
    "coldread cold getattr p99|<=|1.0"
    "firstcall null|<=|1.0"
    "firstcall getattr|<=|1.0"
    "cpu/op null qd1|<=|0.5"
    "cpu/op null qd16|<=|0.5"
    "cpu/op randread qd1|<=|0.5"
    "cpu/op randread qd16|<=|0.5"
    "churn rss growth|<=|4|MiB"
    "churn store growth|<=|4|MiB"
)

# Rows only lumed has (jq, on a row of results.json).
jq_lumed_only='def lumed_only: (.workload | startswith("restart")) or .workload == "churn store growth";'

# ---------------------------------------------------------------- namespace

# As root and not yet inside: re-executes this script in a private network
# and mount namespace (does not return). Otherwise sets peer_skip and returns.
enter_namespace() {
    ganesha_env_enter "$self" "$@"
    peer_skip=$ge_skip
}

# Inside the namespace: loopback up, fresh /run (and ganesha's state dir).
setup_namespace() {
    [ -n "${LUME_GANESHA_NS:-}" ] || return 0
    ganesha_env_setup || peer_skip=$ge_skip
}

# selected WORKLOAD: whether BENCH_ONLY (empty: everything) names it.
selected() { [ -z "$BENCH_ONLY" ] || [[ " $BENCH_ONLY " == *" $1 "* ]]; }

# ---------------------------------------------------------------- processes

stop_lumed() { ge_stop "$lumed_pid"; lumed_pid=""; }
stop_ganesha() { ge_stop "$ganesha_pid"; ganesha_pid=""; }
stop_rpcbind() { ge_stop "$ge_rpcbind_pid"; ge_rpcbind_pid=""; }
stop_all() { stop_lumed; stop_ganesha; stop_rpcbind; }

# wait_ready URL PID: until a NULL call to URL succeeds (at most 100 tries,
# 30 s) or PID exits.
wait_ready() {
    local target=$1 pid=$2
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 1
        "$client" "$target" null --depth 1 --seconds 0.2 >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# Empties the export directory but for the trees (read only), so one
# server's files never trip the other.
empty_export() {
    mkdir -p "$export_dir"
    chmod 1777 "$export_dir"
    find "$export_dir" -mindepth 1 -maxdepth 1 ! -name "$TREE" ! -name "$SMALL" -exec rm -rf {} +
}

# Makes what is missing of the trees, before any server runs: $TREE_DIRS
# directories of 1000 empty files (slow the first time: kept across runs,
# $data/tree-dirs says how many directories are whole), and 10,000 files of
# 4 KiB (rewritten only when short; read, so they are in the page cache).
make_trees() {
    mkdir -p "$export_dir"
    chmod 1777 "$export_dir"
    local have
    have=$(cat "$data/tree-dirs" 2>/dev/null || echo 0)
    if [ "$have" -lt "$TREE_DIRS" ]; then
        echo "making the tree: $TREE_DIRS directories of 1000 files in $export_dir/$TREE"
        "$client" --local "$export_dir" tree --file "$TREE" --dirs "$TREE_DIRS" --files 1000 \
            --cap-seconds 1800 | jq -e '.results[0].complete' >/dev/null || {
            echo "the tree was not made whole" >&2
            return 1
        }
        echo "$TREE_DIRS" >"$data/tree-dirs"
    fi
    "$client" --local "$export_dir" tree --file "$SMALL" --dirs 1 --files 10000 --file-bytes 4096 |
        jq -e '.results[0].complete' >/dev/null || {
        echo "the small files were not made whole" >&2
        return 1
    }
    cat "$export_dir/$SMALL"/d0000/* >/dev/null
}

# launch_lumed PORT: starts lumed exporting $export_dir, root not squashed
# (--perms 7, like ganesha's No_Root_Squash), on PORT (0: a free one) with
# the state directory it had; sets lumed_pid.
launch_lumed() {
    "$BUILD_DIR/server/lumed/lumed" --export "$export_dir" --perms 7 --port "$1" --bind 127.0.0.1 \
        --state-dir "$data/state" --no-rpcbind >"$data/lumed.out" 2>&1 &
    lumed_pid=$!
}

# start_lumed [PORT]: launches lumed on a free loopback port with a fresh
# state directory, or on PORT with the state directory it had (a restart),
# and waits until it says it serves; sets lumed_pid, url.
start_lumed() {
    if [ -z "${1:-}" ]; then
        rm -rf "$data/state"
        mkdir -p "$data/state"
    fi
    launch_lumed "${1:-0}"
    local port=""
    for _ in $(seq 100); do
        # The background job opens lumed.out itself, maybe not yet.
        port=$(sed -n 's/^lumed: serving on 127.0.0.1 port \([0-9]*\)$/\1/p' \
            "$data/lumed.out" 2>/dev/null) || true
        [ -n "$port" ] && break
        kill -0 "$lumed_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$port" ]; then
        echo "lumed did not start:" >&2
        cat "$data/lumed.out" >&2
        return 1
    fi
    url="nfs://127.0.0.1$export_dir?version=3&nfsport=$port&mountport=$port"
}

# Starts rpcbind in the namespace (ganesha exits at start without it).
start_rpcbind() {
    [ -z "$peer_skip" ] || return 0
    ge_dir=$data
    ganesha_env_start_rpcbind || peer_skip=$ge_skip
}

write_ganesha_conf() {
    cat >"$data/ganesha.conf" <<EOF
NFS_CORE_PARAM { Protocols = 3; Enable_NLM = false; Enable_RQUOTA = false; Enable_UDP = false; NFS_Port = $GANESHA_NFS_PORT; MNT_Port = $GANESHA_MNT_PORT; }
NFSV4 { Graceless = true; }
EXPORT { Export_Id = 1; Path = "$export_dir"; Pseudo = "$export_dir"; Access_Type = RW; Squash = No_Root_Squash; SecType = sys; Protocols = 3; Transports = TCP; FSAL { Name = VFS; } }
EOF
}

# start_ganesha ROUND: starts ganesha on $export_dir and waits until it
# answers; sets ganesha_pid and url. On failure prints its log's tail and
# sets peer_skip, so that later rounds skip it.
launch_ganesha() {
    ganesha.nfsd -F -f "$data/ganesha.conf" -L "$data/ganesha.log" -p "$data/ganesha.pid" \
        >>"$data/ganesha.out" 2>&1 &
    ganesha_pid=$!
}

start_ganesha() {
    launch_ganesha
    url="nfs://127.0.0.1$export_dir?version=3&nfsport=$GANESHA_NFS_PORT&mountport=$GANESHA_MNT_PORT"
    wait_ready "$url" "$ganesha_pid" && return 0
    echo "nfs-ganesha did not start; end of $data/ganesha.log:" >&2
    tail -n 20 "$data/ganesha.log" >&2 || true
    stop_ganesha
    peer_skip="ganesha did not start in round $1"
    return 1
}

# cpu_ticks PID: utime + stime of PID (fields 14 and 15 of /proc/PID/stat,
# counted after the last ')', since the name may hold spaces).
cpu_ticks() {
    local stat rest fields
    stat=$(<"/proc/$1/stat") || return 1
    rest=${stat##*) }
    read -ra fields <<<"$rest"
    echo $((fields[11] + fields[12]))
}

# ---------------------------------------------------------------- runs

# run_one SERVER ROUND LABEL WORKLOAD OPTIONS TARGET...: one run, appended to
# $raw, with the server's CPU ticks over the run when server_pid is set.
run_one() {
    local server=$1 round=$2 label=$3 workload=$4 options=$5
    shift 5
    local line before="" after="" ticks=null
    if [ -n "$server_pid" ]; then before=$(cpu_ticks "$server_pid") || before=""; fi
    # shellcheck disable=SC2086  # options are words
    line=$(timeout 300 "$client" "$@" "$workload" $options) || {
        echo "$server $label failed: $line" >&2
        return 1
    }
    if [ -n "$server_pid" ]; then after=$(cpu_ticks "$server_pid") || after=""; fi
    if [ -n "$before" ] && [ -n "$after" ]; then ticks=$((after - before)); fi
    jq -c --arg s "$server" --arg l "$label" --argjson r "$round" --argjson t "$ticks" \
        '. + {server: $s, label: $l, round: $r, server_cpu_ticks: $t}' <<<"$line" >>"$raw"
    printf '  %-7s round %s  %-14s done\n' "$server" "$round" "$label"
}

# append_row SERVER ROUND LABEL VALUE UNIT: a figure the script took itself.
append_row() {
    jq -nc --arg s "$1" --argjson r "$2" --arg l "$3" --argjson v "$4" --arg u "$5" \
        '{workload: $l, results: [{name: $l, value: $v, unit: $u, ops: 1, seconds: 0, complete: true}],
          server: $s, label: $l, round: $r, server_cpu_ticks: null}' >>"$raw"
}

# rss_mib: the server's resident memory (VmRSS) in MiB.
rss_mib() {
    local kib
    kib=$(awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status") || return 1
    [ -n "$kib" ] && awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }'
}

# rss_row SERVER ROUND: the server's resident memory, as "bigtree rss".
rss_row() {
    local mib
    mib=$(rss_mib) || return 1
    append_row "$1" "$2" "bigtree rss" "$mib" "MiB RSS"
}

# store_mib: the pages lumed's state store has used, in MiB (its LMDB
# environment's last page in use; free pages kept for reuse count).
store_mib() {
    "$client" --local "$data/state/store" storesize | jq -e '.results[0].value'
}

# churn_run SERVER ROUND OPTIONS TARGET...: a warm-up of CHURN_WARMUP cycles,
# then the churn run; the growth of the server's resident memory over the
# run (churn rss growth) and, for lumed, of its state store (churn store
# growth).
churn_run() {
    local server=$1 round=$2 options=$3 rss store="" rss_after store_after
    shift 3
    timeout 300 "$client" "$@" churn --file "$CHURN" --files "$CHURN_WARMUP" >/dev/null || {
        echo "$server churn warm-up failed" >&2
        return 1
    }
    rss=$(rss_mib) || return 1
    if [ "$server" = lumed ]; then store=$(store_mib) || return 1; fi
    run_one "$server" "$round" churn churn "$options" "$@" || return 1
    rss_after=$(rss_mib) || return 1
    append_row "$server" "$round" "churn rss growth" \
        "$(awk -v a="$rss" -v b="$rss_after" 'BEGIN { printf "%.1f", b - a }')" "MiB RSS"
    [ -n "$store" ] || return 0
    store_after=$(store_mib) || return 1
    append_row "$server" "$round" "churn store growth" \
        "$(awk -v a="$store" -v b="$store_after" 'BEGIN { printf "%.2f", b - a }')" "MiB store"
}

# run_all SERVER ROUND TARGET...: every workload once; fails if any run did.
run_all() {
    local server=$1 round=$2 entry label workload options failed=0
    shift 2
    for entry in "${workloads[@]}"; do
        IFS='|' read -r label workload options <<<"$entry"
        selected "$workload" || continue
        [ "$server" = local ] && [[ " $nfs_only " == *" $workload "* ]] && continue
        if [ "$label" = "coldread cold" ]; then
            "$client" --local "$export_dir" dropcache --file lume-bench.dat >/dev/null || failed=1
        fi
        if [ "$workload" = churn ]; then
            churn_run "$server" "$round" "$options" "$@" || failed=1
            continue
        fi
        run_one "$server" "$round" "$label" "$workload" "$options" "$@" || failed=1
        if [ "$workload" = bigtree ]; then rss_row "$server" "$round" || failed=1; fi
    done
    return "$failed"
}

# firstcall_run SERVER ROUND: stops the server and starts it again (lumed on
# its port and state directory), timing from just before the start to the
# first NULL and the first GETATTR answered (firstcall null, getattr).
firstcall_run() {
    local server=$1 round=$2 line since port
    if [ "$server" = lumed ]; then
        port=${url##*nfsport=}
        port=${port%%&*}
        stop_lumed
        since=${EPOCHREALTIME/[.,]/}
        launch_lumed "$port"
    else
        stop_ganesha
        since=${EPOCHREALTIME/[.,]/}
        launch_ganesha
    fi
    line=$(timeout 60 "$client" "$url" firstcall --since-us "$since" --seconds 30) || {
        echo "$server firstcall failed: $line" >&2
        return 1
    }
    jq -c --arg s "$server" --argjson r "$round" \
        '. + {server: $s, label: "firstcall", round: $r, server_cpu_ticks: null}' <<<"$line" >>"$raw"
    printf '  %-7s round %s  %-14s done\n' "$server" "$round" firstcall
}

# restart_run ROUND: a client reads the data file through one handle for
# SECONDS_PER s while lumed is killed (SIGKILL) a third of the way in and
# started again on its port and state directory: the longest pause the
# client saw and its failed reads (restart pause, restart errors).
restart_run() {
    local round=$1 port line
    port=${url##*nfsport=}
    port=${port%%&*}
    timeout 300 "$client" "$url" restart --seconds "$SECONDS_PER" >"$data/restart.out" &
    local reader=$!
    sleep "$(awk -v s="$SECONDS_PER" 'BEGIN { print s / 3 }')"
    kill -KILL "$lumed_pid"
    wait "$lumed_pid" 2>/dev/null || true
    start_lumed "$port"
    wait "$reader" || {
        echo "lumed restart run failed: $(cat "$data/restart.out")" >&2
        return 1
    }
    line=$(cat "$data/restart.out")
    jq -c --argjson r "$round" '. + {server: "lumed", label: "restart", round: $r, server_cpu_ticks: null}' \
        <<<"$line" >>"$raw"
    printf '  %-7s round %s  %-14s done\n' lumed "$round" restart
}

lumed_round() {
    local round=$1
    empty_export
    start_lumed
    server_pid=$lumed_pid
    run_all lumed "$round" "$url" || {
        echo "lumed round $round failed" >&2
        return 1
    }
    server_pid=""
    if selected restart; then restart_run "$round" || return 1; fi
    if selected firstcall; then firstcall_run lumed "$round" || return 1; fi
    stop_lumed
}

# A failed ganesha run is reported and skipped; the rest of the round goes on.
ganesha_round() {
    local round=$1
    [ -z "$peer_skip" ] || return 0
    empty_export
    start_ganesha "$round" || return 0
    server_pid=$ganesha_pid
    run_all ganesha "$round" "$url" || echo "ganesha round $round incomplete; going on" >&2
    server_pid=""
    if selected firstcall; then
        firstcall_run ganesha "$round" || echo "ganesha firstcall in round $round failed; going on" >&2
    fi
    stop_ganesha
}

# ---------------------------------------------------------------- results

lines_to_json() { jq -R 'split("|")' | jq -s "$1"; }

# Folds $raw into results.json: one row per workload phase in run order, then
# the CPU rows; per server every run, median, min and max; lumed/ganesha.
summarise() {
    local targets_json cpu_json peer_version
    targets_json=$(printf '%s\n' "${targets[@]}" |
        lines_to_json 'map({key: .[0], value: ({compare: .[1], value: (.[2] | tonumber)}
                                               + if .[3] then {unit: .[3]} else {} end)})
                       | from_entries')
    cpu_json=$(printf '%s\n' "${cpu_labels[@]}" | jq -R . | jq -s .)
    peer_version=$(dpkg-query -W -f='${Version}' nfs-ganesha 2>/dev/null || echo unknown)
    jq -s --argjson size "$SIZE_MIB" --argjson secs "$SECONDS_PER" --argjson rounds "$ROUNDS" \
        --argjson tree "$((TREE_DIRS * 1000))" --argjson short "$SHORT_SECONDS" \
        --argjson cycles "$CHURN_CYCLES" \
        --argjson targets "$targets_json" --argjson cpu_labels "$cpu_json" \
        --argjson clk "$(getconf CLK_TCK)" --arg peer_skip "$peer_skip" --arg peer_version "$peer_version" \
        --arg host "$(uname -srm), $(nproc) cores" --arg when "$(date -u +%FT%TZ)" '
        def stats: (map(.value) | sort) as $s
            | if ($s | length) == 0 then null
              else {median: $s[($s | length) / 2 | floor], min: $s[0], max: $s[-1],
                    runs: map({round, value})} end;
        . as $runs
        | [ $runs[] | . as $run | .results[] |
            {row: (if ($run.results | length) > 1 then "\($run.label) \(.name)" else $run.label end),
             server: $run.server, round: $run.round, value, unit, complete} ] as $data
        | [ $runs[] | select(.server != "local" and .server_cpu_ticks != null)
            | select(.label as $l | $cpu_labels | index($l)) | select(.results[0].ops > 0)
            | . as $run
            | {row: "cpu/op \(.label)", server, round, unit: "µs CPU/op",
               value: ($run.server_cpu_ticks / $clk * 1e6 / $run.results[0].ops),
               complete: $run.results[0].complete} ] as $cpu
        | ($data + $cpu) as $all
        | (reduce ($all[] | .row) as $r ([]; if index($r) then . else . + [$r] end))
        | map(. as $row
            | ($all | map(select(.row == $row))) as $rs
            | ($rs | map(select(.server == "lumed")) | stats) as $l
            | ($rs | map(select(.server == "ganesha")) | stats) as $g
            | $targets[$row] as $t
            # A target with a unit bounds the lumed median itself: no ratio then.
            | (if $l != null and $g != null and $g.median != 0 and $t.unit == null
               then $l.median / $g.median else null end) as $ratio
            | (if $t.unit != null then $l.median else $ratio end) as $judged
            | {workload: $row, unit: $rs[0].unit,
               better: (if ($row | startswith("cpu/op")) or ($row | startswith("restart"))
                           or $rs[0].unit == "ms" or $rs[0].unit == "MiB RSS"
                           or $rs[0].unit == "MiB store"
                        then "lower" else "higher" end),
               lumed: $l, ganesha: $g, ratio: $ratio, target: $t,
               met: (if $judged == null or $t == null then null
                     elif $t.compare == ">=" then $judged >= $t.value
                     else $judged <= $t.value end),
               local: ($rs | map(select(.server == "local")) | .[0].value),
               complete: ($rs | all(.complete))})
        | {when: $when, machine: $host,
           settings: {seqwrite_mib: $size, timed_seconds: $secs, rounds: $rounds, clk_tck: $clk,
                      tree_files: $tree, short_seconds: $short, churn_cycles: $cycles},
           peer: {name: "nfs-ganesha", version: $peer_version,
                  status: (if $peer_skip == "" then "run"
                           elif any($runs[]; .server == "ganesha") then "stopped: \($peer_skip)"
                           else "not run: \($peer_skip)" end)},
           rows: ., runs: $runs}' \
        "$raw" >"$out/results.json"
}

print_table() {
    {
        printf 'workload\tunit\tlumed median (min-max)\tganesha median (min-max)\tlumed/ganesha\ttarget\tmet\tlocal\n'
        jq -r --argjson rounds "$ROUNDS" "$jq_lumed_only"'
            def fixed($d): ([range($d)] | map(10) | reduce .[] as $x (1; . * $x)) as $p
                | (. * $p | round | tostring) as $s
                | ("0" * ([$d + 1 - ($s | length), 0] | max) // "") + $s
                | .[:length - $d] + "." + .[length - $d:];
            def num: if . == null then "-" elif . >= 100 then (round | tostring) else fixed(1) end;
            # Two decimals, three where two would round onto a missed target.
            def ratio($t; $met): if (fixed(2) | tonumber) == $t.value and ($met | not)
                then fixed(3) else fixed(2) end;
            def cell: if . == null then "-"
                      else "\(.median | num) (\(.min | num)-\(.max | num))"
                           + (if (.runs | length) < $rounds then " [\(.runs | length) of \($rounds) runs]" else "" end) end;
            .peer.status as $peer
            | .rows[] | [.workload + (if .complete then "" else " (hit time cap)" end), .unit,
                (.lumed | cell),
                (if .ganesha != null then (.ganesha | cell)
                 elif lumed_only then "-"
                 elif $peer == "run" then "failed" else $peer end),
                (if .ratio == null then "-" elif .target == null then (.ratio | fixed(2))
                 else . as $row | .ratio | ratio($row.target; $row.met) end),
                (if .target == null then "-"
                 else "\(.target.compare) \(.target.value | fixed(1))"
                      + (if .target.unit then " \(.target.unit)" else "" end) end),
                (if .met == null then "-" elif .met then "yes" else "NO" end),
                (.local | num)] | @tsv' "$out/results.json"
    } | column -t -s $'\t'
    echo
    echo "lumed/ganesha: ratio of the medians. cpu/op rows: server CPU time (utime+stime)"
    echo "per call, lower is better, so their target is a ceiling; a target with a unit"
    echo "bounds lumed's own median; local: one run, no NFS."
}

# Writes the chart's two tables (rates, CPU) and draws results.png.
draw_chart() {
    local peer note subtitle
    # Normalised to ganesha only when it has a figure for every row it runs.
    # Rows of lumed's alone and rows judged by lumed's own figure (growth,
    # which may be 0 or below) are left out of the chart.
    local drawn="$jq_lumed_only"' def drawn: (lumed_only | not) and .target.unit == null;'
    peer=$(jq "$drawn"'[.rows[] | select(drawn) | .ganesha != null]
               | if all then 1 else 0 end' "$out/results.json")
    note=$(jq -r '.peer.status' "$out/results.json")
    # label, lumed, lo, hi, ganesha, lo, hi, target: rates over ganesha's
    # median, CPU rows as ganesha/lumed so that higher is better in both.
    jq -r --argjson peer "$peer" "$drawn"'
        def n: if . == null then "NaN" else . end;
        .rows[] | select(.lumed != null) | select(drawn)
        | (if .better == "higher" then
             (if $peer == 1 then .ganesha.median else .lumed.median end) as $b
             | [.lumed.median / $b, .lumed.min / $b, .lumed.max / $b,
                (.ganesha | if $peer == 1 then .median / $b, .min / $b, .max / $b else null, null, null end),
                (if $peer == 1 then .target.value else null end)]
           else
             (if $peer == 1 then .ganesha.median else .lumed.median end) as $b
             | [$b / .lumed.median, $b / .lumed.max, $b / .lumed.min,
                (.ganesha | if $peer == 1 then $b / .median, $b / .max, $b / .min else null, null, null end),
                (if $peer == 1 then 1 / .target.value else null end)]
           end) as $v
        | [.better, (.workload | sub("^cpu/op "; "cpu "))] + ($v | map(n)) | @tsv' \
        "$out/results.json" >"$out/chart-all.tsv"
    awk -F'\t' '$1 == "higher"' "$out/chart-all.tsv" | cut -f2- >"$out/chart-rates.tsv"
    awk -F'\t' '$1 == "lower"' "$out/chart-all.tsv" | cut -f2- >"$out/chart-cpu.tsv"
    if [ ! -s "$out/chart-rates.tsv" ] || [ ! -s "$out/chart-cpu.tsv" ]; then
        echo "no chart: a panel has no rows (BENCH_ONLY)"
        return 0
    fi
    subtitle="medians of $ROUNDS runs, bars min-max; ${SIZE_MIB} MiB file, ${SECONDS_PER} s timed runs, tree of $((TREE_DIRS * 1000)) files; $(date -u +%F)"
    gnuplot -e "rates='$out/chart-rates.tsv'; cpu='$out/chart-cpu.tsv'; out='$out/results.png'" \
        -e "peer=$peer; peer_note='$note'; subtitle='$subtitle'" bench/chart.gp
}

main() {
    enter_namespace "$@"
    setup_namespace
    echo "building lumed and lume_nfs_bench in $BUILD_DIR"
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD_DIR" -j"$JOBS" --target lumed SinkFSM lume_nfs_bench >/dev/null
    trap stop_all EXIT
    trap 'exit 130' INT TERM
    # Everything of an earlier run goes but the trees, slow to make.
    mkdir -p "$data"
    find "$data" -mindepth 1 -maxdepth 1 ! -name export ! -name tree-dirs -exec rm -rf {} +
    mkdir -p "$data/local" "$out"
    empty_export
    if selected smallfiles || selected bigtree; then make_trees; fi
    : >"$raw"
    write_ganesha_conf
    start_rpcbind
    if [ -z "$peer_skip" ]; then echo "peer: nfs-ganesha in a private namespace"
    else echo "peer: nfs-ganesha not run: $peer_skip"; fi
    local round
    for round in $(seq "$ROUNDS"); do
        lumed_round "$round"
        ganesha_round "$round"
    done
    stop_rpcbind
    run_all local 1 --local "$data/local"
    summarise
    echo
    print_table
    draw_chart
    echo
    echo "seqwrite file ${SIZE_MIB} MiB, timed workloads ${SECONDS_PER} s, tree $((TREE_DIRS * 1000)) files;" \
        "results: $out/results.json, chart: $out/results.png"
}

main "$@"
