#!/bin/sh
# Makes (once) a Debian 11 root for arm64, which the tests and the demo run
# aarch64 bootstraps in with "qemu-aarch64-static -L ROOT", and prints its
# path. Nothing of it is ever run but the dynamic loader and the libraries a
# bootstrap loads (libcurl, both flavours): the programs a bootstrap starts
# (sh, unzip) are the host's, run natively, as they would be found on a
# user's machine. So the root is only unpacked: "debootstrap --foreign"
# unpacks the base system without running anything of it, and leaves the
# packages beyond the base (libcurl4, libcurl3-gnutls and what they need)
# downloaded for a second stage, which never comes: they are unpacked with
# dpkg-deb instead.
#
# usage: arm64-root.sh   (KV_ARM64_ROOT overrides where it lives)
set -eu

root=${KV_ARM64_ROOT:-/var/cache/kv-bootstrap/bullseye-arm64}
packages="libcurl4,libcurl3-gnutls"
# Bump when the list changes, so that an older root is made again.
stamp="bullseye arm64 1 $packages"

if [ -f "$root/.kv-root" ] && [ "$(cat "$root/.kv-root")" = "$stamp" ]; then
  echo "$root"
  exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "arm64-root: making $root needs root" >&2; exit 1; }
command -v debootstrap >/dev/null || {
  echo "arm64-root: installing debootstrap" >&2
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
echo "arm64-root: unpacking a Debian 11 arm64 root in $root (once; about a minute)" >&2
rm -rf "$root.new" "$root"
log=$root.log
if ! debootstrap --arch=arm64 --foreign --variant=minbase --include="$packages" bullseye \
    "$root.new" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "arm64-root: debootstrap failed; the whole log is in $log" >&2
  rm -rf "$root.new"
  exit 1
fi
# The first stage unpacked the packages listed in debootstrap/required; the
# others listed in debootstrap/base wait in debootstrap/debpaths.
for package in $(cat "$root.new/debootstrap/base"); do
  grep -qx "$package" "$root.new/debootstrap/required" && continue
  deb=$(sed -n "s|^$package ||p" "$root.new/debootstrap/debpaths")
  dpkg-deb -x "$root.new$deb" "$root.new" >>"$log" 2>&1
done
# A root that is never entered needs no packages: what was unpacked stays.
rm -rf "$root.new/var/cache/apt/archives/"*.deb
echo "$stamp" >"$root.new/.kv-root"
mv "$root.new" "$root"
echo "$root"
