# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Reads command lines from standard input and prints, for each, what the installed bash
# completion offers for its last word as it would stand on the line, then "<<END>>". The line is
# cut into COMP_WORDS as readline cuts it, at blanks and at "=" and ":".
# Usage: bash --norc bash_complete.bash COMPLETION_DIR
# bash-completion, where it is installed, gives _command_offset to tpanel-emu's "--".
[[ -f /usr/share/bash-completion/bash_completion ]] && . /usr/share/bash-completion/bash_completion
for program in tavrinset tpanel-emu; do
    [[ -f $1/$program ]] && . "$1/$program"
done
while IFS= read -r COMP_LINE; do
    rest=$COMP_LINE COMP_WORDS=() COMPREPLY=()
    while [[ $rest =~ ^[[:space:]]*([=:]+|[^[:space:]=:]+) ]]; do
        COMP_WORDS+=("${BASH_REMATCH[1]}")
        rest=${rest:${#BASH_REMATCH[0]}}
    done
    [[ $COMP_LINE == *[[:space:]] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_POINT=${#COMP_LINE}
    func=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -nE 's/.*-F ([^ ]+) .*/\1/p')
    [[ -n $func ]] && "$func" "${COMP_WORDS[0]}" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    # readline replaces what follows the last blank, "=" or ":".
    last=${COMP_LINE##*[[:space:]]}
    for word in "${COMPREPLY[@]}"; do
        printf '%s\n' "${last%"${last##*[=:]}"}$word"
    done
    echo '<<END>>'
done
