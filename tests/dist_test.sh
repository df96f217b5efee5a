#!/bin/sh
# The release archives, made by tools/dist.sh as "make dist" makes them: made
# twice with the same SOURCE_DATE_EPOCH, under different umasks and the second
# time with settings for cmake --install and tar in the environment, they are
# the same bytes; every member has owner 0 and that time, in tar's name order,
# under one top-level directory; gzip records no time. Unpacked, each holds
# exactly what the install rules install, with bin/kv-pack the portable one
# for its machine. The first pair is left in OUT_DIR for tests/dist_pack_test.sh.
#
# usage: dist_test.sh SOURCE_DIR CMAKE BUILD_DIR OUT_DIR VERSION MACHINE=KV_PACK...
set -eu

src=$1 cmake=$2 build=$3 out=$4 version=$5
shift 5

tmp=$(mktemp -d "${TMPDIR:-/tmp}/dist-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "dist_test: $*" >&2
  exit 1
}

# Runs a set-up command, showing its output only when it fails.
quietly() {
  what=$1
  shift
  "$@" >"$tmp/step.log" 2>&1 || { cat "$tmp/step.log" >&2; fail "$what failed"; }
}

epoch=1700000000
rm -rf "$out"
(umask 022 && quietly "the first dist.sh" env SOURCE_DATE_EPOCH=$epoch \
  sh "$src/tools/dist.sh" "$cmake" "$build" "$out" "$version" "$@")
(umask 077 && quietly "the second dist.sh" env SOURCE_DATE_EPOCH=$epoch DESTDIR="$tmp/destdir" \
  TAR_OPTIONS=--blocking-factor=1 sh "$src/tools/dist.sh" "$cmake" "$build" "$tmp/again" "$version" "$@")

# What the install rules install, to hold each archive against.
quietly "cmake --install" "$cmake" --install "$build" --prefix "$tmp/installed"
(cd "$tmp/installed" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/installed.list"
for needed in bin/kv-pack lib/kv-bootstrap/kv-bootstrap lib/kv-bootstrap/kv-bootstrap-aarch64 \
  share/man/man1/kv-pack.1 share/man/man1/kv-bootstrap.1 share/doc/kv-bootstrap/README.md \
  share/doc/kv-bootstrap/docs/packaging.md share/doc/kv-bootstrap/examples/agent/install; do
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
echo "dist_test: ok"
