#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer programs with clang in build/fuzz and runs each one for a while.
# Usage: tests/fuzz/run-fuzzers.sh [seconds per target, default 60]
# New inputs collect in build/fuzz/corpus-<target>; a finding is saved in build/fuzz/findings
# and ends the script with a failure. Add an input worth keeping to tests/fuzz/corpus/<target>.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
build=$root/build/fuzz

mkdir -p "$build/findings"
# clang-14 with its fuzzer and sanitizer runtimes.
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    clang++-14 -x c++ -fsanitize=fuzzer,address,undefined - -o "$build/probe" >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DTAVRINSET_SANITIZE=ON -DTAVRINSET_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target fuzz-options fuzz-replies fuzz-framer tavrinset-options >/dev/null
# The options dictionary gets every option the parser takes, as it takes them.
{
    "$build/tests/install/tavrinset-options" | awk '{ print "\"" $1 "\"" }'
    cat "$root/tests/fuzz/options.dict"
} >"$build/options.dict"

status=0
for target in options replies framer; do
    mkdir -p "$build/corpus-$target"
    log=$build/fuzz-$target.log
    # A framer stream reaches every state it has within a few dozen packets; shorter is faster.
    max_len=512 dict=$root/tests/fuzz/$target.dict
    [ "$target" = framer ] && max_len=256
    [ "$target" = options ] && dict=$build/options.dict
    # -close_fd_mask=3 silences the tool's own output; libFuzzer keeps a copy of stderr for its
    # reports. -timeout turns a hang into a finding.
    if "$build/tests/fuzz/fuzz-$target" -max_total_time="$seconds" -timeout=10 -max_len="$max_len" \
        -close_fd_mask=3 -print_final_stats=1 -dict="$dict" \
        -artifact_prefix="$build/findings/$target-" \
        "$build/corpus-$target" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz $target: ${seconds}s, ${runs:-?} runs, no finding"
    else
        echo "fuzz $target: FINDING (log $log)"
        grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse|RELOAD)' "$log" | tail -n 60
        status=1
    fi
done
exit $status
