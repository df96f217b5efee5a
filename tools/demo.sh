#!/bin/sh
# Packs the sample application with the sample install agent inside, runs the
# package as a user would (no network needed) and shows what it installed.
set -eu
cd "$(dirname "$0")/.."
demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"

(cd examples/agent && zip -q -X "../../$demo/InstallAgent.zip" install)
# kv-pack picks the shipped bootstrap, the one built for every glibc from 2.17 on.
build/kv-pack --bundle examples/hello \
  --agent "$demo/InstallAgent.zip" -o "$demo/hello-setup.run"
echo "Packed $demo/hello-setup.run ($(wc -c < "$demo/hello-setup.run") bytes):"
build/kv-pack --info "$demo/hello-setup.run" | sed 's/^/  /'

echo
echo "\$ $demo/hello-setup.run -mode silent -installdir $demo/installed"
status=0
"$demo/hello-setup.run" -mode silent -installdir "$demo/installed" || status=$?
echo "exit status: $status"

echo
echo "Installed files:"
(cd "$demo/installed" && find . -type f | sort | sed 's|^\./|  |')
echo
echo "\$ $demo/installed/bin/hello"
"$demo/installed/bin/hello"

# The same application packed for arm64 Linux, and run under qemu when it is
# installed, in an unpacked Debian 11 arm64 root; unzip and the agent's sh are
# this machine's own.
if command -v qemu-aarch64-static >/dev/null && [ -f build/stub-aarch64/kv-bootstrap ]; then
  build/kv-pack --arch aarch64 --bundle examples/hello \
    --agent "$demo/InstallAgent.zip" -o "$demo/hello-setup-arm64.run"
  echo
  echo "Packed $demo/hello-setup-arm64.run ($(wc -c < "$demo/hello-setup-arm64.run") bytes):"
  build/kv-pack --info "$demo/hello-setup-arm64.run" | sed 's/^/  /'
  root=$(tools/arm64-root.sh)
  echo
  echo "\$ qemu-aarch64-static -L $root $demo/hello-setup-arm64.run -mode silent -installdir $demo/installed-arm64"
  arm64_status=0
  qemu-aarch64-static -L "$root" "$demo/hello-setup-arm64.run" -mode silent \
    -installdir "$demo/installed-arm64" || arm64_status=$?
  echo "exit status: $arm64_status"
  echo
  echo "Installed files:"
  (cd "$demo/installed-arm64" && find . -type f | sort | sed 's|^\./|  |')
  [ "$status" -ne 0 ] || status=$arm64_status
else
  echo
  echo "(No arm64 run: it needs qemu-aarch64-static, from Debian's qemu-user-static, and build/stub-aarch64.)"
fi
exit "$status"
