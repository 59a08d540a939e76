# SPDX-License-Identifier: MIT
# fish completion for tavrinset. Installed as tavrinset.fish in a directory of
# $fish_complete_path (Debian's packages: /usr/share/fish/vendor_completions.d).

# The --mode list with the keyword after its last comma completed, whichever way the option
# was written: "-m LIST", "--mode LIST", "--mode=LIST" or "-mLIST".
function __tavrinset_mode_keywords
    set -l token (commandline -ct)
    set -l head (string match -r -- '^(?:--mode=|-m)?(?:.*,)?' $token)
    # fish puts back the "--mode=" or "-m" itself; only the list before the item is ours.
    set head (string replace -r -- '^(--mode=|-m)' '' $head)
    printf "$head%s\n" \
        default\t'every report and processing flag' \
        touch\t'report the initial press' \
        initial\t'report the initial press (same as touch)' \
        stream\t'report touches while pressed' \
        untouch\t'report the release' \
        calib\t'adjust coordinates to the calibration values' \
        trim\t'trim coordinates to the calibration values' \
        scale\t'scale touch coordinates to screen coordinates' \
        scaling\t'scale touch coordinates (same as scale)' \
        tracking\t'do not repeat touches at the same position'
end

# The program takes no operands: offer no file names except for --device.
complete -c tavrinset -f
complete -c tavrinset -s w -l width -x -d 'Pixel width of the display'
complete -c tavrinset -s h -l height -x -d 'Pixel height of the display'
complete -c tavrinset -s x -l xlow -x -d 'Raw x coordinate of the left side'
complete -c tavrinset -s X -l xhigh -x -d 'Raw x coordinate of the right side'
complete -c tavrinset -s y -l ylow -x -d 'Raw y coordinate of the bottom side'
complete -c tavrinset -s Y -l yhigh -x -d 'Raw y coordinate of the top side'
complete -c tavrinset -s r -l raw -x -d 'Print raw coordinates this many times'
complete -c tavrinset -s s -l slen -x -d 'Sample count for a touch (1-255)'
complete -c tavrinset -s d -l deviation -x -d 'Accepted deviation (1-255)'
complete -c tavrinset -s S -l states -x -d 'Valid detections for a state (1-255)'
complete -c tavrinset -s u -l untouch -x -d 'Delay before reporting a release (0-15)'
complete -c tavrinset -s R -l repeat -x -d 'Delay before repeating a held touch (0-255)'
complete -c tavrinset -s m -l mode -x -a '(__tavrinset_mode_keywords)' -d 'Reporting mode, written whole'
complete -c tavrinset -s D -l diagnostics -d 'Run the self-test first'
complete -c tavrinset -s p -l dump -d 'Trace every packet on standard error'
complete -c tavrinset -l device -r -F -d 'Serial device of the controller'
complete -c tavrinset -l show -d 'Print the settings the controller holds'
complete -c tavrinset -l verify -d 'Read the settings back and compare'
complete -c tavrinset -l json -d 'Print results as JSON'
complete -c tavrinset -l calibrate -d 'Guided calibration: touch the targets at the corners'
complete -c tavrinset -l samples -x -d 'Touches per calibration target (1-9)'
complete -c tavrinset -l misclick -x -d 'Largest spread of one target\'s touches, in raw counts'
complete -c tavrinset -l touch-timeout -x -d 'Seconds to wait for each touch'
complete -c tavrinset -l dry-run -d 'Measure and print the calibration, send nothing'
complete -c tavrinset -l bridge -d 'After the settings, feed the touches to a new input device'
complete -c tavrinset -l print-events -d 'As --bridge, but print the events instead'
complete -c tavrinset -l size-mm -x -d 'Screen size in millimetres: W,H'
complete -c tavrinset -l swap-xy -d 'Swap the X and Y axes of the input device'
complete -c tavrinset -l invert-x -d 'Mirror the X axis of the input device'
complete -c tavrinset -l invert-y -d 'Mirror the Y axis of the input device'
complete -c tavrinset -l release-after -x -d 'Release after no report for this long (ms)'
complete -c tavrinset -l help -d 'Show the options and exit'
complete -c tavrinset -l version -d 'Show the version and exit'
complete -c tavrinset -l export -d 'Print the settings as options that set them again'
complete -c tavrinset -l timeout -x -d 'Reply wait in milliseconds (100-60000)'
