#!/bin/sh
# Tells, in one line, why a plain user cannot build or test here, and how to
# allow it: the shipped bootstraps are built, and the tests' package runs
# given their own /tmp, in user and mount namespaces, which a kernel or a
# security module may keep from plain users. With --subids it checks too
# that the user has subordinate ids, which making a Debian 11 root needs
# (tools/debian-root.sh). Quiet, with status 0, when all is there.
#
# usage: check-userns.sh [--subids] [WHAT]   (WHAT opens the line; "make" by default)
#
# KV_SYSCTL_DIR stands for /proc/sys, for the tests.
set -eu

subids=false
if [ "${1-}" = --subids ]; then
  subids=true
  shift
fi
what=${1:-make}
sysctl_dir=${KV_SYSCTL_DIR:-/proc/sys}

fail() {
  echo "$what: $1, or run make as root" >&2
  exit 1
}

setting() {
  cat "$sysctl_dir/$1" 2>/dev/null || true
}

# What every plain user's build and test run does: mount in a namespace of its own.
if ! error=$(unshare --map-root-user --mount mount -t tmpfs kv-check /mnt 2>&1); then
  error=$(echo "$error" | head -n 1)
  if [ "$(setting kernel/apparmor_restrict_unprivileged_userns)" = 1 ]; then
    fail "AppArmor keeps plain users from user namespaces (kernel.apparmor_restrict_unprivileged_userns=1; $error); allow them with: sudo sysctl -w kernel.apparmor_restrict_unprivileged_userns=0"
  elif [ "$(setting kernel/unprivileged_userns_clone)" = 0 ]; then
    fail "the kernel keeps plain users from user namespaces (kernel.unprivileged_userns_clone=0; $error); allow them with: sudo sysctl -w kernel.unprivileged_userns_clone=1"
  elif [ "$(setting user/max_user_namespaces)" = 0 ]; then
    fail "the kernel allows no user namespaces (user.max_user_namespaces=0; $error); allow them with: sudo sysctl -w user.max_user_namespaces=10000"
  else
    fail "a user namespace of this user's cannot mount ($error); allow plain users user namespaces"
  fi
fi

if $subids; then
  user=$(id -un)
  for ids in uid gid; do
    command -v "new${ids}map" >/dev/null ||
      fail "new${ids}map is missing; install it with: sudo apt-get install uidmap"
    grep -q -e "^$user:" -e "^$(id -u):" "/etc/sub$ids" 2>/dev/null ||
      fail "$user has no subordinate ${ids}s in /etc/sub$ids; add them with: sudo usermod --add-sub${ids}s 100000-165535 $user (a range no other user has)"
  done
fi
