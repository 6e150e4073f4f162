#!/usr/bin/env bash
# Runs an updater without a person and checks its exit code, its standard output and the history
# it leaves:
#   expect_run.sh --status N [--has REGEX]... [--lacks REGEX]...
#                 [--history FILE [--fresh] [--records N] [--record REGEX]...] -- COMMAND [ARG]...
# --fresh removes FILE first; --records counts the history's lines that are JSON objects;
# each --record must match one of those lines.
set -uo pipefail
status_wanted=""
has=()
lacks=()
history=""
fresh=0
records=""
record=()
while [ $# -gt 0 ]; do
    case "$1" in
        --status) status_wanted="$2"; shift 2 ;;
        --has) has+=("$2"); shift 2 ;;
        --lacks) lacks+=("$2"); shift 2 ;;
        --history) history="$2"; shift 2 ;;
        --fresh) fresh=1; shift ;;
        --records) records="$2"; shift 2 ;;
        --record) record+=("$2"); shift 2 ;;
        --) shift; break ;;
        *) echo "expect_run.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
if [ -n "$history" ] && [ "$fresh" -eq 1 ]; then
    rm -f "$history"
    mkdir -p "$(dirname "$history")"
fi
out=$("$@" 2>&1)
status=$?
failed=0
if [ "$status" != "$status_wanted" ]; then
    echo "FAILED: exit code $status, not $status_wanted"
    failed=1
fi
for pattern in "${has[@]}"; do
    grep -Eq -- "$pattern" <<<"$out" || { echo "MISSING: $pattern"; failed=1; }
done
for pattern in "${lacks[@]}"; do
    grep -Eq -- "$pattern" <<<"$out" && { echo "UNEXPECTED: $pattern"; failed=1; }
done
if [ -n "$history" ]; then
    sound=$(python3 -c '
import json, sys
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    try:
        value = json.loads(line)
    except ValueError:
        continue
    if isinstance(value, dict):
        print(json.dumps(value, sort_keys=True))
' "$history" 2>/dev/null || true)
    if [ -n "$records" ]; then
        count=$(grep -c . <<<"$sound" || true)
        [ "$count" -eq "$records" ] || { echo "FAILED: $count history records, not $records"; failed=1; }
    fi
    for pattern in "${record[@]}"; do
        grep -Eq -- "$pattern" <<<"$sound" || { echo "MISSING in the history: $pattern"; failed=1; }
    done
fi
if [ "$failed" -ne 0 ]; then
    echo "--- output"
    echo "$out" | tail -40
    [ -z "$history" ] || { echo "--- history"; cat "$history" 2>/dev/null; }
fi
exit "$failed"
