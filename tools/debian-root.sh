#!/bin/sh
# Makes a Debian 11 root in DIR with mmdebstrap, given its options (variant,
# architectures, packages), for root and plain users alike. mmdebstrap writes
# it as a tar stream, which tar unpacks: as root with every owner kept; as a
# plain user, whose mmdebstrap works in a user namespace through the
# subordinate ids (package uidmap), with every file the user's own. Such a
# root is entered through a user namespace that maps the user to root
# (tools/private-mounts.sh), where every file is root's as in a root made by
# root, and it is removed like any of the user's files. Device nodes are left
# out: who enters the root binds the host's /dev.
#
# Only bullseye itself is used, as released: its updates and security
# updates, which mmdebstrap adds by default, would change the compilers and
# libraries, and with them the bytes of the bootstraps built in the root.
#
# usage: debian-root.sh DIR [MMDEBSTRAP-OPTION...]
set -eu

dir=$1
shift
if [ "$(id -u)" -eq 0 ]; then
  mode=root owners=--numeric-owner
else
  mode=unshare owners=--no-same-owner
  "$(dirname "$0")/check-userns.sh" --subids "debian-root: making $dir"
fi
mkdir "$dir"
status=$dir.mmdebstrap-status
# shellcheck disable=SC2016
{ mmdebstrap --mode="$mode" \
    --setup-hook='sed -i "/ bullseye-updates \| bullseye-security /d" "$1/etc/apt/sources.list"' \
    "$@" bullseye - || echo "mmdebstrap failed ($?)" >"$status"; } |
  tar -C "$dir" -x -p "$owners" --exclude='./dev/*'
if [ -e "$status" ]; then
  cat "$status" >&2
  rm -f "$status"
  exit 1
fi
