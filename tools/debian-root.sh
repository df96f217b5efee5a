#!/bin/sh
# Makes a root of Debian release SUITE (bullseye, trixie) in DIR with
# mmdebstrap, given its options (variant, architectures, packages), for root
# and plain users alike. mmdebstrap writes
# it as a tar stream, which tar unpacks: as root with every owner kept; as a
# plain user, whose mmdebstrap works in a user namespace through the
# subordinate ids (package uidmap), with every file the user's own. Such a
# root is entered through a user namespace that maps the user to root
# (tools/private-mounts.sh), where every file is root's as in a root made by
# root, and it is removed like any of the user's files. Device nodes are left
# out: who enters the root binds the host's /dev.
#
# Only the release itself is used, as released: its updates and security
# updates, which mmdebstrap adds by default, would change the compilers and
# libraries, and with them the bytes of the bootstraps built in the root.
#
# mmdebstrap hands apt the number of a descriptor of its own for apt to run
# "cat >&N" through /bin/sh, and takes the lowest free number. dash reads
# only 0 to 9 there ("Bad fd number"), so descriptors 3 to 9 are closed for
# it: whatever the caller inherited (ctest keeps some open for its tests, the
# root's lock is 9) must not push that number past 9.
#
# A failed mmdebstrap is told as such, with its status, also where it stopped
# in the middle of the stream and tar fails on the rest.
#
# usage: debian-root.sh DIR SUITE [MMDEBSTRAP-OPTION...]
set -eu

dir=$1 suite=$2
shift 2
if [ "$(id -u)" -eq 0 ]; then
  mode=root owners=--numeric-owner
else
  mode=unshare owners=--no-same-owner
  "$(dirname "$0")/check-userns.sh" --subids "debian-root: making $dir"
fi
mkdir "$dir"
status=$dir.mmdebstrap-status
untar=0
{ mmdebstrap --mode="$mode" \
    --setup-hook="sed -i '/ $suite-updates \\| $suite-security /d' \"\$1/etc/apt/sources.list\"" \
    "$@" "$suite" - 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- || echo "mmdebstrap failed ($?)" >"$status"; } |
  tar -C "$dir" -x -p "$owners" --exclude='./dev/*' || untar=$?
if [ -e "$status" ]; then
  cat "$status" >&2
  rm -f "$status"
  exit 1
fi
exit "$untar"
