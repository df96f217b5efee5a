#!/bin/sh
# tools/debian-root.sh with a stand-in mmdebstrap first on PATH, which
# records what it was handed and writes a small root as a tar stream.
#
# usage: debian_root_test.sh SOURCE_DIR
set -u
tools=$1/tools
scratch=$(mktemp -d /var/tmp/debian-root-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $1" >&2
  failures=$((failures + 1))
}

mkdir "$scratch/bin" "$scratch/tree"
echo inside >"$scratch/tree/file"
cat >"$scratch/bin/mmdebstrap" <<SCRIPT
#!/bin/sh
# apt runs "cat >&N" through /bin/sh with mmdebstrap's lowest free descriptor:
# every one of 3 to 9 it inherits pushes that number up.
for fd in 3 4 5 6 7 8 9; do [ -e /proc/self/fd/\$fd ] && echo "inherited \$fd"; done >"$scratch/fds"
printf '%s\n' "\$@" >"$scratch/args"
tar -C "$scratch/tree" -c .
SCRIPT
chmod 0755 "$scratch/bin/mmdebstrap"

# Descriptors the caller holds, as ctest and cached-root.sh's lock do.
env PATH="$scratch/bin:$PATH" sh "$tools/debian-root.sh" "$scratch/root" trixie --variant=extract \
  3</dev/null 9</dev/null >"$scratch/out" 2>&1 || fail "debian-root.sh failed: $(cat "$scratch/out")"
[ ! -s "$scratch/fds" ] || fail "mmdebstrap was handed descriptors: $(cat "$scratch/fds")"
[ "$(cat "$scratch/root/file" 2>/dev/null)" = inside ] || fail "the tar stream was not unpacked in the root"
[ "$(tail -n 2 "$scratch/args" | tr '\n' ' ')" = "trixie - " ] ||
  fail "mmdebstrap was not asked for the release given: $(cat "$scratch/args")"
grep -q -- "--variant=extract" "$scratch/args" || fail "the options given were not passed on"
grep -q "/ trixie-updates \\\\| trixie-security /d" "$scratch/args" ||
  fail "the release's updates are not left out: $(cat "$scratch/args")"

[ "$failures" -eq 0 ] || exit 1
echo "debian-root: all passed"
