# SPDX-License-Identifier: MIT
# bash completion for tavrinset                              -*- shell-script -*-
# Self-contained: uses only COMP_WORDS/COMP_CWORD, so it works without the
# bash-completion package's helpers.

_tavrinset()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=''
    local -i i=COMP_CWORD
    ((i > 0)) && prev=${COMP_WORDS[i - 1]}
    # "--mode=tou" arrives as the words "--mode" "=" "tou".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((i > 1)); then
        prev=${COMP_WORDS[i - 2]}
    fi

    local long="--width --height --xlow --xhigh --ylow --yhigh --raw --slen
        --deviation --states --diagnostics --dump --untouch --repeat --mode
        --help --version --device --show --verify --json --calibrate --samples
        --misclick --touch-timeout --dry-run --export --timeout --bridge --print-events
        --size-mm --swap-xy --invert-x --invert-y --release-after"
    local short="-w -h -x -X -y -Y -s -d -S -D -p -r -u -R -m"
    local modes="default touch stream untouch calib trim scale tracking
        initial scaling"

    COMPREPLY=()
    case $prev in
        --mode | -m)
            # A comma-separated list: complete the item after the last comma.
            local head='' item=$cur
            if [[ $cur == *,* ]]; then
                head=${cur%,*},
                item=${cur##*,}
            fi
            local word
            while IFS= read -r word; do
                COMPREPLY+=("$head$word")
            done < <(compgen -W "$modes" -- "$item")
            return
            ;;
        --device)
            # A path, usually under /dev/serial/by-id/; directories lead on to it.
            compopt -o filenames 2>/dev/null
            local word
            while IFS= read -r word; do
                COMPREPLY+=("$word")
            done < <(compgen -f -- "$cur")
            return
            ;;
        --width | -w | --height | -h | --xlow | -x | --xhigh | -X | --ylow | -y | \
            --yhigh | -Y | --raw | -r | --slen | -s | --deviation | -d | --states | -S | \
            --untouch | -u | --repeat | -R | --samples | --misclick | --touch-timeout | \
            --timeout | --size-mm | --release-after)
            return # a number: nothing to offer
            ;;
    esac

    # The program takes no operands, so every word is an option.
    local word
    if [[ $cur == --* ]]; then
        while IFS= read -r word; do COMPREPLY+=("$word"); done < <(compgen -W "$long" -- "$cur")
    else
        while IFS= read -r word; do
            COMPREPLY+=("$word")
        done < <(compgen -W "$long $short" -- "$cur")
    fi
} &&
    complete -F _tavrinset tavrinset
