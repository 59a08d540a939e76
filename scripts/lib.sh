# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared by the scripts: the Debian packages a script needs, installed when missing.

# as_root COMMAND...: runs it as root, through sudo for an ordinary user.
as_root() {
    if ((EUID == 0)); then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "${0##*/}: installing needs root: run as root, or install sudo" >&2
        return 1
    fi
}

# need_packages PURPOSE PACKAGE...: installs with apt-get the packages that are missing,
# saying which and what for. apt's own messages go to standard error with the rest of the
# chatter, so that standard output holds only what the script is for.
need_packages() {
    local purpose=$1 package
    shift
    if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
        echo "${0##*/}: not a Debian system; make sure these are installed: $*" >&2
        return 0
    fi
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' ok installed$' ||
            missing+=("$package")
    done
    ((${#missing[@]} > 0)) || return 0
    echo "${0##*/}: installing ${missing[*]} with apt-get, for $purpose" >&2
    if ! as_root apt-get update -qq >&2 ||
        ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "${missing[@]}" >&2; then
        echo "${0##*/}: could not install ${missing[*]}" >&2
        return 1
    fi
}
