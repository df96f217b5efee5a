#!/bin/sh
# tools/private-mounts.sh: a plain user, started with a PATH without sbin,
# is root inside, finds chroot, and what it mounts shows nowhere else; nor
# do root's mounts, made where mounts propagate (as on a host whose / is
# shared).
set -u
. "$(dirname "$0")/../tests/lib.sh"
tools=$(cd "$(dirname "$0")" && pwd)

mkdir "$scratch/mnt"
inside='mount -t tmpfs kv-test "$0" && : >"$0/made" && id -u'
user=as_plain_user
if ! as_plain_user unshare --user --map-root-user true 2>/dev/null; then
  echo "private-mounts: a plain user may not make user namespaces here; only root's runs are checked"
  [ "$(id -u)" -eq 0 ] || exit 0
  user=
fi
expect "without sbin on PATH" 0 0 "" $user env PATH=/usr/bin:/bin \
  sh "$tools/private-mounts.sh" chroot / sh -c "$inside" "$scratch/mnt"
[ ! -e "$scratch/mnt/made" ] || fail "a mount made inside shows outside"

# Root, from a mount namespace where the directory is a shared mount, its
# peer the namespace's own: a mount that propagated would show there.
if [ "$(id -u)" -eq 0 ] && mountpoint -q /; then
  expect "root" 0 "0
stayed inside" "" unshare --mount --propagation private sh -c '
    mount --bind "$1" "$1" && mount --make-shared "$1" &&
      sh "$0" sh -c "$2" "$1" && { [ -e "$1/made" ] || echo stayed inside; }' \
    "$tools/private-mounts.sh" "$scratch/mnt" "$inside"
fi
echo "private-mounts: all passed"
