#!/usr/bin/env zsh
# SPDX-License-Identifier: MIT
# Reads command lines from standard input and prints, for each, every match zsh's completion
# system offers for its last word (one a line, as it would be inserted), then "<<END>>".
# An interactive zsh on a pseudo-terminal does the completing, so what runs is exactly what a
# user's Tab runs: compinit, _arguments and the completion functions found in FPATH_DIR.
# Usage: zsh_complete.zsh FPATH_DIR
zmodload zsh/zpty || exit 1

# Runs inside that zsh. compadd is wrapped to write down each match; after each completion
# nothing is inserted or listed, so the line stays as typed until it is cleared.
setup='setopt interactive_comments
PROMPT= RPROMPT=
unset zle_bracketed_paste
fpath=($COMPLETION_DIR $fpath)
autoload -Uz compinit && compinit -u -D
bindkey -e
compadd() {
    # Calls that only ask what would match go through untouched.
    if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then
        builtin compadd "$@"
        return
    fi
    local -a hits
    builtin compadd -A hits "$@"
    local -A opt
    zparseopts -E -A opt P: p:
    local h
    for h in $hits; do
        print -rn -- $'\''\nMATCH:'\''"$IPREFIX${opt[-p]}${opt[-P]}$h"$'\''\n'\''
    done
    builtin compadd "$@"
}
end-of-completion() {
    compstate[insert]=
    compstate[list]=
    print -rn -- $'\''\n<<END>>\n'\''
}
# comppostfuncs is emptied after every completion: set it again before each one.
capture-complete() {
    comppostfuncs=(end-of-completion)
    zle complete-word
}
zle -N capture-complete
bindkey "^I" capture-complete
print READY
'
export COMPLETION_DIR=$1
zpty shell zsh -f -i || exit 1
zpty -w shell "$setup"
line=
until [[ $line == *READY* ]]; do
    zpty -r shell line || exit 1
done
while IFS= read -r command; do
    zpty -w -n shell "$command"$'\t'
    while zpty -r shell line; do
        line=${line%$'\n'}
        line=${line%$'\r'}
        [[ $line == *'<<END>>'* ]] && break
        [[ $line == MATCH:* ]] && print -r -- "${line#MATCH:}"
    done
    print -r -- '<<END>>'
    # Ctrl-U: clear the line for the next one.
    zpty -w -n shell $'\x15'
done
zpty -d shell
