#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed programs print the project's version: exactly "PROGRAM VERSION" on standard
# output, status 0, nothing on standard error; like --help, at once, whatever follows.
# Usage: check_version.sh STAGE_DIR VERSION
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
stage=$1 version=$2
err=$(mktemp)
trap 'rm -f "$err"' EXIT

[[ -x $stage/usr/bin/tavrinset ]] || fail "tavrinset not installed"
for run in "tavrinset --version" "tavrinset --version --no-such-option -w 80x" \
    "tpanel-emu --version"; do
    read -ra words <<<"$run"
    [[ -x $stage/usr/bin/${words[0]} ]] || continue
    out=$("$stage/usr/bin/${words[0]}" "${words[@]:1}" 2>"$err")
    status=$?
    [[ $status == 0 && $out == "${words[0]} $version" && ! -s $err ]] ||
        fail "$run: status $status, printed '$out', on stderr '$(cat "$err")'"
done
finish
