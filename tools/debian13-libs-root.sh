#!/bin/sh
# Makes (once) an unpacked Debian 13 root for amd64 and prints its path
# (tools/cached-root.sh keeps it): the C library, the C++ runtime and both
# libcurl flavours of Debian 13, for running the tests' own programs against
# them with the root's dynamic loader (tests/with-root-libraries.sh). The
# libcurl a user's machine has decides what a download sees, and each
# release of it reports a connection a little differently. Nothing of the
# root is run but the loader and the libraries (mmdebstrap's "extract"
# variant, tools/debian-root.sh).
#
# usage: debian13-libs-root.sh   (KV_DEBIAN13_ROOT overrides where it lives)
set -eu

root=${KV_DEBIAN13_ROOT:-trixie-amd64-libs}
packages="libc6,libstdc++6,libcurl4t64,libcurl3t64-gnutls"
# Bump when the list changes, so that an older root is made again.
stamp="trixie amd64 1 $packages"

if [ "${1-}" != --make ]; then
  exec "$(dirname "$0")/cached-root.sh" "$root" "$stamp" "an unpacked Debian 13 root of libraries" "$0" --make
fi
new=$2

"$(dirname "$0")/debian-root.sh" "$new" trixie --variant=extract --architectures=amd64 --include="$packages"
