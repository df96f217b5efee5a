#!/bin/sh
# Keeps a root directory made once, for stub-root.sh and arm64-root.sh:
# prints ROOT when ROOT/.kv-root holds STAMP; otherwise, one maker at a time,
# has MAKER make it afresh in ROOT.new, puts it in place and prints ROOT. A
# changed STAMP (a changed package list) makes it again. MAKER's output goes
# to ROOT.log, whose end is shown when it fails.
#
# ROOT may be a bare name: the roots' own cache directory holds it, which is
# /var/cache/kv-bootstrap for root and $XDG_CACHE_HOME/kv-bootstrap (else
# ~/.cache/kv-bootstrap) for any other user. No root is needed to make one
# (tools/debian-root.sh).
#
# usage: cached-root.sh ROOT STAMP WHAT MAKER [ARG...]   (MAKER is given ROOT.new last)
set -eu

root=$1 stamp=$2 what=$3
shift 3
name=$(basename "$1" .sh)
case "$root" in
  */*) ;;
  *)
    if [ "$(id -u)" -eq 0 ]; then
      root=/var/cache/kv-bootstrap/$root
    else
      root=${XDG_CACHE_HOME:-$HOME/.cache}/kv-bootstrap/$root
    fi
    ;;
esac

current() {
  [ -f "$root/.kv-root" ] && [ "$(cat "$root/.kv-root")" = "$stamp" ]
}

# A root unpacked by a plain user has directories without the owner's write
# permission (/proc, /sys), which rm alone cannot empty.
remove() {
  if [ -e "$1" ]; then
    chmod -R u+w "$1" 2>/dev/null || true
    rm -rf "$1"
  fi
}

if current; then
  echo "$root"
  exit 0
fi
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
# Another run may have made it while this one waited for the lock.
if current; then
  echo "$root"
  exit 0
fi
echo "$name: making $what in $root (once)" >&2
remove "$root.new"
remove "$root"
log=$root.log
if ! "$@" "$root.new" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "$name: making $what failed; the whole log is in $log" >&2
  remove "$root.new"
  exit 1
fi
echo "$stamp" >"$root.new/.kv-root"
mv "$root.new" "$root"
echo "$root"
