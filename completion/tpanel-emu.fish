# SPDX-License-Identifier: MIT
# fish completion for tpanel-emu: its own options up to "--", then the command it runs,
# completed as that command.

function __tpanel_emu_in_command
    contains -- -- (commandline -opc)
end

# Everything after "--" completed as a command line of its own.
function __tpanel_emu_command
    set -l words (commandline -opc)
    set -l start (contains -i -- -- $words)
    set -l rest $words[(math $start + 1)..-1]
    complete --do-complete=(string join ' ' -- (string escape -- $rest) (commandline -ct))
end

# --fault N:KIND: the exchange number is typed, the kind after the colon is completed.
function __tpanel_emu_faults
    set -l number (string replace -r -- '^--fault=' '' (commandline -ct) | string match -r -- '^[0-9]+:')
    or return
    printf "$number%s\n" \
        no-reply\t'no answer at all' \
        short:\t'only the first K bytes of the answer' \
        extra\t'an unsolicited packet after the answer' \
        touch-before\t'a touch report before the answer' \
        delay:\t'start the answer MS milliseconds late' \
        hangup\t'close the line instead of answering' \
        signal:\t'send a signal to the command' \
        drop:\t'byte K of the answer never arrives' \
        ignore\t'acknowledge the command without applying it' \
        zeros\t'ten zero bytes instead of the answer' \
        noise\t'ten bytes of noise instead of the answer' \
        reply:\t'these hexadecimal bytes instead of the answer'
end

complete -c tpanel-emu -n __tpanel_emu_in_command -x -a '(__tpanel_emu_command)'

set -l own 'not __tpanel_emu_in_command'
complete -c tpanel-emu -n $own -f
complete -c tpanel-emu -n $own -l scaling-x -x -d 'Scaling range of X (LOW,HIGH)'
complete -c tpanel-emu -n $own -l scaling-y -x -d 'Scaling range of Y (LOW,HIGH)'
complete -c tpanel-emu -n $own -l calibration-x -x -d 'Calibration range of X (LOW,HIGH)'
complete -c tpanel-emu -n $own -l calibration-y -x -d 'Calibration range of Y (LOW,HIGH)'
complete -c tpanel-emu -n $own -l filter -x -d 'Filter parameters (SLEN,DEVIATION,STATES)'
complete -c tpanel-emu -n $own -l report -x -d 'Report delays (UNTOUCH,REPEAT)'
complete -c tpanel-emu -n $own -l mode -x -d 'Mode flag bytes (REPORT,PROCESS)'
complete -c tpanel-emu -n $own -l selftest-failures -x -d 'Failure mask the self-test reports'
complete -c tpanel-emu -n $own -l stroke -x -d 'A finger drawing a stroke (X0,Y0:X1,Y1:COUNT[@HZ])'
complete -c tpanel-emu -n $own -l stroke-gap -x -d 'Quiet between strokes, in ms'
complete -c tpanel-emu -n $own -l touch -x -d 'A touch report with these raw coordinates (X,Y)'
complete -c tpanel-emu -n $own -l foreign -x -d 'A packet with this letter, to be passed over'
complete -c tpanel-emu -n $own -l after-touches -x -a 'hangup INT TERM HUP' -d 'What happens once the command read the touches'
complete -c tpanel-emu -n $own -l hold -x -d 'A finger held on the panel (X,Y[:RATE])'
complete -c tpanel-emu -n $own -l fault -x -a '(__tpanel_emu_faults)' -d 'A fault on exchange N (N:KIND)'
complete -c tpanel-emu -n $own -l pending -x -d 'Bytes of stale input at the start'
complete -c tpanel-emu -n $own -l pace -d '9600 baud timing in both directions'
complete -c tpanel-emu -n $own -l adapter -x -a 'uart usb usb:' -d 'Deliver bytes like a serial adapter'
complete -c tpanel-emu -n $own -l link -r -F -d 'Also make PATH a link to the terminal'
complete -c tpanel-emu -n $own -l attach -r -F -d 'Serve an existing terminal'
complete -c tpanel-emu -n $own -l no-private-dev -d 'Run the command without a private /dev'
complete -c tpanel-emu -n $own -l json -d 'JSON report, into FILE with --json=FILE'
complete -c tpanel-emu -n $own -l quiet -d 'No report'
complete -c tpanel-emu -n $own -l help -d 'Show the help and exit'
complete -c tpanel-emu -n $own -l version -d 'Show the version and exit'
