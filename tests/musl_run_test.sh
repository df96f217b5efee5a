#!/bin/sh
# Packages on a system built on musl instead of glibc, such as Alpine: a root
# made from Debian's musl (its loader and C library) and busybox-static (sh,
# unzip and rm, as BusyBox gives them there), with /proc and /dev. Each row
# runs a package that carries its agent, packed with the stub given:
#   no glibc loader    the root as it is: the kernel finds no
#                      /lib64/ld-linux-x86-64.so.2, and the shell says "not
#                      found" of a file that is there;
#   loader name        the glibc loader's name leads to musl's loader, as on a
#                      musl system with a glibc compatibility layer: the small
#                      stub runs, BusyBox's unzip unpacks, the agent runs;
#   loader name, key   the same for the keyed stub, which needs a glibc
#                      function that musl lacks (its libsodium was built with
#                      fortified string functions).
#
# usage: musl_run_test.sh SOURCE_DIR KV_PACK STUB KEYED_STUB
set -u
src=$1 pack=$2 stub=$3 keyed=$4

. "$(dirname "$0")/lib.sh"

musl=/lib/ld-musl-x86_64.so.1
[ -e "$musl" ] && [ -x /bin/busybox ] || fail "needs Debian's musl and busybox-static"
root=$scratch/root
mkdir -p "$root/bin" "$root/lib" "$root/lib64" "$root/tmp" "$root/proc" "$root/dev" "$root/out"
chmod 1777 "$root/tmp"
cp /bin/busybox "$root/bin/"
for applet in sh unzip rm env; do ln -s busybox "$root/bin/$applet"; done
cp -L "$musl" "$root/lib/"

mkdir "$scratch/bundle" "$scratch/agent"
echo "hello" >"$scratch/bundle/hello.txt"
printf '%s\n' 'echo "$# $3 $4" >/out/marker' >"$scratch/agent/install"
(cd "$scratch/agent" && zip -q -X ../InstallAgent.zip install)
for made in "$stub=stub.run" "$keyed=keyed.run"; do
  "$pack" --bootstrap "${made%=*}" --bundle "$scratch/bundle" --agent "$scratch/InstallAgent.zip" \
    -o "$root/${made##*=}" || fail "kv-pack failed"
done

# run PACKAGE: runs /PACKAGE -mode silent in the root; its status, then its
# standard error, in $scratch/status and $scratch/err.
run() {
  rm -f "$root/out/marker"
  "$src/tools/private-mounts.sh" sh -c '
    mount --rbind /proc "$1/proc" && mount --rbind /dev "$1/dev" || exit 125
    exec chroot "$1" /bin/env -i PATH=/bin HOME=/tmp /bin/sh -c "/$2 -mode silent"
  ' sh "$root" "$1" 2>"$scratch/err"
  echo $? >"$scratch/status"
}

# expect_run NAME PACKAGE STATUS ERROR-PATTERN AGENT-RAN(yes|no); an empty
# pattern expects nothing on standard error.
expect_run() {
  run "$2"
  [ "$(cat "$scratch/status")" = "$3" ] || fail "$1: status $(cat "$scratch/status"), not $3: $(cat "$scratch/err")"
  if [ -z "$4" ]; then
    [ ! -s "$scratch/err" ] || fail "$1: told $(cat "$scratch/err")"
  else
    grep -q "$4" "$scratch/err" || fail "$1: no \"$4\" in: $(cat "$scratch/err")"
  fi
  if [ "$5" = yes ]; then
    [ "$(cat "$root/out/marker" 2>/dev/null)" = "4 -mode silent" ] ||
      fail "$1: the agent did not run as expected: $(cat "$root/out/marker" 2>&1)"
    [ -z "$(ls -A "$root/tmp")" ] || fail "$1: left in /tmp: $(ls -A "$root/tmp")"
  else
    [ ! -e "$root/out/marker" ] || fail "$1: the agent ran"
  fi
}

expect_run "no glibc loader" stub.run 127 "stub.run: not found" no
ln -s ld-musl-x86_64.so.1 "$root/lib/ld-linux-x86-64.so.2"
ln -s /lib/ld-musl-x86_64.so.1 "$root/lib64/ld-linux-x86-64.so.2"
expect_run "loader name" stub.run 0 "" yes
expect_run "loader name, key" keyed.run 127 "__memcpy_chk: symbol not found" no
echo "musl_run_test: ok"
