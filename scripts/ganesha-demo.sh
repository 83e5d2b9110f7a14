#!/usr/bin/env bash
# `make ganesha-demo`: lumed --ganesha with a ganesha.nfsd of its own, both
# in a private network and mount namespace (root only), and a D-Bus system
# bus between them. Prints the commands to try from another terminal, and on
# Ctrl-C stops all it started, by PID.
#   ganesha-demo.sh LUMED LUMECTL DIR STATE_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ganesha-env.sh"
ganesha_env_enter "$0" "$@"
if [ -n "$ge_skip" ]; then
    echo "ganesha-demo: $ge_skip" >&2
    exit 1
fi
lumed=$1 lumectl=$2 dir=$3 state=$4
ge_dir=$(mktemp -d /tmp/lume-ganesha-demo.XXXXXX)
lumed_pid=""
stop_all() {
    ge_stop "$lumed_pid"
    ganesha_env_stop
    rm -rf "$ge_dir"
}
trap 'stop_all; exit 0' INT TERM
trap stop_all EXIT

if ! ganesha_env_start; then
    echo "ganesha-demo: $ge_skip" >&2
    exit 1
fi
"$lumed" --ganesha --state-dir "$state" >"$ge_dir/lumed.out" 2>&1 &
lumed_pid=$!
if ! ge_wait 20 grep -q "serving through NFS-Ganesha" "$ge_dir/lumed.out"; then
    echo "ganesha-demo: lumed did not start:" >&2
    cat "$ge_dir/lumed.out" >&2
    exit 1
fi
cat "$ge_dir/lumed.out"
net="nsenter --net=/proc/$ge_ganesha_pid/ns/net"
ctl="$lumectl --socket $state/lumed.sock"
cat <<TEXT
NFS-Ganesha (pid $ge_ganesha_pid) and lumed --ganesha (pid $lumed_pid) are running in a
private network namespace; its NFS clients reach Ganesha there on 127.0.0.1.
Try, as root in another terminal:
  $ctl export $dir --clients 127.0.0.1
  $net nfs-ls 'nfs://127.0.0.1$dir?version=3'
  $net nfs-cat 'nfs://127.0.0.1$dir/hello.txt?version=4'
  $ctl lock $dir hello.txt --owner 1 --write
  $ctl unexport $dir
Logs: $state/lumed.log and $ge_dir/ganesha.log. Stop: Ctrl-C.
TEXT
wait "$lumed_pid"
