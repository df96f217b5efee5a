#!/bin/sh
# Makes (once) a Debian 11 root for arm64, which the tests and the demo run
# aarch64 bootstraps in with "qemu-aarch64-static -L ROOT", and prints its
# path (tools/cached-root.sh keeps it). Nothing of it is ever run but the
# dynamic loader and the libraries a bootstrap loads (libcurl, both
# flavours): the programs a bootstrap starts (sh, unzip) are the host's, run
# natively, as they would be found on a user's machine. So the root is only
# unpacked: mmdebstrap's "extract" variant unpacks the packages and what they
# depend on, and runs nothing of them (tools/debian-root.sh).
#
# usage: arm64-root.sh   (KV_ARM64_ROOT overrides where it lives)
set -eu

root=${KV_ARM64_ROOT:-bullseye-arm64}
packages="libcurl4,libcurl3-gnutls"
# Bump when the list changes, so that an older root is made again.
stamp="bullseye arm64 1 $packages"

if [ "${1-}" != --make ]; then
  exec "$(dirname "$0")/cached-root.sh" "$root" "$stamp" "an unpacked Debian 11 arm64 root" "$0" --make
fi
new=$2

"$(dirname "$0")/debian-root.sh" "$new" bullseye --variant=extract --architectures=arm64 --include="$packages"
