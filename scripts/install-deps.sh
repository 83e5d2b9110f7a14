#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the server need, and
# only those that are missing. Quiet when everything is already there.
# clang-14 and its libFuzzer (libclang-rt-14-dev, which clang's headers only
# recommends) build the fuzz targets (`make fuzz`); clang-14 also checks
# the lock annotations (`make build-tsa`); g++ brings
# ThreadSanitizer's runtime. libsystemd-dev brings sd-bus, the D-Bus client
# of NFS-Ganesha's export manager (and sd_notify); its tests run a private
# dbus-daemon. libtomlplusplus-dev reads lumed's configuration file and
# libcli11-dev parses the programs' command lines.
# nfs-ganesha with its VFS back end, rpcbind and iproute2 (for a private
# network namespace) run lumed --ganesha's end-to-end test and
# `make ganesha-demo`; a Ganesha service the package starts on a systemd
# machine is stopped and disabled again, since only those private copies
# are wanted. help2man makes the man pages and dpkg-dev finds the Debian
# package's library dependencies (`make install`, `make package`).
# --bench (used by `make bench`) adds gnuplot for the chart.
set -euo pipefail

packages=(
    g++ cmake make pkg-config clang-format
    libboost-dev nlohmann-json3-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libtirpc-dev rpcsvc-proto
    libssl-dev liblmdb-dev libacl1-dev
    libnfs-dev libnfs-utils
    jq help2man dpkg-dev
    libtomlplusplus-dev libcli11-dev
    libsystemd-dev dbus-daemon
    nfs-ganesha nfs-ganesha-vfs rpcbind iproute2
    clang-14 libclang-rt-14-dev
)
bench_packages=(gnuplot-nox)

case "${1:-}" in
    "") ;;
    --bench) packages+=("${bench_packages[@]}") ;;
    *)
        echo "usage: $0 [--bench]" >&2
        exit 2
        ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
if [[ " ${missing[*]} " == *" nfs-ganesha "* ]] && [ -d /run/systemd/system ]; then
    "${sudo_cmd[@]}" systemctl disable --now nfs-ganesha.service >/dev/null 2>&1 || true
fi
