#!/usr/bin/env bash
# Installs the build into a fresh DESTDIR and checks that exactly the expected files land
# where users of Linux command-line tools look for them.
# Usage: check_tree.sh BUILD_DIR SOURCE_DIR STAGE_DIR WITH_EMU(0|1)
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1 source=$2 stage=$3 with_emu=$4

rm -rf "$stage"
if ! DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null; then
    fail "cmake --install failed"
    finish
fi

expected=(
    usr/bin/tavrinset
    usr/share/man/man1/tavrinset.1
    usr/share/bash-completion/completions/tavrinset
    usr/share/doc/tavrinset/README.md
)
if [[ $with_emu == 1 ]]; then
    expected+=(
        usr/bin/tpanel-emu
        usr/share/man/man1/tpanel-emu.1
        usr/share/bash-completion/completions/tpanel-emu
    )
fi
for f in "$source"/docs/*.md; do
    [[ -e $f ]] && expected+=("usr/share/doc/tavrinset/${f##*/}")
done
for f in "$source"/contrib/*; do
    expected+=("usr/share/doc/tavrinset/examples/${f##*/}")
done

missing=$(comm -23 <(printf '%s\n' "${expected[@]}" | sort) \
    <(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort))
extra=$(comm -13 <(printf '%s\n' "${expected[@]}" | sort) \
    <(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort))
[[ -z $missing ]] || fail "not installed: $missing"
[[ -z $extra ]] || fail "installed but not expected: $extra"

for exe in usr/bin/tavrinset usr/bin/tpanel-emu; do
    [[ -e $stage/$exe ]] || continue
    [[ -x $stage/$exe ]] || fail "$exe is not executable"
done
for f in "$stage"/usr/share/man/man1/* "$stage"/usr/share/bash-completion/completions/* \
    "$stage"/usr/share/doc/tavrinset/* "$stage"/usr/share/doc/tavrinset/examples/*; do
    [[ -f $f && -x $f ]] && fail "${f#"$stage"/} should not be executable"
done
finish
