#!/bin/sh
# Builds the shipped bootstrap for ARCH (x86-64 or aarch64) in the Debian 11
# root (tools/stub-root.sh), so that it starts on every Linux of that
# architecture with glibc 2.17 or later, and leaves it as OUT/kv-bootstrap;
# with --target kv-pack, the portable kv-pack, as OUT/kv-pack. aarch64 is
# cross-compiled with the root's cross toolchain. The sources are seen
# read-only; OUT keeps the build tree, so later runs only rebuild what
# changed.
#
# usage: build-stub.sh SOURCE_DIR OUT_DIR ARCH [--target NAME] [-DNAME=VALUE ...]
set -eu

src=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
arch=$3
shift 3
target=kv-bootstrap
if [ "${1-}" = --target ]; then
  target=$2
  shift 2
fi
case "$target" in
  kv-bootstrap | kv-pack) ;;
  *) echo "build-stub: $target is not built in the root (kv-bootstrap or kv-pack)" >&2; exit 2 ;;
esac
case "$arch" in
  x86-64) ;;
  aarch64) set -- -DCMAKE_TOOLCHAIN_FILE=/kv/src/cmake/aarch64-linux-gnu.cmake "$@" ;;
  *) echo "build-stub: no shipped bootstrap for $arch (x86-64 or aarch64)" >&2; exit 2 ;;
esac
root=$("$src/tools/stub-root.sh")

# The cache options are handed to the inner shell as its own arguments, so
# that no value is ever parsed as shell text (the target is one of two names).
inner='cmake -S /kv/src -B /kv/out/build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_INNER_STUB_BUILD=ON \
  -DBUILD_TESTING=OFF "$@" >/kv/out/configure.log 2>&1 || { cat /kv/out/configure.log >&2; exit 1; }
cmake --build /kv/out/build --target '$target
# A private mount namespace, for a plain user in a user namespace where it is
# root: the binds vanish with it, and concurrent builds do not see each
# other's. The host's /proc and /dev are bound, since a fresh proc needs a pid
# namespace of its own and the root holds no device nodes.
"$src/tools/private-mounts.sh" sh -eu -c '
  root=$1 src=$2 out=$3 inner=$4
  shift 4
  mkdir -p "$root/kv/src" "$root/kv/out"
  mount --bind "$src" "$root/kv/src"
  mount -o remount,bind,ro "$root/kv/src"
  mount --bind "$out" "$root/kv/out"
  mount --rbind /proc "$root/proc"
  mount --rbind /dev "$root/dev"
  exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C \
    sh -eu -c "$inner" sh "$@"
' sh "$root" "$src" "$out" "$inner" "$@"
cp "$out/build/$target" "$out/$target.new"
mv "$out/$target.new" "$out/$target"
