#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a fresh DESTDIR and checks that exactly the expected files land
# where users of Linux command-line tools look for them, and that the programs installed run.
# Usage: check_tree.sh BUILD_DIR SOURCE_DIR STAGE_DIR VERSION WITH_EMU(0|1) BASH_DIR ZSH_DIR FISH_DIR
# The completion directories are relative to the prefix; BASH_DIR is empty when the bash
# completion is not installed.
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1 source=$2 stage=$3 version=$4 with_emu=$5 bash_dir=$6 zsh_dir=$7 fish_dir=$8

# Installing writes a manifest into the build tree. The one for the default component is what a
# user's `sudo cmake --install` leaves, owned by root and needed to uninstall: keep away from it
# and have this install write install_manifest_Unspecified.txt instead. Every install rule of
# the project is in that component.
rm -rf "$stage"
if ! DESTDIR="$stage" cmake --install "$build" --prefix /usr --component Unspecified >/dev/null
then
    fail "cmake --install failed"
    finish
fi

expected=()
for program in tavrinset tpanel-emu; do
    [[ $program == tpanel-emu && $with_emu != 1 ]] && continue
    expected+=(
        "usr/bin/$program"
        "usr/share/man/man1/$program.1"
        "usr/$zsh_dir/_$program"
        "usr/$fish_dir/$program.fish"
    )
    [[ -n $bash_dir ]] && expected+=("usr/$bash_dir/$program")
done
expected+=(usr/share/doc/tavrinset/README.md)
for f in "$source"/docs/*.md; do
    [[ -e $f ]] && expected+=("usr/share/doc/tavrinset/${f##*/}")
done
for f in "$source"/contrib/*; do
    f=${f##*/}
    expected+=("usr/share/doc/tavrinset/examples/${f%.in}")  # a template is installed filled in
done

# "<" lines were expected and not installed, ">" lines installed and not expected.
differences=$(diff <(printf '%s\n' "${expected[@]}" | sort) \
    <(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort) | grep '^[<>]')
[[ -z $differences ]] || fail "installed files differ:"$'\n'"$differences"

# The programs are executable, and nothing else.
executables=$(cd "$stage" && find . -type f -perm /111 | sed 's|^\./||' | sort)
[[ $executables == "$(cd "$stage" && find usr/bin -type f | sort)" ]] ||
    fail "executable files: ${executables//$'\n'/ }"

# They print the project's version: exactly "PROGRAM VERSION" on standard output, status 0,
# nothing on standard error; like --help, at once, whatever follows.
for run in "tavrinset --version" "tavrinset --version --no-such-option -w 80x" \
    "tpanel-emu --version"; do
    read -ra words <<<"$run"
    [[ ${words[0]} == tpanel-emu && $with_emu != 1 ]] && continue
    out=$("$stage/usr/bin/${words[0]}" "${words[@]:1}" 2>"$stage.err")
    status=$?
    [[ $status == 0 && $out == "${words[0]} $version" && ! -s $stage.err ]] ||
        fail "$run: status $status, printed '$out', on stderr '$(cat "$stage.err")'"
done
rm -f "$stage.err"
finish
