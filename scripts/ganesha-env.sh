# Sourced by scripts/ganesha-demo.sh and the NFS-Ganesha integration test:
# a private world for lumed --ganesha. As root, ganesha_env_enter re-runs the
# caller under `unshare --net --mount --fork`, so that the D-Bus system bus,
# rpcbind and ganesha.nfsd it starts are seen by nothing outside; they are
# stopped by PID (ganesha_env_stop).
#
# Needs: ge_dir (a directory of the caller's for sockets, configuration and
# logs). Sets: ge_skip (why the world cannot be made; empty when it can),
# ge_dbus_pid, ge_rpcbind_pid, ge_ganesha_pid, DBUS_SYSTEM_BUS_ADDRESS.

ge_skip=""
ge_dbus_pid=""
ge_rpcbind_pid=""
ge_ganesha_pid=""

# ganesha_env_enter SCRIPT ARGS...: returns only inside the namespace, or
# with ge_skip set when there can be none.
ganesha_env_enter() {
    [ -n "${LUME_GANESHA_NS:-}" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        ge_skip="not root: NFS-Ganesha runs only in a private namespace made as root"
        return 0
    fi
    local tool
    for tool in ganesha.nfsd rpcbind dbus-daemon unshare ip; do
        if ! command -v "$tool" >/dev/null; then
            ge_skip="$tool is not installed (scripts/install-deps.sh installs it)"
            return 0
        fi
    done
    if [ ! -e /usr/lib/x86_64-linux-gnu/ganesha/libfsalvfs.so ] &&
        ! ls /usr/lib/*/ganesha/libfsalvfs.so >/dev/null 2>&1; then
        ge_skip="NFS-Ganesha's VFS back end (nfs-ganesha-vfs) is not installed"
        return 0
    fi
    local err
    if ! err=$(unshare --net --mount --fork true 2>&1); then
        ge_skip="no private namespace can be made here: $err"
        return 0
    fi
    exec env LUME_GANESHA_NS=1 unshare --net --mount --fork -- "$@"
}

# Inside the namespace: loopback up, /run and Ganesha's state fresh.
ganesha_env_setup() {
    ip link set lo up || { ge_skip="loopback cannot be brought up"; return 1; }
    mount --make-rprivate / 2>/dev/null || true
    mount -t tmpfs tmpfs /run || { ge_skip="/run cannot be mounted"; return 1; }
    mkdir -p /run/dbus /run/rpcbind /run/ganesha
    if [ -d /var/lib/nfs/ganesha ]; then
        mount -t tmpfs tmpfs /var/lib/nfs/ganesha || {
            ge_skip="/var/lib/nfs/ganesha cannot be mounted"
            return 1
        }
    fi
}

# ge_wait SECONDS CHECK...: runs CHECK every 0.1 s until it succeeds.
ge_wait() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do
        "$@" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

ge_alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# A system bus of our own at the usual address, open to root alone.
ganesha_env_start_dbus() {
    cat >"$ge_dir/dbus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy user="root">
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
    dbus-daemon --config-file="$ge_dir/dbus.conf" --nofork --nopidfile \
        >"$ge_dir/dbus.out" 2>&1 &
    ge_dbus_pid=$!
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
    ge_wait 10 test -S /run/dbus/system_bus_socket || {
        ge_skip="dbus-daemon did not start: $(tail -n 3 "$ge_dir/dbus.out")"
        return 1
    }
}

# Ganesha exits at start without an rpcbind to register with.
ganesha_env_start_rpcbind() {
    rpcbind -f -w >"$ge_dir/rpcbind.out" 2>&1 &
    ge_rpcbind_pid=$!
    ge_wait 10 test -S /run/rpcbind.sock || {
        ge_skip="rpcbind did not start: $(tail -n 3 "$ge_dir/rpcbind.out")"
        return 1
    }
}

# NFSv3 and NFSv4 on the usual ports; no exports of its own. NFSv3 clients
# mount a share by its share path, as NFSv4 clients find it.
ganesha_env_start_ganesha() {
    cat >"$ge_dir/ganesha.conf" <<CONF
NFS_CORE_PARAM {
    Protocols = 3, 4;
    Enable_NLM = false;
    Enable_RQUOTA = false;
    Enable_UDP = false;
    Mount_Path_Pseudo = true;
}
NFSV4 { Graceless = true; }
CONF
    ganesha.nfsd -F -f "$ge_dir/ganesha.conf" -L "$ge_dir/ganesha.log" \
        -p "$ge_dir/ganesha.pid" >"$ge_dir/ganesha.out" 2>&1 &
    ge_ganesha_pid=$!
    ge_wait 30 ge_ganesha_ready || {
        ge_skip="ganesha.nfsd did not start: $(tail -n 5 "$ge_dir/ganesha.log" 2>/dev/null)"
        return 1
    }
}

ge_ganesha_ready() {
    ge_alive "$ge_ganesha_pid" && (exec 3<>/dev/tcp/127.0.0.1/2049) 2>/dev/null
}

# All three, in order. False with ge_skip set when one does not come up.
ganesha_env_start() {
    ganesha_env_setup && ganesha_env_start_dbus && ganesha_env_start_rpcbind &&
        ganesha_env_start_ganesha
}

# ge_stop PID: TERM, up to 10 s to exit, then KILL.
ge_stop() {
    local pid=$1
    ge_alive "$pid" || return 0
    kill -TERM "$pid" 2>/dev/null || true
    ge_wait 10 eval "! kill -0 $pid" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

ganesha_env_stop() {
    ge_stop "$ge_ganesha_pid"
    ge_stop "$ge_rpcbind_pid"
    ge_stop "$ge_dbus_pid"
    ge_ganesha_pid="" ge_rpcbind_pid="" ge_dbus_pid=""
}
