#!/bin/sh
# Makes (once) the Debian 11 root that the shipped bootstraps are built in,
# and prints its path. A program built against bullseye's glibc 2.31 records
# only the symbol versions of the functions it calls, so it starts on any
# glibc from 2.17 on; the root is kept outside the source tree and reused.
# Besides the native toolchain it holds Debian's cross toolchain for aarch64
# and, through multiarch, the arm64 headers and static libraries the aarch64
# stub is built with.
#
# usage: stub-root.sh            (KV_STUB_ROOT overrides where it lives)
set -eu

root=${KV_STUB_ROOT:-/var/cache/kv-bootstrap/bullseye}
packages="g++,cmake,ninja-build,libcurl4-openssl-dev,libsodium-dev,zlib1g-dev,unzip,g++-aarch64-linux-gnu,libc6-dev-arm64-cross"
arm64_packages="libcurl4-openssl-dev:arm64 libsodium-dev:arm64"
# Bump when a list changes, so that an older root is made again.
stamp="bullseye 2 $packages $arm64_packages"

if [ -f "$root/.kv-root" ] && [ "$(cat "$root/.kv-root")" = "$stamp" ]; then
  echo "$root"
  exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "stub-root: making $root needs root" >&2; exit 1; }
command -v debootstrap >/dev/null || {
  echo "stub-root: installing debootstrap" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
}

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
# Another run may have made it while this one waited for the lock.
if [ -f "$root/.kv-root" ] && [ "$(cat "$root/.kv-root")" = "$stamp" ]; then
  echo "$root"
  exit 0
fi
echo "stub-root: making the Debian 11 build root in $root (once; a few minutes)" >&2
rm -rf "$root.new" "$root"
log=$root.log
if ! debootstrap --variant=minbase --include="$packages" bullseye "$root.new" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "stub-root: debootstrap failed; the whole log is in $log" >&2
  rm -rf "$root.new"
  exit 1
fi
# The arm64 packages come through the root's own apt, from the same release.
if ! "$(dirname "$0")/private-mounts.sh" sh -eu -c '
  mount -t proc proc "$1/proc"
  chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive sh -eu -c "
    dpkg --add-architecture arm64
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $2"
' sh "$root.new" "$arm64_packages" >>"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "stub-root: installing $arm64_packages failed; the whole log is in $log" >&2
  rm -rf "$root.new"
  exit 1
fi
# Nothing in the root is needed at run time but the build tools.
rm -rf "$root.new/var/cache/apt/archives/"*.deb "$root.new/var/cache/apt/"*.bin \
  "$root.new/var/lib/apt/lists/"*_Packages*
echo "$stamp" >"$root.new/.kv-root"
mv "$root.new" "$root"
echo "$root"
