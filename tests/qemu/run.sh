#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tavrinset on real kernel serial drivers: builds a static tavrinset (and tpanel-emu) in
# build/qemu, installs QEMU when it is missing, fetches a Debian kernel once, and runs
# qemu_test.py, which boots it with the tool. Exits 77 (skipped), with one line saying why,
# where QEMU cannot run.
# Usage: tests/qemu/run.sh [qemu_test.py options, e.g. --uart-runs 20 --only usb-]
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

# The guest's kernel and busybox, and the modules the cases need (the USB host controller and
# serial adapter QEMU gives it, the bridge's input modules), from Debian's packages, once.
cache=/var/cache/tavrinset-qemu
want="xhci_pci ftdi_sio uinput evdev"
kernel_package() {
    apt-cache depends --important linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-/ { print $NF; exit }'
}
# Into modules/, after those its modinfo says it depends on; one the package does not hold is
# built into the kernel (the guest's checks tell).
add_module() {
    local file dep deps
    [[ -e $cache/modules/$1.ko ]] && return
    file=$(find "$tree/lib/modules" \( -name "$1.ko*" -o -name "${1//_/-}.ko*" \) -print -quit)
    [[ -n $file ]] || return 0
    xz -dcf "$file" >"$cache/modules/$1.ko"
    deps=$(grep -ao 'depends=[^[:cntrl:]]*' "$cache/modules/$1.ko" | cut -d= -f2)
    for dep in ${deps//,/ }; do
        add_module "${dep//-/_}"
    done
    echo "$1" >>"$cache/modules/order"
}
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9 # two runs at once fill it one after the other
if [[ $(cat "$cache/complete" 2>/dev/null) != "$want" ]]; then
    [[ -n $(kernel_package) ]] || apt-get update -qq
    [[ -n $(kernel_package) ]] || skip "no Debian kernel (apt-cache depends linux-image-amd64)"
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' EXIT
    (cd "$tree" && apt-get download "$(kernel_package)" busybox-static) >/dev/null 2>&1 ||
        skip "cannot download $(kernel_package) and busybox-static"
    for deb in "$tree"/*.deb; do dpkg-deb -x "$deb" "$tree"; done
    cp "$tree"/boot/vmlinuz-* "$cache/vmlinuz"
    cp "$tree/bin/busybox" "$cache/busybox"
    rm -rf "$cache/modules" && mkdir "$cache/modules"
    for m in $want; do add_module "$m"; done
    echo "$want" >"$cache/complete"
fi
exec 9>&-

# The guest has no C++ runtime: the tool goes in statically linked, from the same sources,
# with the static archives of the libraries it uses (pkg-config's modules name the shared ones).
build=build/qemu
mkdir -p "$build"
echo 'set(CMAKE_FIND_LIBRARY_SUFFIXES .a)' >"$build/static.cmake"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static \
    -DCMAKE_PROJECT_INCLUDE="$root/$build/static.cmake" -DBUILD_TESTING=OFF \
    -DTAVRINSET_WERROR="${CI:-OFF}" &&
    cmake --build "$build" -j2 --target tavrinset tpanel-emu; } >"$build/build.log" 2>&1; then
    cat "$build/build.log"
    echo "qemu tests: the static build failed" >&2
    exit 1
fi
# The guest's initramfs: /init, busybox, the tool and evcheck (static as everything the guest
# runs), the modules.
stage=$build/initramfs
rm -rf "$stage" && mkdir -p "$stage/bin" "$stage/dev" "$stage/lib"
install -m 755 tests/qemu/init.sh "$stage/init"
cp "$cache/busybox" "$build/tavrinset" "$stage/bin/"
ln -s busybox "$stage/bin/sh"
cc -static -O2 -Wall -Wextra -o "$stage/bin/evcheck" tests/qemu/evcheck.c
cp -r "$cache/modules" "$stage/lib/"
(cd "$stage" && find . | "$cache/busybox" cpio -o -H newc -R 0:0 2>/dev/null) |
    gzip -1 >"$build/initrd.gz"

python3 tests/qemu/qemu_test.py --kernel "$cache/vmlinuz" --initrd "$build/initrd.gz" \
    --emu "$build/emu/tpanel-emu" "$@"
