#!/bin/sh
# Makes the release archives: OUT_DIR/kv-bootstrap-VERSION-linux-MACHINE.tar.gz
# for each MACHINE=KV_PACK given. Each holds what the install rules of
# BUILD_DIR install (so every stub they name comes along), under one
# top-level directory, with bin/kv-pack swapped for KV_PACK, the portable one
# for that machine. Unpacked anywhere, bin/kv-pack finds the stubs in
# ../lib/kv-bootstrap/, as it does when installed.
#
# The archive depends on nothing of the machine or the run but the files:
# names in byte order, owner and group 0, modes from the owner's (rw, and x
# where the file has it), and, with SOURCE_DATE_EPOCH set, that time on every
# member and none in the gzip header. So the same build gives the same bytes.
#
# Beside them, OUT_DIR/SHA256SUMS lists the archives' SHA-256 sums, as
# sha256sum -c reads them. With KV_DIST_SIGNING_KEY naming a minisign secret
# key, SHA256SUMS.minisig is its signature; without, an earlier run's
# signature is removed, since it no longer signs what lies beside it.
#
# usage: [KV_DIST_SIGNING_KEY=FILE] dist.sh CMAKE BUILD_DIR OUT_DIR VERSION MACHINE=KV_PACK...
set -eu

cmake=$1 build=$2 out=$3 version=$4
shift 4
# Settings from the caller's environment that would change what is staged or
# how it is archived.
unset DESTDIR CMAKE_INSTALL_MODE TAR_OPTIONS GZIP

fail() {
  echo "dist: $*" >&2
  exit 1
}

mkdir -p "$out"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kv-dist.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

key=${KV_DIST_SIGNING_KEY-}
if [ -n "$key" ]; then
  [ -f "$key" ] || fail "KV_DIST_SIGNING_KEY names no file: $key"
  command -v minisign >/dev/null || fail "signing SHA256SUMS needs minisign (Debian: minisign)"
fi

mtime=""
if [ -n "${SOURCE_DATE_EPOCH-}" ]; then
  case "$SOURCE_DATE_EPOCH" in
    *[!0-9]*) fail "SOURCE_DATE_EPOCH is not a number of seconds: $SOURCE_DATE_EPOCH" ;;
  esac
  mtime=--mtime=@$SOURCE_DATE_EPOCH
fi

names=""
for machine_pack in "$@"; do
  machine=${machine_pack%%=*}
  pack=${machine_pack#*=}
  name=kv-bootstrap-$version-linux-$machine
  stage=$tmp/$name
  "$cmake" --install "$build" --prefix "$stage" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log" >&2; fail "cmake --install $build failed"; }
  [ -f "$stage/bin/kv-pack" ] || fail "the install rules put no bin/kv-pack in $stage"
  [ -f "$pack" ] || fail "no portable kv-pack for $machine at $pack"
  cp "$pack" "$stage/bin/kv-pack"
  chmod 755 "$stage/bin/kv-pack"

  # shellcheck disable=SC2086
  (cd "$tmp" && tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
    --mode=u+rw,go=u-w $mtime --file="$name.tar" "$name")
  gzip -9 -n <"$tmp/$name.tar" >"$out/$name.tar.gz.new"
  mv "$out/$name.tar.gz.new" "$out/$name.tar.gz"
  echo "dist: $out/$name.tar.gz"
  names="$names $name.tar.gz"
  rm -rf "$stage" "$tmp/$name.tar"
done

# shellcheck disable=SC2086
(cd "$out" && sha256sum -- $names) >"$out/SHA256SUMS.new" || fail "sha256sum failed in $out"
rm -f "$out/SHA256SUMS.minisig"
mv "$out/SHA256SUMS.new" "$out/SHA256SUMS"
echo "dist: $out/SHA256SUMS"
if [ -n "$key" ]; then
  # minisign asks for the key's password, if it has one, on the terminal.
  minisign -S -s "$key" -m "$out/SHA256SUMS" -x "$out/SHA256SUMS.minisig.new" ||
    fail "minisign could not sign $out/SHA256SUMS with $key"
  mv "$out/SHA256SUMS.minisig.new" "$out/SHA256SUMS.minisig"
  echo "dist: $out/SHA256SUMS.minisig"
fi
