#!/usr/bin/env bash
# The module must export LoadFSM (with C linkage) and hide its own classes.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only "$lib")
grep -qE ' T LoadFSM$' <<<"$symbols" || { echo "LoadFSM is not exported by $lib"; exit 1; }
if grep -q 'SinkFSM' <<<"$symbols"; then
    echo "module internals are exported by $lib:"
    grep 'SinkFSM' <<<"$symbols"
    exit 1
fi
echo "LoadFSM exported, internals hidden"
