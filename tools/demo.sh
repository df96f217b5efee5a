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
exit "$status"
