#!/usr/bin/env bash
# Runs one fuzz target for a time from its committed seed corpus; prints the executions it ran.
#   run_fuzzer.sh TARGET SEED_CORPUS WORK_CORPUS SECONDS
set -euo pipefail
target=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work"
cp -n "$seeds"/* "$work"/ 2>/dev/null || true
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/../crash-$(basename "$target")-" "$work" >"$log" 2>&1 || status=$?
executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
echo "$(basename "$target"): $executions executions in ${seconds}s, exit $status"
if ((status != 0)); then
    tail -40 "$log"
    exit 1
fi
