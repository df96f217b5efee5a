#!/bin/sh
# A shipped bootstrap starts on every x86-64 or aarch64 Linux with glibc 2.17
# or later: at load time it may need only libraries of the C library's own
# family, no glibc symbol version above 2.17, and no C++ runtime or libcurl
# versions. It must need libpthread.so.0, so that a libcurl loaded later does
# not bring libpthread into a running program (before glibc 2.25 that can
# corrupt the heap). With --tool, the same holds for a program that loads no
# libcurl (the portable kv-pack), except that libpthread is not required.
#
# usage: stub_needs_test.sh [--tool] STUB
set -eu
tool=0
if [ "$1" = --tool ]; then
  tool=1
  shift
fi
stub=$1

. "$(dirname "$0")/lib.sh"

[ -f "$stub" ] || fail "no stub at $stub"
needed=$(readelf -dW "$stub" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || fail "no NEEDED entries read from $stub"
for library in $needed; do
  case "$library" in
    libc.so.6 | libdl.so.2 | libpthread.so.0 | libm.so.6 | librt.so.1) ;;
    ld-linux-x86-64.so.2 | ld-linux-aarch64.so.1) ;;
    *) fail "needs $library at load time" ;;
  esac
done
case " $(echo $needed) " in
  *" libpthread.so.0 "*) ;;
  *) [ "$tool" = 1 ] || fail "does not need libpthread.so.0 at load time" ;;
esac

versions=$(readelf -VW "$stub" | sed -n 's/.*Name: \([A-Za-z_]*_[0-9.]*\).*/\1/p' | sort -u)
[ -n "$versions" ] || fail "no symbol versions read from $stub"
for version in $versions; do
  case "$version" in
    GLIBC_2.*) ;;
    *) fail "needs symbol version $version" ;;
  esac
done
highest=$(printf '%s\n' $versions | sed 's/^GLIBC_//' | sort -t. -k1,1n -k2,2n -k3,3n | tail -n 1)
minor=$(echo "$highest" | cut -d. -f2)
[ "$(echo "$highest" | cut -d. -f1)" = 2 ] && [ "$minor" -le 17 ] ||
  fail "needs GLIBC_$highest; at most GLIBC_2.17 is allowed"

echo "stub_needs_test: ok: needs $(echo $needed), highest GLIBC_$highest"
