#!/bin/sh
# Makes (once) the Debian 11 root that the shipped bootstrap is built in, and
# prints its path. A program built against bullseye's glibc 2.31 records only
# the symbol versions of the functions it calls, so it starts on any glibc
# from 2.17 on; the root is kept outside the source tree and reused.
#
# usage: stub-root.sh            (KV_STUB_ROOT overrides where it lives)
set -eu

root=${KV_STUB_ROOT:-/var/cache/kv-bootstrap/bullseye}
# Bump when the list changes, so that an older root is made again.
packages="g++,cmake,ninja-build,libcurl4-openssl-dev,libsodium-dev,zlib1g-dev,unzip"
stamp="bullseye 1 $packages"

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
echo "stub-root: making the Debian 11 build root in $root (once; about two minutes)" >&2
rm -rf "$root.new" "$root"
log=$root.log
if ! debootstrap --variant=minbase --include="$packages" bullseye "$root.new" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "stub-root: debootstrap failed; the whole log is in $log" >&2
  rm -rf "$root.new"
  exit 1
fi
# Nothing in the root is needed at run time but the build tools.
rm -rf "$root.new/var/cache/apt/archives/"*.deb
echo "$stamp" >"$root.new/.kv-root"
mv "$root.new" "$root"
echo "$root"
