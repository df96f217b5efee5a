#!/bin/sh
# Runs PROGRAM with the dynamic loader and libraries of the unpacked root
# that MAKER (tools/debian13-libs-root.sh) prints, instead of the host's:
# a program built here then runs against that release's C library and
# libcurl, as on a machine of that release. Only PROGRAM itself: what it
# starts runs with the host's own.
#
# usage: with-root-libraries.sh MAKER PROGRAM [ARG...]
set -eu

root=$("$1")
shift
exec "$root/usr/lib64/ld-linux-x86-64.so.2" \
  --library-path "$root/usr/lib/x86_64-linux-gnu" "$@"
