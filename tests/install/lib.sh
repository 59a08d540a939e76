# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared by the install checks. Every check reports all its failures, then fails once.
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# skip REASON: the check cannot run here (a tool is missing); CTest counts it as skipped.
skip() {
    echo "SKIPPED: $*"
    exit 77
}

finish() {
    ((failures == 0)) || { echo "$failures check(s) failed" >&2 && exit 1; }
    echo "all checks passed"
}

# same NAME EXPECTED ACTUAL: both newline-separated lists hold the same words.
same() {
    [[ $(sort -u <<<"$2") == "$(sort -u <<<"$3")" ]] ||
        fail "$1: expected [${2//$'\n'/ }], got [${3//$'\n'/ }]"
}

# The mode keywords, as the program lists them when it rejects one.
mode_keywords() {
    "$1" --mode '?' 2>&1 >/dev/null | sed -n 's/.*(valid: \(.*\)).*/\1/p' | tr -d ',' | tr ' ' '\n'
}

# help_options PROGRAM [-?]: the long options its --help shows (with "-?" the short ones too).
help_options() {
    "$1" --help 2>&1 | grep -oE -- "(^|[[:space:],[|])-${2:--}[[:alpha:]][[:alnum:]-]*" |
        sed -E 's/^[[:space:],[|]//' | sort -u
}
