#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The release programs carry the hardening every release build gets: full RELRO (read-only
# relocations, bound at load time), stack protector and fortified C library calls.
# Usage: check_hardening.sh PROGRAM...
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
command -v readelf >/dev/null || skip "readelf not installed (Debian package binutils)"

for program in "$@"; do
    name=${program##*/}
    dynamic=$(readelf -dW "$program") || fail "$name: readelf -d failed"
    grep -qE '\((FLAGS|FLAGS_1)\).*\b(BIND_NOW|NOW)\b' <<<"$dynamic" ||
        fail "$name: not linked with -z now"
    readelf -lW "$program" | grep -q GNU_RELRO || fail "$name: not linked with -z relro"
    symbols=$(readelf --dyn-syms -W "$program" | awk '{ sub(/@.*/, "", $8); print $8 }')
    grep -qx __stack_chk_fail <<<"$symbols" || fail "$name: no stack protector"
    grep -qE '^__[a-z0-9_]+_chk$' <<<"$symbols" || fail "$name: no fortified calls (_FORTIFY_SOURCE)"
done
finish
