#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# shellcheck shell=dash # busybox ash, which has local as dash does
# /init of the test guest: loads the drivers, then takes commands from the host on the console
# (ttyS0) and answers with "@@" lines. "off" powers it off;
#   run ID DEV LINE TRIGGER ACTION LIMIT WATCH ARGS...
# points /dev/tpanel at DEV, sets LINE (stty words, comma-separated), says "@@READY ID" and
# waits for a line from the host (it starts the controller), then runs tavrinset ARGS, killed
# after LIMIT s. Once TRIGGER ("out:N"/"err:N"/"ev:N": that output has N lines; "-": never)
# holds, ACTION: "sig:NAME", or "unplug" ("@@UNPLUG ID", a line from the host once the adapter
# is out, then DEV gone). WATCH: "-" or the start of an input device's name ("+" for a space)
# for evcheck to report. Then "@@ENDED ID" and a line from the host (it stops the controller:
# nothing else may open the line while it talks), @@OUT/@@ERR/@@EV lines, and "@@RESULT ID
# status=S ms=T actms=A before=B after=C" (A: ms from the action to the end, -1: none; B, C:
# stty -g before and after, "gone": no device).
/bin/busybox mkdir -p /proc /sys /dev /tmp /bin /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
# Kernel messages (a USB disconnect, say) must not land in the middle of our lines.
dmesg -n 1
exec </dev/ttyS0 >/dev/ttyS0 2>&1
# No echo of the host's commands; no output processing, so what the tool printed crosses as is.
stty -echo -opost

while read -r m; do
    insmod "/lib/modules/$m.ko" || {
        echo "@@FATAL insmod $m"
        poweroff -f
    }
done </lib/modules/order

# Hundredths of a second since boot.
now() {
    local up
    read -r up _ </proc/uptime
    echo "${up%.*}${up#*.}"
}

# Waits up to 10 s for DEV to be present or absent.
wait_dev() {
    local n=0
    until { [ -e "$1" ] && [ "$2" = present ]; } || { [ ! -e "$1" ] && [ "$2" = absent ]; }; do
        [ $((n += 1)) -gt 200 ] && return 1
        sleep 0.05
    done
}

# Once TRIGGER holds, does ACTION; kills the tool after LIMIT seconds. Leaves /tmp/tact when it
# acted.
watch_case() {
    local id=$1 what=$2 count=$3 action=$4 limit=$5 pid n=0 t0
    t0=$(now)
    while [ ! -s /tmp/pid ]; do
        [ $((n += 1)) -gt 500 ] && return
        sleep 0.01
    done
    read -r pid </tmp/pid
    # Until the tool has been reaped: run_case waits for it at once.
    while kill -0 "$pid" 2>/dev/null; do
        if [ ! -e /tmp/tact ] && [ "$what" != - ] && [ "$(wc -l <"/tmp/$what")" -ge "$count" ]; then
            now >/tmp/tact
            case $action in
                sig:*) kill -"${action#sig:}" "$pid" ;;
                unplug)
                    echo "@@UNPLUG $id"
                    read -r _
                    wait_dev /dev/tpanel absent
                    ;;
            esac
        fi
        [ $(($(now) - t0)) -gt $((limit * 100)) ] && kill -KILL "$pid"
        sleep 0.01
    done
}

run_case() {
    local id=$1 dev=$2 line=$3 trigger=$4 action=$5 limit=$6 watch=$7 checker=
    shift 7
    # shellcheck disable=SC2046 # one setting a word
    if ! wait_dev "$dev" present || ! ln -sf "$dev" /dev/tpanel ||
        ! stty -F "$dev" $(echo "$line" | tr , ' '); then
        echo "@@RESULT $id cannot set $dev up"
        return
    fi
    local before after status watcher t0 t1 tact actms=-1
    before=$(stty -F "$dev" -g)
    echo "@@READY $id"
    read -r _
    rm -f /tmp/pid /tmp/tact
    : >/tmp/ev
    if [ "$watch" != - ]; then
        evcheck "$(echo "$watch" | tr + ' ')" "$limit" >/tmp/ev 2>&1 &
        checker=$!
    fi
    # The watcher goes in the background, the tool in the foreground: a background job of a
    # script starts with SIGINT and SIGQUIT ignored, and someone at a terminal who presses
    # Ctrl-C or Ctrl-\ sends them to a program that has them as usual.
    watch_case "$id" "${trigger%%:*}" "${trigger#*:}" "$action" "$limit" </dev/console &
    watcher=$!
    t0=$(now)
    # shellcheck disable=SC2016 # $$ and $@ are the inner shell's
    sh -c 'echo $$ >/tmp/pid; exec tavrinset "$@"' tavrinset "$@" >/tmp/out 2>/tmp/err
    status=$?
    t1=$(now)
    wait "$watcher"
    # The device goes with the tool: evcheck ends by itself, or at LIMIT when it is left behind.
    [ -n "$checker" ] && wait "$checker"
    [ -e /tmp/tact ] && read -r tact </tmp/tact && actms=$(((t1 - tact) * 10))
    echo "@@ENDED $id"
    read -r _
    after=$(stty -F "$dev" -g 2>/dev/null) || after=gone
    # "@@OUT ID line" and so on, 400 lines at most each: a tool gone wild must not flood the
    # console.
    awk -v id="$id" 'FNR <= 400 { print "@@" toupper(substr(FILENAME, 6)) " " id " " $0 }' \
        /tmp/out /tmp/err /tmp/ev
    echo "@@RESULT $id status=$status ms=$(((t1 - t0) * 10)) actms=$actms before=$before" \
        "after=$after"
}

# Our arguments never need globbing.
set -f
# Which drivers the two lines really have, for the host to check.
driver() {
    basename "$(readlink "/sys/class/tty/$1/device/driver" || echo none)"
}
wait_dev /dev/ttyUSB0 present
uinput=$([ -c /dev/uinput ] && echo yes || echo no)
echo "@@BOOTED $(uname -r) uart=$(driver ttyS1) usb=$(driver ttyUSB0) uinput=$uinput"
while read -r cmd args; do
    case $cmd in
        run)
            # shellcheck disable=SC2086 # the words of a command line
            run_case $args
            ;;
        off) break ;;
        *) echo "@@UNKNOWN $cmd" ;;
    esac
done
poweroff -f
