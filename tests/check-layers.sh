#!/bin/bash
# The top-level folders only look down: each includes headers of the folders
# listed below it and of none other, and the includes between folders form
# no cycle. Prints the folders each one includes; exits 1 on a include that
# looks up (naming the file and line) or on a cycle.
#   tests/check-layers.sh [SOURCE_ROOT]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A may=(
    [platform]=""
    [host]="platform"
    [module]="platform host"
    [server]="platform host"
    [cli]="platform host server"
    [bench]="platform host module server"
    [fuzz]="platform host module server"
    [tests]="platform host module server cli"
)

status=0
edges=""
for folder in platform host module server cli bench fuzz tests; do
    used=$(grep -rhoE '^#include "[a-z]+/' "$folder" | cut -d'"' -f2 | cut -d/ -f1 | sort -u)
    echo "$folder -> $(echo $used)"
    for other in $used; do
        [ "$other" = "$folder" ] && continue
        [ -d "$other" ] || continue # a generated header's own folder
        edges+="$folder $other"$'\n'
        case " ${may[$folder]} " in *" $other "*) continue ;; esac
        echo "$folder may not include $other:" >&2
        grep -rnE "^#include \"$other/" "$folder" >&2
        status=1
    done
done
if ! loop=$(printf '%s' "$edges" | tsort 2>&1 > /dev/null); then
    echo "$loop" >&2
    status=1
fi
[ $status = 0 ] && echo "no folder includes one above it; no cycle"
exit $status
