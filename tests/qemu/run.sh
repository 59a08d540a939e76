#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tavrinset on real kernel serial drivers: builds a static tavrinset (and tpanel-emu) in
# build/qemu, installs QEMU when it is missing, and runs qemu_test.py, which boots a Debian
# kernel with them. Exits 77 (skipped), with one line saying why, where QEMU cannot run.
# Usage: tests/qemu/run.sh [qemu_test.py options, e.g. --uart-runs 20 --verbose]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

skip() {
    echo "SKIPPED: qemu tests: $*"
    exit 77
}

[[ $(id -u) -eq 0 ]] || skip "needs root (QEMU's ptys, apt-get for the guest kernel)"
if ! command -v qemu-system-x86_64 >/dev/null; then
    { apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            qemu-system-x86; } >/dev/null 2>&1 || skip "qemu-system-x86 cannot be installed"
fi

# The guest has no C++ runtime: the tool goes in statically linked, from the same sources,
# with the static archives of the libraries it uses (pkg-config's modules name the shared ones).
build=build/qemu
log=$build/build.log
mkdir -p "$build"
echo 'set(CMAKE_FIND_LIBRARY_SUFFIXES .a)' >"$build/static.cmake"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static \
    -DCMAKE_PROJECT_INCLUDE="$root/$build/static.cmake" -DBUILD_TESTING=OFF \
    -DTAVRINSET_WERROR="${CI:-OFF}" &&
    cmake --build "$build" -j2 --target tavrinset tpanel-emu; } >"$log" 2>&1; then
    cat "$log"
    echo "qemu tests: the static build failed" >&2
    exit 1
fi

python3 tests/qemu/qemu_test.py --tool "$build/tavrinset" --emu "$build/emu/tpanel-emu" "$@"
