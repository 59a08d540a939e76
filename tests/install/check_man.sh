#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed manual pages render without a warning, carry the project's version and name every
# option the programs accept; tavrinset(1) gives each long option an entry of its own with its
# short form, and names every mode keyword.
# Usage: check_man.sh STAGE_DIR OPTIONS_HELPER VERSION
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
stage=$1 helper=$2 version=$3
man1=$stage/usr/share/man/man1
bin=$stage/usr/bin
command -v groff >/dev/null || skip "groff not installed (Debian package groff-base)"

render() {
    groff -man -Tutf8 -P-cbou "$1" 2>/dev/null
}

# section PAGE TITLE: the rendered lines of one section.
section() {
    render "$1" | awk -v title="$2" '$0 == title { on = 1; next } /^[A-Z]/ { on = 0 } on'
}

check_page() {
    local page=$1 program=$2 warnings text opt
    shift 2
    if [[ ! -f $page ]]; then
        fail "$page not installed"
        return
    fi
    warnings=$(groff -man -ww -z "$page" 2>&1) || fail "$program(1): groff failed"
    if command -v man >/dev/null; then
        warnings+=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    fi
    [[ -z $warnings ]] || fail "$program(1) warns: $warnings"
    text=$(render "$page")
    grep -q "^NAME" <<<"$text" || fail "$program(1): no NAME section"
    grep -qF "$program $version" <<<"$text" || fail "$program(1): does not show version $version"
    for opt; do
        # the option as a word of its own ("-w", not "-width")
        grep -qE -- "(^|[^[:alnum:]-])$opt([^[:alnum:]-]|\$)" <<<"$text" ||
            fail "$program(1) does not name $opt"
    done
}

mapfile -t options < <("$helper" | cut -d' ' -f1)
((${#options[@]} > 10)) || fail "could not list the options of tavrinset"
check_page "$man1/tavrinset.1" tavrinset "${options[@]}"

# Each long option has an entry of its own that gives its short form with it ("-w val,
# --width val").
tags=$(section "$man1/tavrinset.1" OPTIONS | grep -E '^ {7}-')
while read -r long _ short; do
    [[ $long == --* ]] || continue
    if [[ -n $short ]]; then
        pattern="^ +$short [a-z]+, $long [a-z]+\$|^ +$short, $long( |\$)"
    else
        pattern="^ +$long( |\$)"
    fi
    grep -qE -- "$pattern" <<<"$tags" || fail "tavrinset(1) OPTIONS has no entry for $long $short"
done < <("$helper")

mapfile -t keywords < <(mode_keywords "$bin/tavrinset")
((${#keywords[@]} > 5)) || fail "could not list the mode keywords of tavrinset"
text=$(section "$man1/tavrinset.1" "MODE KEYWORDS")
for k in "${keywords[@]}"; do
    grep -qw -- "$k" <<<"$text" || fail "tavrinset(1) MODE KEYWORDS does not name $k"
done

if [[ -x $bin/tpanel-emu ]]; then
    mapfile -t emu_options < <(help_options "$bin/tpanel-emu" "-?")
    ((${#emu_options[@]} > 3)) || fail "could not list the options of tpanel-emu"
    check_page "$man1/tpanel-emu.1" tpanel-emu "${emu_options[@]}"
fi
finish
