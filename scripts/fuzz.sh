#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs them, one at a time and at low priority.
#   scripts/fuzz.sh TARGET [SECONDS]   fuzz one target (report, passthrough, setup, cli_arguments,
#                                      cli_replies, iscsi_address); 600 s unless given
#   scripts/fuzz.sh all [SECONDS]      replay every seed and kept failure, then fuzz each target in
#                                      turn; 20 s each unless given
# New corpus entries go to build/fuzz/corpus/TARGET, a failing input to build/fuzz/artifacts/TARGET/,
# the output to build/fuzz/logs/TARGET.log. Keep every failing input in fuzz/regressions/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(report passthrough setup cli_arguments cli_replies iscsi_address)

usage() {
    echo "usage: scripts/fuzz.sh report|passthrough|setup|cli_arguments|cli_replies|iscsi_address|all [SECONDS]" >&2
    exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
case "$1" in
    all) chosen=("${targets[@]}") seconds=${2:-20} ;;
    report | passthrough | setup | cli_arguments | cli_replies | iscsi_address) chosen=("$1") seconds=${2:-600} ;;
    *) usage ;;
esac
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage

cmake --preset fuzz >/dev/null
nice cmake --build --preset fuzz
if [ "$1" = all ]; then
    ctest --preset fuzz
fi

status=0
for target in "${chosen[@]}"; do
    corpus=build/fuzz/corpus/$target
    artifacts=build/fuzz/artifacts/$target
    mkdir -p "$corpus" "$artifacts" build/fuzz/logs
    inputs=("$corpus" "fuzz/corpus/$target")
    [ -d "fuzz/regressions/$target" ] && inputs+=("fuzz/regressions/$target")
    echo "== fuzz_$target for $seconds s"
    log=build/fuzz/logs/$target.log
    if nice build/fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1; then
        grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1 || true
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log" || true
    else
        status=1
        tail -n 40 "$log" >&2
        echo "fuzz_$target FAILED: the input is in $artifacts/, the output in $log" >&2
    fi
done
exit $status
