#!/bin/sh
# tools/debian-root.sh with a stand-in mmdebstrap first on PATH, which
# records what it was handed and writes a small root as a tar stream, or with
# STANDIN_FAILS set only the start of one, and exits 1.
set -u
. "$(dirname "$0")/../tests/lib.sh"
tools=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$scratch/bin" "$scratch/tree/dev"
echo inside >"$scratch/tree/file"
echo "not a device" >"$scratch/tree/dev/console"
head -c 20000 /dev/zero >"$scratch/tree/large"
cat >"$scratch/bin/mmdebstrap" <<SCRIPT
#!/bin/sh
# apt runs "cat >&N" through /bin/sh with mmdebstrap's lowest free descriptor:
# every one of 3 to 9 it inherits pushes that number up.
for fd in 3 4 5 6 7 8 9; do [ -e /proc/self/fd/\$fd ] && echo "inherited \$fd"; done >"$scratch/fds"
printf '%s\n' "\$@" >"$scratch/args"
[ -z "\${STANDIN_FAILS-}" ] || { tar -C "$scratch/tree" -c . | head -c 10240; exit 1; }
tar -C "$scratch/tree" -c .
SCRIPT
chmod 0755 "$scratch/bin/mmdebstrap"
PATH=$scratch/bin:$PATH
export PATH

# Descriptors the caller holds, as ctest and cached-root.sh's lock do.
sh "$tools/debian-root.sh" "$scratch/root" trixie --variant=extract "--aptopt=Acquire::Retries 3" \
  3</dev/null 9</dev/null >"$scratch/out" 2>&1 || fail "debian-root.sh failed: $(cat "$scratch/out")"
[ ! -s "$scratch/fds" ] || fail "mmdebstrap was handed descriptors: $(cat "$scratch/fds")"
[ "$(cat "$scratch/root/file" 2>/dev/null)" = inside ] || fail "the tar stream was not unpacked in the root"
[ -d "$scratch/root/dev" ] && [ ! -e "$scratch/root/dev/console" ] || fail "the root's /dev was not left empty"
[ "$(tail -n 2 "$scratch/args" | tr '\n' ' ')" = "trixie - " ] ||
  fail "mmdebstrap was not asked for the release given: $(cat "$scratch/args")"
mode=unshare
[ "$(id -u)" -ne 0 ] || mode=root
grep -qx -- "--mode=$mode" "$scratch/args" || fail "mmdebstrap was not run in $mode mode: $(cat "$scratch/args")"
grep -qx -- "--variant=extract" "$scratch/args" && grep -qx -- "--aptopt=Acquire::Retries 3" "$scratch/args" ||
  fail "the options given were not passed on, each whole: $(cat "$scratch/args")"
grep -q "/ trixie-updates \\\\| trixie-security /d" "$scratch/args" ||
  fail "the release's updates are not left out: $(cat "$scratch/args")"

# An mmdebstrap that fails in the middle of its stream: told as such, whatever
# tar makes of the rest, and a root kept by cached-root.sh is not stamped.
STANDIN_FAILS=1 sh "$tools/debian-root.sh" "$scratch/broken" trixie >"$scratch/out" 2>&1
status=$?
[ "$status" = 1 ] && [ "$(tail -n 1 "$scratch/out")" = "mmdebstrap failed (1)" ] ||
  fail "a failed mmdebstrap: status $status, told: $(cat "$scratch/out")"
[ ! -e "$scratch/broken.mmdebstrap-status" ] || fail "the failed mmdebstrap's status was left"
root=$scratch/arm64
env STANDIN_FAILS=1 KV_ARM64_ROOT="$root" sh "$tools/arm64-root.sh" >"$scratch/out" 2>&1
status=$?
[ "$status" = 1 ] && [ "$(tail -n 1 "$scratch/out")" = \
  "arm64-root: making an unpacked Debian 11 arm64 root failed; the whole log is in $root.log" ] ||
  fail "a root whose mmdebstrap failed: status $status, told: $(cat "$scratch/out")"
grep -qx "mmdebstrap failed (1)" "$root.log" || fail "the log does not tell mmdebstrap failed: $(cat "$root.log")"
[ ! -e "$root" ] && [ ! -e "$root.new" ] || fail "a root whose mmdebstrap failed was kept"
echo "debian-root: all passed"
