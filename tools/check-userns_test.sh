#!/bin/sh
# tools/check-userns.sh: quiet where a plain user may use user namespaces and
# has subordinate ids, else one line with the setting or the command that
# allows it.
set -u
. "$(dirname "$0")/../tests/lib.sh"
tools=$(cd "$(dirname "$0")" && pwd)

# Where user namespaces work, nothing is told. A namespace that may have none
# of its own stands for a kernel where they are off, with its own sysctl or
# one put in KV_SYSCTL_DIR for the settings a test cannot change. Where none
# can be made at all (in a chroot, say), the check fails as it is, and only
# the settings in KV_SYSCTL_DIR tell why.
if unshare --user --map-root-user true 2>/dev/null; then
  expect "user namespaces allowed" 0 "" "" sh "$tools/check-userns.sh"
  without_userns() {
    unshare --user --map-root-user sh -c 'echo 0 >/proc/sys/user/max_user_namespaces && exec "$@"' sh "$@"
  }
  refused="unshare: unshare failed: No space left on device"
  expect "no user namespaces" 1 "" \
    "make: the kernel allows no user namespaces (user.max_user_namespaces=0; $refused); allow them with: sudo sysctl -w user.max_user_namespaces=10000, or run make as root" \
    without_userns sh "$tools/check-userns.sh"
else
  without_userns() { "$@"; }
  refused=$(unshare --map-root-user --mount true 2>&1 | head -n 1)
  echo "check-userns: no user namespace can be made here ($refused); its reasons are told from KV_SYSCTL_DIR alone"
fi
mkdir -p "$scratch/sys/kernel" "$scratch/sys/user"
echo 0 >"$scratch/sys/user/max_user_namespaces"
expect "no user namespaces by the settings" 1 "" \
  "make: the kernel allows no user namespaces (user.max_user_namespaces=0; $refused); allow them with: sudo sysctl -w user.max_user_namespaces=10000, or run make as root" \
  without_userns env KV_SYSCTL_DIR="$scratch/sys" sh "$tools/check-userns.sh"
echo 0 >"$scratch/sys/kernel/unprivileged_userns_clone"
expect "switched off" 1 "" \
  "stub-root: making it: the kernel keeps plain users from user namespaces (kernel.unprivileged_userns_clone=0; $refused); allow them with: sudo sysctl -w kernel.unprivileged_userns_clone=1, or run make as root" \
  without_userns env KV_SYSCTL_DIR="$scratch/sys" sh "$tools/check-userns.sh" "stub-root: making it"
echo 1 >"$scratch/sys/kernel/apparmor_restrict_unprivileged_userns"
expect "AppArmor" 1 "" \
  "make: AppArmor keeps plain users from user namespaces (kernel.apparmor_restrict_unprivileged_userns=1; $refused); allow them with: sudo sysctl -w kernel.apparmor_restrict_unprivileged_userns=0, or run make as root" \
  without_userns env KV_SYSCTL_DIR="$scratch/sys" sh "$tools/check-userns.sh"
echo 0 >"$scratch/sys/kernel/apparmor_restrict_unprivileged_userns"
echo 1 >"$scratch/sys/kernel/unprivileged_userns_clone"
echo 15000 >"$scratch/sys/user/max_user_namespaces"
expect "another cause" 1 "" \
  "make: a user namespace of this user's cannot mount ($refused); allow plain users user namespaces, or run make as root" \
  without_userns env KV_SYSCTL_DIR="$scratch/sys" sh "$tools/check-userns.sh"

# --subids, for the user builder of uid 1001, whose namespaces work (stand-ins
# for id and unshare), against /etc/subuid and /etc/subgid of the test's own:
# an /etc in a mount namespace that holds those two alone.
if ! sh "$tools/private-mounts.sh" true 2>/dev/null; then
  echo "check-userns: no mount namespace can be made here; --subids is not checked"
  exit 0
fi
mkdir "$scratch/bin" "$scratch/etc"
printf '#!/bin/sh\n[ "$1" = -un ] && echo builder || echo 1001\n' >"$scratch/bin/id"
printf '#!/bin/sh\n' | tee "$scratch/bin/unshare" "$scratch/bin/newuidmap" >"$scratch/bin/newgidmap"
chmod 0755 "$scratch/bin/"*
ln -s "$(command -v grep)" "$scratch/bin/grep"
# subids NAME SUBUID SUBGID STATUS TOLD: /etc/subuid and /etc/subgid hold the
# lines SUBUID and SUBGID (separated by blanks).
subids() {
  printf '%s\n' $2 >"$scratch/etc/subuid"
  printf '%s\n' $3 >"$scratch/etc/subgid"
  expect "$1" "$4" "" "$5" sh "$tools/private-mounts.sh" sh -c \
    'mount -t tmpfs -o mode=0755 kv-etc /etc && cp "$0"/subuid "$0"/subgid /etc/ && exec "$@"' \
    "$scratch/etc" env PATH="$scratch/bin" /bin/sh "$tools/check-userns.sh" --subids
}
others="other:100000:65536 10010:165536:65536 builder2:231072:65536"
fix="add them with: sudo usermod"
subids "ids by uid" "$others 1001:100000:65536" "1001:100000:65536" 0 ""
subids "ids by name" "builder:100000:65536" "$others builder:100000:65536" 0 ""
subids "no ids" "$others" "$others" 1 \
  "make: builder has no subordinate uids in /etc/subuid; $fix --add-subuids 100000-165535 builder (a range no other user has), or run make as root"
subids "no group ids" "1001:100000:65536" "$others" 1 \
  "make: builder has no subordinate gids in /etc/subgid; $fix --add-subgids 100000-165535 builder (a range no other user has), or run make as root"
rm "$scratch/bin/newgidmap"
subids "no newgidmap" "1001:100000:65536" "1001:100000:65536" 1 \
  "make: newgidmap is missing; install it with: sudo apt-get install uidmap, or run make as root"
echo "check-userns: all passed"
