#!/bin/sh
# A release archive used as a vendor on an older or an arm64 build host
# would: unpacked into a directory of its own, its bin/kv-pack, started from
# elsewhere, finds the stubs beside it and packs a bundle and an agent for
# its own machine and for the other one; the package for its machine runs
# and installs through its agent. ARCH is the archive's machine:
#   x86-64   everything runs inside the Debian 11 root (glibc 2.31, its own
#            sh, zip and unzip; tools/stub-root.sh);
#   aarch64  kv-pack and the package run under qemu-aarch64-static with the
#            arm64 root's loader and libraries (tools/arm64-root.sh); the
#            programs they start (zip, unzip, sh) are the host's, as on an
#            arm64 machine they would be its own.
# kv-pack's temporary files (TMPDIR) and the package's work directory must be
# gone afterwards.
#
# usage: dist_pack_test.sh SOURCE_DIR ARCHIVE ARCH
set -eu

src=$1 archive=$2 arch=$3

. "$src/tests/lib.sh"
tmp=$scratch

case "$arch" in
  x86-64) other=aarch64 other_stub=kv-bootstrap-aarch64 own_stub=kv-bootstrap ;;
  aarch64) other=x86-64 other_stub=kv-bootstrap own_stub=kv-bootstrap-aarch64 ;;
  *) fail "no archive for $arch" ;;
esac

mkdir "$tmp/unpacked" "$tmp/tmp" "$tmp/home" "$tmp/elsewhere" "$tmp/agent"
tar -xzf "$archive" -C "$tmp/unpacked"
set -- "$tmp"/unpacked/*
[ $# -eq 1 ] && [ -d "$1" ] || fail "$archive does not hold one top-level directory"
top=${1#"$tmp"/}

# A bundle directory, and an agent whose install script records what it was
# given and what it found in the bundle.
mkdir -p "$tmp/bundle/app"
echo "hello from the bundle" >"$tmp/bundle/app/hello.txt"
cat >"$tmp/agent/install" <<'EOF'
{
  for argument in "$@"; do echo "arg=$argument"; done
  echo "file=$(unzip -p "$2" app/hello.txt)"
} >"$INSTALL_TEST_MARKER"
EOF
(cd "$tmp/agent" && zip -q -X ../InstallAgent.zip install)

# The vendor's steps, in the directory D as the run sees it. The agent's URL
# points at a loopback port nothing serves: the agent travels inside.
steps='
cd "$D/elsewhere"
$RUN "$D/$TOP/bin/kv-pack" --arch "$ARCH" --bundle "$D/bundle" --agent "$D/InstallAgent.zip" \
  -o "$D/setup.run"
$RUN "$D/$TOP/bin/kv-pack" --arch "$OTHER" --bundle "$D/bundle" --agent "$D/InstallAgent.zip" \
  -o "$D/other.run"
$RUN "$D/$TOP/bin/kv-pack" --info "$D/other.run" >"$D/other.info"
$RUN "$D/$TOP/bin/kv-pack" --version >"$D/version"
$RUN "$D/setup.run" -mode silent "two words"
'
vars="TOP=$top ARCH=$arch OTHER=$other HOME=/home INSTALL_TEST_MARKER=/marker TMPDIR=/tmp
  KV_INTERNAL_INSTALL_AGENT_URL=http://127.0.0.1:9/agent"
status=0
if [ "$arch" = x86-64 ]; then
  root=$("$src/tools/stub-root.sh")
  [ -f "$root/lib/x86_64-linux-gnu/libc-2.31.so" ] || fail "$root holds no glibc 2.31"
  for program in zip unzip; do
    [ -x "$root/usr/bin/$program" ] || fail "$root has no $program"
  done
  # The directory is the root's /mnt, and its tmp the root's /tmp too.
  "$src/tools/private-mounts.sh" sh -eu -c '
    root=$1 dir=$2 steps=$3
    shift 3
    mount --bind "$dir" "$root/mnt"
    mount --bind "$dir/tmp" "$root/tmp"
    # The host'"'"'s /proc and /dev: a fresh proc needs a pid namespace of its own,
    # which a plain user'"'"'s namespace is not.
    mount --rbind /proc "$root/proc"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin D=/mnt RUN= "$@" sh -eu -c "$steps"
  ' sh "$root" "$tmp" "$steps" $(echo "$vars" | sed 's|=/|=/mnt/|g') \
    >"$tmp/run.out" 2>"$tmp/run.err" || status=$?
  workdirs=$tmp
else
  qemu=$(command -v qemu-aarch64-static) || fail "needs qemu-aarch64-static (Debian: qemu-user-static)"
  root=$("$src/tools/arm64-root.sh")
  [ -f "$root/lib/ld-linux-aarch64.so.1" ] || fail "$root holds no arm64 loader"
  env -i PATH=/usr/bin:/bin D="$tmp" RUN="$qemu -L $root" $(echo "$vars" | sed "s|=/|=$tmp/|g") \
    sh -eu -c "$steps" >"$tmp/run.out" 2>"$tmp/run.err" || status=$?
  workdirs=
fi
[ "$status" -eq 0 ] || { cat "$tmp/run.err" >&2; fail "the vendor's steps exited with $status"; }
[ ! -s "$tmp/run.err" ] || { cat "$tmp/run.err" >&2; fail "the vendor's steps wrote to standard error"; }

lib=$tmp/$top/lib/kv-bootstrap
starts_with_stub "$lib/$own_stub" "$tmp/setup.run" ||
  fail "the $arch package does not start with the archive's $own_stub"
starts_with_stub "$lib/$other_stub" "$tmp/other.run" ||
  fail "the $other package does not start with the archive's $other_stub"
grep -qx "machine  *$other" "$tmp/other.info" || fail "kv-pack --info on the $other package:
$(cat "$tmp/other.info")"
# The archive's name carries the release kv-pack names.
version=${top##*/kv-bootstrap-}
[ "$(cat "$tmp/version")" = "kv-pack ${version%-linux-*}" ] ||
  fail "kv-pack --version from the archive $top says: $(cat "$tmp/version")"

[ -f "$tmp/marker" ] || fail "the install agent did not run"
bundle=$(sed -n 2p "$tmp/marker" | sed 's/^arg=//')
expected=$(printf '%s\n' "arg=-installbundle" "arg=$bundle" "arg=-mode" "arg=silent" \
  "arg=two words" "file=hello from the bundle")
[ "$(cat "$tmp/marker")" = "$expected" ] || fail "the agent recorded:
$(cat "$tmp/marker")
expected:
$expected"
case "$bundle" in
  /tmp/kv??????/bundle.zip) ;;
  *) fail "unexpected bundle path: $bundle" ;;
esac
[ ! -e "$workdirs${bundle%/bundle.zip}" ] || fail "the work directory was left: ${bundle%/bundle.zip}"
[ -z "$(ls -A "$tmp/tmp")" ] || fail "left in TMPDIR: $(ls -A "$tmp/tmp")"
echo "dist_pack_test: ok: $top packs and installs ($arch)"
