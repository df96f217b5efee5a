#!/bin/sh
# Makes (once) the Debian 11 root that the shipped bootstraps are built in,
# and prints its path. A program built against bullseye's glibc 2.31 records
# only the symbol versions of the functions it calls, so it starts on any
# glibc from 2.17 on; the root is kept outside the source tree and reused
# (tools/cached-root.sh). Besides the native toolchain it holds Debian's
# cross toolchain for aarch64 and, through multiarch, the arm64 headers and
# static libraries the aarch64 stub is built with. It is made without root
# (tools/debian-root.sh).
#
# usage: stub-root.sh            (KV_STUB_ROOT overrides where it lives)
set -eu

root=${KV_STUB_ROOT:-bullseye}
packages="g++,cmake,ninja-build,libcurl4-openssl-dev,libsodium-dev,zlib1g-dev,zip,unzip,g++-aarch64-linux-gnu,libc6-dev-arm64-cross"
arm64_packages="libcurl4-openssl-dev:arm64 libsodium-dev:arm64 zlib1g-dev:arm64"
# Bump when a list changes, so that an older root is made again.
stamp="bullseye 3 $packages $arm64_packages"

tools=$(dirname "$0")
if [ "${1-}" != --make ]; then
  exec "$tools/cached-root.sh" "$root" "$stamp" "the Debian 11 build root (a few minutes)" "$0" --make
fi
new=$2

# The arm64 packages come from the same release, through multiarch.
"$tools/debian-root.sh" "$new" bullseye --variant=minbase --architectures=amd64,arm64 \
  --include="$packages,$(echo "$arm64_packages" | tr ' ' ',')"
