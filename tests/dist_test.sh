#!/bin/sh
# The release archives, made by tools/dist.sh as "make dist" makes them: made
# twice with the same SOURCE_DATE_EPOCH, under different umasks, the second
# time with settings for cmake --install and tar in the environment and by a
# user other than root (in a user namespace of its own, where every file shows
# as another user's), they are the same bytes; every member has owner 0 and
# that time, in tar's name order, under one top-level directory; gzip records
# no time. Unpacked, each holds exactly what the install rules install, with
# bin/kv-pack the portable one for its machine, and the licence and notices.
# SHA256SUMS beside them passes sha256sum -c and fails for a changed archive;
# the first run, given a minisign key, signs it, and the signature verifies
# with the public key and fails for a changed SHA256SUMS; the second, given
# none, leaves no signature. The first pair is left in OUT_DIR for
# tests/dist_pack_test.sh.
#
# usage: dist_test.sh SOURCE_DIR CMAKE BUILD_DIR OUT_DIR VERSION MACHINE=KV_PACK...
set -eu

src=$1 cmake=$2 build=$3 out=$4 version=$5
shift 5

. "$src/tests/lib.sh"
tmp=$scratch

epoch=1700000000
rm -rf "$out"
quietly "minisign -G" minisign -G -W -p "$tmp/release.pub" -s "$tmp/release.key"
(umask 022 && quietly "the first dist.sh" env SOURCE_DATE_EPOCH=$epoch \
  KV_DIST_SIGNING_KEY="$tmp/release.key" sh "$src/tools/dist.sh" "$cmake" "$build" "$out" "$version" "$@")
# Root's files are 0/0 without dist.sh's say; in a user namespace without
# mapped ids they are not. Where none can be made (a chroot), the owners are
# checked as the user running the test.
as_other_user=""
if unshare --user true 2>/dev/null; then
  as_other_user="unshare --user"
else
  echo "dist_test: no user namespace can be made here; the second dist.sh runs as $(id -un)"
fi
mkdir "$tmp/again"
echo "an earlier run's signature" >"$tmp/again/SHA256SUMS.minisig"
# shellcheck disable=SC2086
(umask 077 && quietly "the second dist.sh" $as_other_user env SOURCE_DATE_EPOCH=$epoch \
  DESTDIR="$tmp/destdir" TAR_OPTIONS=--blocking-factor=1 KV_DIST_SIGNING_KEY= \
  sh "$src/tools/dist.sh" "$cmake" "$build" "$tmp/again" "$version" "$@")

