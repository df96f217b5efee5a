#!/bin/sh
# What a plain user is told by the tools before anything is built: the one
# command that installs missing packages, and why user namespaces cannot be
# used, with the setting that allows them.
#
# usage: plain_user_tools_test.sh SOURCE_DIR
set -u
tools=$1/tools
scratch=$(mktemp -d /var/tmp/plain-user-tools.XXXXXX)
chmod 0755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $1" >&2
  failures=$((failures + 1))
}

# expect NAME STATUS EXPECTED-STDOUT EXPECTED-STDERR COMMAND...
expect() {
  name=$1 status=$2 printed=$3 expected=$4
  shift 4
  "$@" >"$scratch/out" 2>"$scratch/err"
  got=$?
  [ "$got" = "$status" ] || fail "$name: status $got, not $status"
  [ "$(cat "$scratch/out")" = "$printed" ] || fail "$name: printed $(cat "$scratch/out"), not $printed"
  [ "$(cat "$scratch/err")" = "$expected" ] || fail "$name: told
$(cat "$scratch/err")
not
$expected"
}

# A plain user's install-deps.sh: with one package missing, one line, and
# neither apt-get nor sudo runs. The stand-in dpkg-query lists every needed
# package installed but uidmap, which is there but not installed, and
# libcurl3-gnutls only as a name another package provides, as Debian 13 has it.
mkdir "$scratch/bin"
needed=$(sed -n '/^packages="/,/"$/p' "$tools/install-deps.sh" | tr -d '"' | sed 's/^packages=//')
{
  for p in $needed; do
    case $p in
      uidmap) echo "rc |uidmap|" ;;
      libcurl3-gnutls) echo "ii |libcurl3t64-gnutls|libcurl3-gnutls (= 8.14.1-2), libcurl3t64" ;;
      *) echo "ii |$p|" ;;
    esac
  done
  echo "un |libcurl4|libcurl3-gnutls"
} >"$scratch/dpkg-list"
printf '#!/bin/sh\ncat "%s"\n' "$scratch/dpkg-list" >"$scratch/bin/dpkg-query"
for tool in apt-get sudo; do
  printf '#!/bin/sh\ntouch "%s/ran-%s"\n' "$scratch" "$tool" >"$scratch/bin/$tool"
done
chmod 0755 "$scratch/bin/"*
as_plain_user=""
[ "$(id -u)" -ne 0 ] || as_plain_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
expect "install-deps as a plain user" 1 "" \
  "install-deps: Debian packages are missing; install them, then run make again: sudo apt-get install --no-install-recommends uidmap" \
  $as_plain_user env PATH="$scratch/bin:$PATH" sh "$tools/install-deps.sh"
[ ! -e "$scratch/ran-apt-get" ] && [ ! -e "$scratch/ran-sudo" ] || fail "install-deps ran apt-get or sudo"

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
  echo "plain-user tools: no user namespace can be made here ($refused); its reasons are told from KV_SYSCTL_DIR alone"
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

# cached-root.sh keeps a plain user's roots in its cache directory, makes
# each once per stamp, and leaves nothing of a maker that failed.
cat >"$scratch/bin/maker" <<'SCRIPT'
#!/bin/sh
# usage: maker LOG FAIL NEW
echo made >>"$1"
mkdir "$3" && echo inside >"$3/file"
[ "$2" = ok ] || { echo "no root today" >&2; exit 1; }
SCRIPT
chmod 0755 "$scratch/bin/maker"
mkdir -m 0777 "$scratch/home" "$scratch/xdg" "$scratch/shared"
log=$scratch/shared/log
cached() {
  $as_plain_user env "$@" sh "$tools/cached-root.sh" demo "stamp 1" "a demo root" "$scratch/bin/maker" "$log" ok
}
root=$scratch/xdg/kv-bootstrap/demo
expect "made in XDG_CACHE_HOME" 0 "$root" "maker: making a demo root in $root (once)" \
  cached XDG_CACHE_HOME="$scratch/xdg" HOME="$scratch/home"
[ "$(cat "$log")" = made ] && [ "$(cat "$root/file")" = inside ] || fail "the root was not made in XDG_CACHE_HOME"
expect "kept" 0 "$root" "" cached XDG_CACHE_HOME="$scratch/xdg" HOME="$scratch/home"
[ "$(cat "$log")" = made ] || fail "a current root was made again"
root=$scratch/home/.cache/kv-bootstrap/demo
expect "made in ~/.cache" 0 "$root" "maker: making a demo root in $root (once)" \
  cached -u XDG_CACHE_HOME HOME="$scratch/home"
root=$scratch/shared/elsewhere
expect "a failed maker" 1 "" "maker: making a demo root in $root (once)
no root today
maker: making a demo root failed; the whole log is in $root.log" \
  $as_plain_user sh "$tools/cached-root.sh" "$root" "stamp 1" "a demo root" "$scratch/bin/maker" "$log" fail
[ ! -e "$root" ] && [ ! -e "$root.new" ] || fail "a failed maker left its root"

[ "$failures" -eq 0 ] || exit 1
echo "plain-user tools: all passed"
