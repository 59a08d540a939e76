#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the release tavrinset under valgrind memcheck against the emulator, once for each kind
# of run that matters: the typical configuration, every setting at once, the raw dump (counted
# and stopped by Ctrl-C), a silent controller, a failing self-test and a bad command line.
# Usage: tests/valgrind/memcheck.sh [build dir, default build/default]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd)
tool=$build/tavrinset
emu=$build/emu/tpanel-emu
for f in "$tool" "$emu"; do
    [[ -x $f ]] || { echo "memcheck: $f not built" >&2; exit 1; }
done
command -v valgrind >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
}

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed=0
passed=0

# check NAME EXPECTED-STATUS [emulator options] -- [tavrinset arguments]
check() {
    local name=$1 expected=$2
    shift 2
    local emu_args=()
    while [[ $1 != -- ]]; do
        emu_args+=("$1")
        shift
    done
    shift
    local log=$logs/$name.log
    "$emu" --quiet "${emu_args[@]}" -- valgrind --error-exitcode=1 --leak-check=full \
        --errors-for-leak-kinds=definite,possible --vgdb=no --log-file="$log" \
        "$tool" "$@" >"$logs/$name.out" 2>"$logs/$name.err"
    local status=$?
    if [[ $status -eq 77 ]]; then
        echo "memcheck $name: SKIPPED (no private mount namespace here)"
        return
    fi
    if [[ $status -eq $expected ]] && grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
        passed=$((passed + 1))
        echo "memcheck $name: ok (status $status)"
    else
        failed=$((failed + 1))
        echo "memcheck $name: FAILED (status $status, expected $expected)"
        cat "$log" "$logs/$name.err"
    fi
}

check typical 0 -- --width 800 --height 600 --mode touch,scale --dump
check everything 0 -- -D -w 1024 -h 768 -x 10 -X 4000 -y 20 -Y 4050 -s 5 -d 12 -S 3 \
    -u 4 -R 30 --mode stream,untouch,calib,trim,scale,tracking -p
check raw-dump 0 --touch 100,200 --foreign Z --touch 300,400 --touch 4095,0 -- --raw 3 -p
check raw-ctrl-c 130 --touch 1,2 --touch 3,4 --after-touches INT -- --raw -1
check silent-controller 1 --fault 0:no-reply --fault 1:short:4 -- -w 800 -s 9 -p
check selftest-fails 255 --selftest-failures 0x05 -- -D -w 800
check hangup 1 --touch 5,6 --after-touches hangup -- --raw -1
check bad-command-line 2 -- --width 80x --mode nothing extra

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
