#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed programs print the project's version: one line on standard output, status 0,
# and nothing else done.
# Usage: check_version.sh STAGE_DIR VERSION
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
stage=$1 version=$2

err=$(mktemp)
trap 'rm -f "$err"' EXIT

# check PROGRAM ARGS...: prints exactly "PROGRAM VERSION", status 0, nothing on stderr.
check() {
    local program=$1 out status
    shift
    out=$("$stage/usr/bin/$program" "$@" 2>"$err")
    status=$?
    ((status == 0)) || fail "$program $*: status $status"
    [[ $out == "$program $version" ]] || fail "$program $* printed '$out'"
    [[ ! -s $err ]] || fail "$program $* wrote to stderr: $(cat "$err")"
}

if [[ -x $stage/usr/bin/tavrinset ]]; then
    check tavrinset --version
    # At once, like --help: whatever follows is never looked at.
    check tavrinset --version --no-such-option -w 80x
else
    fail "tavrinset not installed"
fi
if [[ -x $stage/usr/bin/tpanel-emu ]]; then
    check tpanel-emu --version
fi
finish
