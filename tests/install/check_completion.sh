#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed bash completion, loaded into a non-interactive bash, offers every option the
# program accepts, nothing in place of a number, and the mode keywords after --mode and -m,
# inside comma lists too.
# tpanel-emu's completion, when it is installed, offers every option its --help shows.
# Usage: check_completion.sh STAGE_DIR OPTIONS_HELPER
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
stage=$1 helper=$2
file=$stage/usr/share/bash-completion/completions/tavrinset

# shellcheck source=/dev/null
. "$file" || fail "sourcing $file failed"
registered=$(complete -p tavrinset 2>/dev/null)
func=$(sed -nE 's/.*-F ([^ ]+) .*/\1/p' <<<"$registered")
if [[ -z $func ]]; then
    fail "no completion function registered for tavrinset"
    finish
fi

# complete WORD...: what the function offers for the last word of the command line.
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$func" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | grep . | sort -u
}

all=$("$helper")
options=$(cut -d' ' -f1 <<<"$all")
long=$(grep '^--' <<<"$options")
[[ -n $long ]] || fail "could not list the options of tavrinset"

same "all options for an empty word" "$options" "$(complete_words tavrinset '')"
same "all options after -" "$options" "$(complete_words tavrinset -)"
same "long options after --" "$long" "$(complete_words tavrinset --)"
while read -r opt kind; do
    got=$(complete_words tavrinset -p "$opt")
    grep -qxF -- "$opt" <<<"$got" || fail "$opt does not complete to itself"
    if [[ $kind == value && $opt != -m && $opt != --mode && $opt != --device ]]; then
        same "nothing in place of the value of $opt" "" "$(complete_words tavrinset "$opt" '')"
    fi
done <<<"$all"
same "a prefix completes" "$(grep -- '^--d' <<<"$long")" "$(complete_words tavrinset --d)"

# --device takes a path: file names, directories included, and nothing else.
paths=$(mktemp -d)
mkdir "$paths/serial" && touch "$paths/panel" "$paths/pad" "$paths/other"
same "paths after --device" "$(printf '%s\n' "$paths/pad" "$paths/panel")" \
    "$(complete_words tavrinset --device "$paths/pa")"
same "paths after --device=" "$paths/serial" "$(complete_words tavrinset --device = "$paths/se")"
same "paths after --device, among other options" "$(printf '%s\n' "$paths/other")" \
    "$(complete_words tavrinset -w 800 --device "$paths/o")"
rm -rf "$paths"

keywords=$(mode_keywords "$stage/usr/bin/tavrinset")
(($(wc -l <<<"$keywords") > 5)) || fail "could not list the mode keywords of tavrinset"
same "keywords after --mode" "$keywords" "$(complete_words tavrinset --mode '')"
same "keywords after -m" "$keywords" "$(complete_words tavrinset -w 800 -m '')"
same "keywords after --mode=" "$keywords" "$(complete_words tavrinset --mode = '')"
same "keywords after a comma" "$(awk '{ print "touch,scale," $0 }' <<<"$keywords")" \
    "$(complete_words tavrinset --mode touch,scale,)"
for k in $keywords; do
    got=$(complete_words tavrinset -m "touch,${k:0:3}")
    grep -qxF "touch,$k" <<<"$got" || fail "touch,${k:0:3} does not complete to touch,$k"
    if grep -vq '^touch,' <<<"$got"; then
        fail "touch,${k:0:3} offers words that drop the list: ${got//$'\n'/ }"
    fi
    got=$(complete_words tavrinset --mode = "${k:0:3}")
    grep -qxF "$k" <<<"$got" || fail "--mode=${k:0:3} does not complete to $k"
done

emu=$stage/usr/bin/tpanel-emu
if [[ -x $emu ]]; then
    # shellcheck source=/dev/null
    . "$stage/usr/share/bash-completion/completions/tpanel-emu" || fail "sourcing tpanel-emu's failed"
    func=$(complete -p tpanel-emu 2>/dev/null | sed -nE 's/.*-F ([^ ]+) .*/\1/p')
    if [[ -z $func ]]; then
        fail "no completion function registered for tpanel-emu"
    else
        emu_options=$(help_options "$emu")
        (($(wc -l <<<"$emu_options") > 3)) || fail "could not list the options of tpanel-emu"
        got=$(complete_words tpanel-emu --)
        for opt in $emu_options; do
            grep -qxF -- "$opt" <<<"$got" || fail "tpanel-emu: $opt is not offered"
        done
        got=$(complete_words tpanel-emu --after-touches '')
        grep -qx hangup <<<"$got" || fail "tpanel-emu: --after-touches does not offer hangup"
    fi
fi
finish
