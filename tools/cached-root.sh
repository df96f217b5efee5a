#!/bin/sh
# Keeps a root directory made once, for stub-root.sh and arm64-root.sh:
# prints ROOT when ROOT/.kv-root holds STAMP; otherwise, as root and one
# maker at a time, has MAKER make it afresh in ROOT.new, puts it in place and
# prints ROOT. A changed STAMP (a changed package list) makes it again.
# MAKER's output goes to ROOT.log, whose end is shown when it fails.
#
# usage: cached-root.sh ROOT STAMP WHAT MAKER [ARG...]   (MAKER is given ROOT.new last)
set -eu

root=$1 stamp=$2 what=$3
shift 3
name=$(basename "$1" .sh)

current() {
  [ -f "$root/.kv-root" ] && [ "$(cat "$root/.kv-root")" = "$stamp" ]
}

if current; then
  echo "$root"
  exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "$name: making $root needs root" >&2; exit 1; }
command -v debootstrap >/dev/null || {
  echo "$name: installing debootstrap" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
}

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
# Another run may have made it while this one waited for the lock.
if current; then
  echo "$root"
  exit 0
fi
echo "$name: making $what in $root (once)" >&2
rm -rf "$root.new" "$root"
log=$root.log
if ! "$@" "$root.new" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "$name: making $what failed; the whole log is in $log" >&2
  rm -rf "$root.new"
  exit 1
fi
echo "$stamp" >"$root.new/.kv-root"
mv "$root.new" "$root"
echo "$root"
