#!/usr/bin/env bash
# cpack builds a Debian package with the expected control fields that holds exactly the files
# `cmake --install` puts under /usr.
# Usage: check_deb.sh BUILD_DIR STAGE_DIR VERSION OUT_DIR
set -uo pipefail
# shellcheck source=tests/install/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1 stage=$2 version=$3 out=$4

rm -rf "$out"
mkdir -p "$out"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    fail "cpack failed"
    finish
fi
debs=("$out"/*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f ${debs[0]} ]]; then
    fail "expected one package in $out, found: ${debs[*]}"
    finish
fi
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[[ ${deb##*/} == "tavrinset_${version}_${arch}.deb" ]] || fail "package file named ${deb##*/}"

field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == tavrinset ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture)"
[[ $(field Section) == utils ]] || fail "Section: $(field Section)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
description=$(field Description)
(($(wc -l <<<"$description") >= 2)) || fail "Description has no long text: $description"
# Worked out by dpkg-shlibdeps from what the programs link against.
depends=$(field Depends)
for lib in libc6 libstdc++6; do
    [[ ", $depends" == *", $lib (>= "* ]] || fail "Depends lacks a versioned $lib: $depends"
done

in_deb=$(dpkg-deb --contents "$deb" | grep -v '^d' | awk '{ print $6 }' | sed 's|^\./||' | sort)
in_stage=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort)
[[ -n $in_stage ]] || fail "nothing installed in $stage to compare with"
[[ $in_deb == "$in_stage" ]] ||
    fail "package and install differ:"$'\n'"$(diff <(echo "$in_deb") <(echo "$in_stage"))"
finish
