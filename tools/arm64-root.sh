#!/bin/sh
# Makes (once) a Debian 11 root for arm64, which the tests and the demo run
# aarch64 bootstraps in with "qemu-aarch64-static -L ROOT", and prints its
# path (tools/cached-root.sh keeps it). Nothing of it is ever run but the
# dynamic loader and the libraries a bootstrap loads (libcurl, both
# flavours): the programs a bootstrap starts (sh, unzip) are the host's, run
# natively, as they would be found on a user's machine. So the root is only
# unpacked: "debootstrap --foreign" unpacks the base system without running
# anything of it, and leaves the packages beyond the base (libcurl4,
# libcurl3-gnutls and what they need) downloaded for a second stage, which
# never comes: they are unpacked with dpkg-deb instead.
#
# usage: arm64-root.sh   (KV_ARM64_ROOT overrides where it lives)
set -eu

root=${KV_ARM64_ROOT:-/var/cache/kv-bootstrap/bullseye-arm64}
packages="libcurl4,libcurl3-gnutls"
# Bump when the list changes, so that an older root is made again.
stamp="bullseye arm64 1 $packages"

if [ "${1-}" != --make ]; then
  exec "$(dirname "$0")/cached-root.sh" "$root" "$stamp" "an unpacked Debian 11 arm64 root" "$0" --make
fi
new=$2

debootstrap --arch=arm64 --foreign --variant=minbase --include="$packages" bullseye "$new"
# The first stage unpacked the packages listed in debootstrap/required; the
# others listed in debootstrap/base wait in debootstrap/debpaths.
for package in $(cat "$new/debootstrap/base"); do
  grep -qx "$package" "$new/debootstrap/required" && continue
  deb=$(sed -n "s|^$package ||p" "$new/debootstrap/debpaths")
  dpkg-deb -x "$new$deb" "$new"
done
# A root that is never entered needs no packages: what was unpacked stays.
rm -rf "$new/var/cache/apt/archives/"*.deb
