#!/bin/sh
# Runs a command in a mount namespace of its own, so that what it mounts is
# gone when it ends and never shows elsewhere. As a plain user the namespace
# belongs to a user namespace of its own, where the user is root: the command
# may mount, and chroot; files are the user's on the outside, and the user's
# files are root's on the inside.
#
# usage: private-mounts.sh COMMAND [ARG...]
#
# unshare's own "--propagation private" fails inside a chroot, where "/" is no
# mount point (as in a fresh-root check); there the namespace keeps the
# propagation it inherits, which the tool that made the chroot set.
if [ "$(id -u)" -eq 0 ]; then
  user=""
else
  user=--map-root-user
fi
# chroot and the like lie in /usr/sbin, which a plain user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
export PATH
# shellcheck disable=SC2086
exec unshare $user -m --propagation unchanged sh -c '
  mount --make-rprivate / 2>/dev/null || true
  exec "$@"' sh "$@"
