#!/usr/bin/env bash
# Runs a command and checks its standard output line by line:
#   expect.sh [--has REGEX]... [--lacks REGEX]... [--count N REGEX]... [--last REGEX]
#             -- COMMAND [ARG]...
# Every --has must match some line, no --lacks may match any, each --count's REGEX must match
# exactly N lines, and --last must match the last.
set -uo pipefail
has=()
lacks=()
counts=()
last=""
while [ $# -gt 0 ]; do
    case "$1" in
        --has) has+=("$2"); shift 2 ;;
        --lacks) lacks+=("$2"); shift 2 ;;
        --count) counts+=("$2" "$3"); shift 3 ;;
        --last) last="$2"; shift 2 ;;
        --) shift; break ;;
        *) echo "expect.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
out=$("$@")
status=$?
if [ $status -ne 0 ]; then
    echo "$out" | tail -20
    echo "FAILED: exit status $status" >&2
    exit 1
fi
failed=0
for pattern in "${has[@]}"; do
    if ! grep -Eq -- "$pattern" <<<"$out"; then
        echo "FAILED: no line matches: $pattern" >&2
        failed=1
    fi
done
for pattern in "${lacks[@]}"; do
    if grep -Eq -- "$pattern" <<<"$out"; then
        echo "FAILED: a line matches: $pattern" >&2
        grep -E -- "$pattern" <<<"$out" | head -3 >&2
        failed=1
    fi
done
for ((i = 0; i < ${#counts[@]}; i += 2)); do
    found=$(grep -Ec -- "${counts[i + 1]}" <<<"$out")
    if [ "$found" -ne "${counts[i]}" ]; then
        echo "FAILED: $found lines, not ${counts[i]}, match: ${counts[i + 1]}" >&2
        failed=1
    fi
done
if [ -n "$last" ] && ! tail -n 1 <<<"$out" | grep -Eq -- "$last"; then
    echo "FAILED: the last line does not match: $last" >&2
    failed=1
fi
if [ $failed -ne 0 ]; then
    echo "--- output (last 40 lines):" >&2
    tail -40 <<<"$out" >&2
fi
exit $failed
