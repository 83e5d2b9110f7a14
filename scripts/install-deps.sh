#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the server need, and
# only those that are missing. Quiet when everything is already there.
set -euo pipefail

packages=(
    g++ cmake make pkg-config clang-format
    libboost-dev nlohmann-json3-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libtirpc-dev rpcsvc-proto
    libnfs-dev libnfs-utils
    jq
)

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
