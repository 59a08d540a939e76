#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The systemd unit examples, installed under /usr (package) and /usr/local (source install), pass
# `systemd-analyze verify` without a word inside the installed tree: known keys and specifiers,
# the program installed where they say, its manual page found. A template is checked through
# instances named as the README names them, and reads a port's own options after the shared ones.
# The bridge's unit is among them.
# Usage: check_units.sh BUILD_DIR
set -uo pipefail
shopt -s nullglob
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1
command -v systemd-analyze >/dev/null ||
    skip "systemd-analyze not installed (Debian package systemd)"
command -v man >/dev/null ||
    skip "man not installed (Debian package man-db): systemd-analyze looks up Documentation= with it"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for prefix in /usr /usr/local; do
    root=$tmp/${prefix//\//-} etc=$tmp/${prefix//\//-}/etc/systemd/system
    DESTDIR=$root cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null ||
        fail "cmake --install --prefix $prefix failed"
    # Stand-ins for the units every service needs, so that nothing is looked up outside the tree.
    mkdir -p "$root/usr/lib/systemd/system" "$etc"
    echo "[Unit]" | tee "$root"/usr/lib/systemd/system/{sysinit,basic,shutdown}.target >/dev/null
    units=("$root$prefix"/share/doc/tavrinset/examples/*.service)
    ((${#units[@]} > 0)) || fail "$prefix: no systemd unit among the examples"
    # The bridge runs in the foreground for as long as the port is there.
    bridge=$root$prefix/share/doc/tavrinset/examples/tavrinset-bridge@.service
    grep -qx 'Type=exec' "$bridge" && grep -q '^ExecStart=.* --bridge ' "$bridge" ||
        fail "$prefix: no bridge unit running tavrinset --bridge in the foreground"
    for unit in "${units[@]}"; do
        names=("${unit##*/}")
        if [[ $unit == *@.service ]]; then
            for port in /dev/ttyS1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12BC3D4-if00-port0; do
                names+=("$(systemd-escape --template="${unit##*/}" --path "$port")")
            done
            files=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$unit" | paste -sd ' ')
            [[ $files == "/etc/default/tavrinset /etc/tavrinset/%i.conf" ]] ||
                fail "${unit##*/}: options read from $files"
        fi
        for name in "${names[@]}"; do
            cp "$unit" "$etc/$name"
            # Messages go to the console, not to a journal, whatever this process is attached to.
            out=$(SYSTEMD_LOG_TARGET=console SYSTEMD_LOG_COLOR=0 MANPATH="$root$prefix/share/man" \
                systemd-analyze verify --root="$root" "$etc/$name" 2>&1)
            status=$?
            if ((status != 0)) || [[ -n $out ]]; then
                fail "$prefix: $name: systemd-analyze verify, status $status:"$'\n'"$out"
            fi
        done
    done
done
finish
