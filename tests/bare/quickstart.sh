#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's quick start on a bare Debian 12: scripts/demo, then scripts/test, as root in a
# fresh debootstrap chroot with only build-essential, each timed. The base system and apt's
# downloads are cached under TAVRINSET_CHROOT_CACHE (default /var/cache/tavrinset-chroot); each
# run works on a copy, its mounts in a namespace of its own. Status 77 without root/debootstrap.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
cache=${TAVRINSET_CHROOT_CACHE:-/var/cache/tavrinset-chroot}
suite=bookworm

skip() {
    echo "SKIPPED: $*"
    exit 77
}
((EUID == 0)) || skip "a chroot needs root"
if ! command -v debootstrap >/dev/null; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; } \
        >/dev/null 2>&1 || skip "debootstrap not installed and could not be installed"
fi

# The machine's own Debian sources, for debootstrap and inside the chroot alike.
sources=()
[[ -f /etc/apt/sources.list ]] && sources+=(/etc/apt/sources.list)
[[ -f /etc/apt/sources.list.d/debian.sources ]] && sources+=(/etc/apt/sources.list.d/debian.sources)
mirror=$(sed -nE 's/^URIs: *([^ ]+).*/\1/p; s/^deb +(\[[^]]*\] +)?([^ ]+) +'"$suite"' .*/\2/p' \
    "${sources[@]}" 2>/dev/null | grep -v -- -security | head -n 1)
[[ -n $mirror ]] || skip "no Debian mirror in this machine's apt sources"

install_sources() {
    local target=$1
    rm -f "$target"/etc/apt/sources.list
    for f in "${sources[@]}"; do
        cp "$f" "$target$f"
    done
}

mkdir -p "$cache/archives/partial"
base=$cache/$suite-base
if [[ ! -f $base.done ]]; then
    echo "Making the base system in $base (once; a few minutes)..."
    rm -rf "$base"
    if ! debootstrap --include=build-essential "$suite" "$base" "$mirror" \
        >"$cache/debootstrap.log" 2>&1; then
        tail -n 20 "$cache/debootstrap.log"
        echo "debootstrap failed; its log is $cache/debootstrap.log" >&2
        exit 1
    fi
    install_sources "$base"
    # The packages debootstrap fetched seed the download cache; the base keeps none.
    mv "$base"/var/cache/apt/archives/*.deb "$cache/archives/" 2>/dev/null || true
    touch "$base.done"
fi

work=$(mktemp -d /var/tmp/tavrinset-bare.XXXXXX)
cleanup() {
    # The mounts were made in the namespace of the run, gone with it; check all the same
    # before removing anything below the chroot.
    if grep -qF " $work/" /proc/self/mounts; then
        echo "still mounted below $work; not removing it" >&2
        return
    fi
    rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
echo "Copying the base system to $root..."
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/root/tavrinset"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$root/root/tavrinset" -xf -

# Inside the chroot: the two commands as the README gives them, each timed.
cat >"$root/root/quickstart" <<'INNER'
#!/bin/bash
cd /root/tavrinset
status=0
for command in scripts/demo scripts/test; do
    start=$(date +%s.%N)
    "$command" >"/root/${command#scripts/}.log" 2>&1 || status=$?
    end=$(date +%s.%N)
    printf '%s: %.0f s, status %d\n' "$command" "$(awk "BEGIN { print $end - $start }")" \
        "$status"
    if ((status != 0)); then
        tail -n 40 "/root/${command#scripts/}.log"
        exit "$status"
    fi
done
tail -n 15 /root/test.log
INNER
chmod +x "$root/root/quickstart"

echo "Running the quick start in the chroot..."
status=0
unshare --mount --propagation private -- /bin/bash -euc '
    root=$1 archives=$2
    # The root of the chroot a mount of its own, as on a machine: the emulator makes it
    # private for the namespace it runs the tool in.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind "$archives" "$root/var/cache/apt/archives"
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin CI="${CI:-}" \
        /root/quickstart
' - "$root" "$cache/archives" || status=$?
if ((status != 0)); then
    echo "The quick start failed on a bare Debian $suite (status $status)" >&2
    exit 1
fi
echo "The quick start passed on a bare Debian $suite"
