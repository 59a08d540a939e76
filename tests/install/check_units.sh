#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every systemd unit among the installed examples passes `systemd-analyze verify` without a
# word: no unknown key or section, no bad specifier, its program and its manual page found. A
# template is checked through an instance too, as udev or `systemctl enable` would name it.
# Usage: check_units.sh STAGE_DIR
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
stage=$1
command -v systemd-analyze >/dev/null ||
    skip "systemd-analyze not installed (Debian package systemd)"
command -v man >/dev/null ||
    skip "man not installed (Debian package man-db): systemd-analyze looks up Documentation= with it"

shopt -s nullglob
units=("$stage"/usr/share/doc/tavrinset/examples/*.{service,socket,timer,path,mount})
((${#units[@]} > 0)) || fail "no systemd unit among the examples"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
names=()
for unit in "${units[@]}"; do
    name=${unit##*/}
    # The units run the programs from where the package puts them; here they are staged.
    sed "s|/usr/bin/|$stage/usr/bin/|g" "$unit" >"$tmp/$name"
    names+=("$tmp/$name")
    [[ $name == *@.* ]] && names+=("$tmp/${name/@./@ttyS1.}")
done

for unit in "${names[@]}"; do
    # Messages go to the console, not to a journal, whatever this process is attached to.
    out=$(SYSTEMD_LOG_TARGET=console SYSTEMD_LOG_COLOR=0 MANPATH="$stage/usr/share/man" \
        systemd-analyze verify "$unit" 2>&1)
    status=$?
    if ((status != 0)) || [[ -n $out ]]; then
        fail "${unit##*/}: systemd-analyze verify, status $status:"$'\n'"$out"
    fi
done
finish
