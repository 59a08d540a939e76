# SPDX-License-Identifier: MIT
# bash completion for tpanel-emu                             -*- shell-script -*-
# Its own options up to "--"; after that, the command to run, completed as that
# command (through the bash-completion package when it is loaded).

_tpanel_emu()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=''
    local -i i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            if declare -F _command_offset >/dev/null; then
                _command_offset $((i + 1))
            elif ((COMP_CWORD == i + 1)); then
                mapfile -t COMPREPLY < <(compgen -c -- "$cur")
            else
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            fi
            return
        fi
    done

    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    if [[ $cur == = ]]; then
        cur=''
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    COMPREPLY=()
    # "--fault 1:sh": ':' usually breaks words, so read the last two words off the line.
    local -a line
    read -ra line <<<"${COMP_LINE:0:COMP_POINT}x"
    if ((${#line[@]} > 2)) && [[ ${line[-2]} == --fault && ${line[-1]} == +([0-9]):*x ]]; then
        local word=${line[-1]%x} head=''
        [[ $COMP_WORDBREAKS == *:* ]] || head=${word%%:*}:
        local kinds="no-reply short: drop: extra touch-before delay: ignore hangup signal: zeros noise
            reply:"
        mapfile -t COMPREPLY < <(compgen -P "$head" -W "$kinds" -- "${word#*:}")
        # "short:" still wants its argument.
        [[ ${#COMPREPLY[@]} == 1 && ${COMPREPLY[0]} == *: ]] && compopt -o nospace 2>/dev/null
        return
    fi
    case $prev in
        --fault)
            return
            ;;
        --link | --json | --attach)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
            ;;
        --adapter)
            mapfile -t COMPREPLY < <(compgen -W "uart usb usb:" -- "$cur")
            # "usb:" still wants its milliseconds.
            [[ ${#COMPREPLY[@]} == 1 && ${COMPREPLY[0]} == *: ]] && compopt -o nospace 2>/dev/null
            return
            ;;
        --after-touches)
            mapfile -t COMPREPLY < <(compgen -W "hangup INT TERM HUP" -- "$cur")
            return
            ;;
        --scaling-x | --scaling-y | --calibration-x | --calibration-y | --filter | \
            --report | --mode | --selftest-failures | --touch | --hold | --stroke | --stroke-gap | --foreign | \
            --pending)
            return
            ;;
    esac

    local opts="--scaling-x --scaling-y --calibration-x --calibration-y --filter
        --report --mode --selftest-failures --hold --stroke --stroke-gap --touch --foreign --after-touches --fault
        --pending --pace --adapter --link --no-private-dev --attach --json --quiet --help
        --version --"
    mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
} &&
    complete -F _tpanel_emu tpanel-emu
