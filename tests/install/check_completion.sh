#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed bash, zsh or fish completions, found by the shell where it looks for them, offer
# every option the programs accept, nothing in place of a number, paths after --device, the mode
# keywords after --mode and -m (inside comma lists too), tpanel-emu's fault kinds after
# "--fault N:", and after tpanel-emu's "--" the completion of the command it runs.
# Usage: check_completion.sh bash|zsh|fish STAGE_DIR OPTIONS_HELPER BASH_DIR ZSH_DIR FISH_DIR
# (the completion directories relative to the prefix /usr of STAGE_DIR; BASH_DIR empty when the
# bash completion is not installed)
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
shell=$1 stage=$2 helper=$3 bash_dir=$4 zsh_dir=$5 fish_dir=$6
command -v "$shell" >/dev/null || skip "$shell not installed (Debian package $shell)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The shell runs as a fresh user would: no settings of the caller's, the staged programs first
# in PATH (fish loads a command's completion only once the command is found).
env=(env -i "HOME=$tmp" "PATH=$stage/usr/bin:/usr/bin:/bin" "TERM=dumb" "LC_ALL=C.UTF-8"
    "XDG_CONFIG_HOME=$tmp/config" "XDG_DATA_HOME=$tmp/data")
case $shell in
bash)
    [[ -n $bash_dir ]] || skip "the bash completion is not installed"
    coproc COMPLETER {
        "${env[@]}" bash --norc "$(dirname "$0")/bash_complete.bash" "$stage/usr/$bash_dir" 2>&1
    }
    ;;
zsh)
    coproc COMPLETER {
        "${env[@]}" zsh -f "$(dirname "$0")/zsh_complete.zsh" "$stage/usr/$zsh_dir" 2>&1
    }
    ;;
fish)
    # fish looks in fish/vendor_completions.d under each of XDG_DATA_DIRS.
    coproc COMPLETER {
        "${env[@]}" "XDG_DATA_DIRS=$stage/usr/${fish_dir%/fish/vendor_completions.d}" \
            fish -c 'while read -l line
                         complete --do-complete=$line | string replace -r "\t.*" ""
                         echo "<<END>>"
                     end' 2>&1
    }
    ;;
esac

# The coprocess's descriptors are not passed on to subshells; copies are.
exec {to_shell}>&"${COMPLETER[1]}" {from_shell}<&"${COMPLETER[0]}"

# complete_line LINE: what the shell offers for the last word of LINE, one a line, sorted.
complete_line() {
    local line
    printf '%s\n' "$1" >&"$to_shell"
    {
        while IFS= read -r -t 30 line && [[ $line != '<<END>>' ]]; do
            printf '%s\n' "$line"
        done
    } <&"$from_shell" | sort -u
}

# offers NAME EXPECTED ACTUAL: every word of EXPECTED is in ACTUAL.
offers() {
    local missing
    missing=$(comm -23 <(sort -u <<<"$2") <(sort -u <<<"$3"))
    [[ -z $missing ]] || fail "$1: ${missing//$'\n'/ } not offered"
}

all=$("$helper")
options=$(cut -d' ' -f1 <<<"$all")
long=$(grep -- '^--' <<<"$options")
[[ -n $long ]] || fail "could not list the options of tavrinset"

same "options after -" "$options" "$(complete_line 'tavrinset -')"
same "long options after --" "$long" "$(complete_line 'tavrinset --')"
same "a prefix completes" "$(grep -- '^--d' <<<"$long")" "$(complete_line 'tavrinset --d')"
while read -r opt kind _; do
    if [[ $opt == --* ]]; then
        offers "$opt completes to itself" "$opt" "$(complete_line "tavrinset $opt")"
    fi
    if [[ $kind == value && $opt != -m && $opt != --mode && $opt != --device ]]; then
        same "nothing in place of the value of $opt" "" "$(complete_line "tavrinset $opt ")"
    fi
done <<<"$all"

# --device takes a path: file names, directories included, and nothing else.
mkdir "$tmp/serial" && touch "$tmp/panel" "$tmp/pad"
same "paths after --device" "$tmp/pad"$'\n'"$tmp/panel" \
    "$(complete_line "tavrinset --device $tmp/pa")"
same "paths after --device=" "--device=$tmp/serial" \
    "$(complete_line "tavrinset --device=$tmp/se" | sed 's|/$||')"

keywords=$(mode_keywords "$stage/usr/bin/tavrinset")
(($(wc -l <<<"$keywords") > 5)) || fail "could not list the mode keywords of tavrinset"
same "keywords after --mode" "$keywords" "$(complete_line 'tavrinset --mode ')"
same "keywords after -m" "$keywords" "$(complete_line 'tavrinset -w 800 -m ')"
same "keywords after --mode=" "$(sed 's/^/--mode=/' <<<"$keywords")" \
    "$(complete_line 'tavrinset --mode=')"
same "keywords after a comma" "$(sed 's/^/touch,scale,/' <<<"$keywords")" \
    "$(complete_line 'tavrinset --mode touch,scale,')"
for k in $keywords; do
    got=$(complete_line "tavrinset -m touch,${k:0:3}")
    grep -qxF "touch,$k" <<<"$got" || fail "touch,${k:0:3} does not complete to touch,$k"
    if grep -vq '^touch,' <<<"$got"; then
        fail "touch,${k:0:3} offers words that drop the list: ${got//$'\n'/ }"
    fi
done

emu=$stage/usr/bin/tpanel-emu
if [[ -x $emu ]]; then
    help=$("$emu" --help)
    emu_options=$(help_options "$emu")
    (($(wc -l <<<"$emu_options") > 3)) || fail "could not list the options of tpanel-emu"
    offers "tpanel-emu's options" "$emu_options" "$(complete_line 'tpanel-emu --')"
    offers "tpanel-emu --after-touches" hangup "$(complete_line 'tpanel-emu --after-touches ')"
    # The fault kinds as the help gives them ("--fault N:short:K"); a kind that takes a value
    # may be offered with its colon.
    kinds=$(grep -oE -- '--fault N:[a-z-]+' <<<"$help" | sed 's/^--fault N:/3:/' | sort -u)
    (($(wc -l <<<"$kinds") > 3)) || fail "could not list the fault kinds of tpanel-emu"
    offers "fault kinds after --fault 3:" "$kinds" \
        "$(complete_line 'tpanel-emu --fault 3:' | sed 's/:$//')"
    # bash completes a command's own words through the bash-completion package alone.
    if [[ $shell != bash || -f /usr/share/bash-completion/bash_completion ]]; then
        offers "the command after --" --width \
            "$(complete_line 'tpanel-emu --pace -- tavrinset --wi')"
    fi
    got=$(complete_line 'tpanel-emu -- tavrinset --')
    grep -qxF -- --pace <<<"$got" && fail "tpanel-emu's own options offered to the command"
fi
finish