# What the install rules install, to hold each archive against.
quietly "cmake --install" "$cmake" --install "$build" --prefix "$tmp/installed"
(cd "$tmp/installed" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/installed.list"
for needed in bin/kv-pack lib/kv-bootstrap/kv-bootstrap lib/kv-bootstrap/kv-bootstrap-aarch64 \
  share/man/man1/kv-pack.1 share/man/man1/kv-bootstrap.1 share/doc/kv-bootstrap/README.md \
  share/doc/kv-bootstrap/docs/packaging.md share/doc/kv-bootstrap/examples/agent/install \
  share/doc/kv-bootstrap/LICENSE share/doc/kv-bootstrap/THIRD-PARTY.md \
  share/doc/kv-bootstrap/CHANGELOG.md share/doc/kv-bootstrap/copyright; do
  grep -qx "$needed" "$tmp/installed.list" || fail "the install rules do not install $needed"
done

for machine_pack in "$@"; do
  machine=${machine_pack%%=*}
  pack=${machine_pack#*=}
  name=kv-bootstrap-$version-linux-$machine
  archive=$out/$name.tar.gz
  [ -f "$archive" ] || fail "dist.sh made no $archive"
  cmp "$archive" "$tmp/again/$name.tar.gz" || fail "$name.tar.gz differs between two runs"

  # gzip's header: no file name flag, and no time.
  [ "$(od -An -tx1 -j3 -N5 "$archive" | tr -d ' \n')" = 0000000000 ] ||
    fail "$name.tar.gz's gzip header records a name or a time: $(od -An -tx1 -N10 "$archive")"

  # Owner, group and time of every member, then the order of the names: tar
  # puts each directory before what it holds, and sorts within it.
  tar -tzvf "$archive" --full-time >"$tmp/verbose.list"
  stamp=$(TZ=UTC0 date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
  awk -v stamp="$stamp" '$2 != "0/0" || $4 " " $5 != stamp { print; bad = 1 } END { exit bad }' \
    "$tmp/verbose.list" >"$tmp/bad.list" || fail "members without owner 0/0 or time $stamp:
$(cat "$tmp/bad.list")"
  grep -v '^-rw-r--r-- \|^-rwxr-xr-x \|^drwxr-xr-x ' "$tmp/verbose.list" >"$tmp/bad.list" &&
    fail "members with modes other than 644, 755 and directories 755:
$(cat "$tmp/bad.list")"
  tar -tzf "$archive" | sed 's|/$||' >"$tmp/names"
  tr / '\001' <"$tmp/names" | LC_ALL=C sort | tr '\001' / | cmp -s - "$tmp/names" ||
    fail "$name.tar.gz's members are not in name order: $(tr '\n' ' ' <"$tmp/names")"
  grep -v "^$name\(/\|\$\)" "$tmp/names" >"$tmp/bad.list" && fail "members outside $name/:
$(cat "$tmp/bad.list")"

  # The same tree as the install rules', file for file, but kv-pack.
  rm -rf "$tmp/unpacked"
  mkdir "$tmp/unpacked"
  tar -xzf "$archive" -C "$tmp/unpacked"
  tree=$tmp/unpacked/$name
  (cd "$tree" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/archived.list"
  diff "$tmp/installed.list" "$tmp/archived.list" >&2 ||
    fail "$name.tar.gz does not hold what the install rules install (above: - installed, + archived)"
  while read -r file; do
    [ -d "$tree/$file" ] || [ "$file" = bin/kv-pack ] || cmp "$tmp/installed/$file" "$tree/$file" ||
      fail "$name.tar.gz's $file is not the installed one"
  done <"$tmp/installed.list"
  cmp "$pack" "$tree/bin/kv-pack" || fail "$name.tar.gz's bin/kv-pack is not $pack"
  case $machine in
    x86_64) elf_machine="Advanced Micro Devices X86-64" ;;
    aarch64) elf_machine=AArch64 ;;
    *) fail "no ELF machine known for $machine" ;;
  esac
  readelf -h "$tree/bin/kv-pack" | grep -q "Machine: *$elf_machine\$" ||
    fail "$name.tar.gz's bin/kv-pack is not built for $machine: $(readelf -h "$tree/bin/kv-pack" | grep Machine)"
  echo "dist_test: $name.tar.gz: $(wc -c <"$archive") bytes, $(wc -l <"$tmp/names") members"
done
# The sums and their signature, checked as a vendor checks them.
(cd "$out" && sha256sum --quiet -c SHA256SUMS) >&2 || fail "sha256sum -c SHA256SUMS fails"
for machine_pack in "$@"; do
  echo "kv-bootstrap-$version-linux-${machine_pack%%=*}.tar.gz"
done >"$tmp/archives"
sed 's/^[0-9a-f]\{64\}  //' "$out/SHA256SUMS" | cmp -s - "$tmp/archives" ||
  fail "SHA256SUMS does not list the archives: $(cat "$out/SHA256SUMS")"
cmp -s "$out/SHA256SUMS" "$tmp/again/SHA256SUMS" || fail "SHA256SUMS differs between two runs"
[ ! -e "$tmp/again/SHA256SUMS.minisig" ] || fail "a run without a key left SHA256SUMS.minisig"
minisign -Vq -p "$tmp/release.pub" -m "$out/SHA256SUMS" >&2 || fail "SHA256SUMS.minisig does not verify"
mkdir "$tmp/tampered"
awk 'NR == 1 { $0 = (substr($0, 1, 1) == "0" ? "1" : "0") substr($0, 2) } { print }' \
  "$out/SHA256SUMS" >"$tmp/tampered/SHA256SUMS"
minisign -Vq -p "$tmp/release.pub" -m "$tmp/tampered/SHA256SUMS" -x "$out/SHA256SUMS.minisig" \
  2>/dev/null && fail "SHA256SUMS.minisig verifies a changed SHA256SUMS"
set -- "$out"/*.tar.gz
cp "$1" "$tmp/tampered/" && cp "$out/SHA256SUMS" "$tmp/tampered/"
printf 'x' >>"$tmp/tampered/${1##*/}"
(cd "$tmp/tampered" && sha256sum --quiet -c SHA256SUMS) >/dev/null 2>&1 &&
  fail "sha256sum -c SHA256SUMS passes a changed ${1##*/}"
echo "dist_test: ok"
