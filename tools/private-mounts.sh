#!/bin/sh
# Runs a command in a mount namespace of its own (needs root), so that what it
# mounts is gone when it ends and never shows elsewhere.
#
# usage: private-mounts.sh COMMAND [ARG...]
#
# unshare's own "--propagation private" fails inside a chroot, where "/" is no
# mount point (as in a fresh-root check); there the namespace keeps the
# propagation it inherits, which the tool that made the chroot set.
exec unshare -m --propagation unchanged sh -c '
  mount --make-rprivate / 2>/dev/null || true
  exec "$@"' sh "$@"
