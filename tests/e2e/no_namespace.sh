#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a command where no further namespace can be made: inside a user namespace of its own
# whose limit on user namespaces is 0, with every capability dropped. That is how an ordinary
# user's machine without user namespaces looks to tpanel-emu. Status 77 (skipped) when even
# this much cannot be set up here.
# Usage: no_namespace.sh COMMAND [ARG]...
command -v unshare >/dev/null && command -v setpriv >/dev/null || exit 77
unshare -U -r true 2>/dev/null || exit 77
exec unshare -U -r sh -c \
    'echo 0 >/proc/sys/user/max_user_namespaces && exec setpriv --bounding-set=-all "$@"' \
    sh "$@"
