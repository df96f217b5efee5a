#!/bin/sh
# Installs a build tree into a fresh prefix and uses it as a vendor would:
# kv-pack from bin/ finds the installed bootstrap by itself, the package it
# makes installs through its own agent, and the man pages are in place and
# format without a warning. When the build makes the aarch64 stub, kv-pack
# finds the installed one for --arch aarch64 too.
#
# With CPACK, the same checks run on the Debian package instead: cpack makes
# it from the same install rules, and dpkg -i installs it into a throwaway
# dpkg root, under usr/.
#
# usage: install_test.sh CMAKE BUILD_DIR EXPECT_STRIPPED(0|1) EXPECT_AARCH64(0|1) [CPACK]
set -eu

cmake=$1
build=$2
expect_stripped=$3
expect_aarch64=$4
cpack=${5-}

. "$(dirname "$0")/lib.sh"
prefix=$scratch/prefix

if [ -z "$cpack" ]; then
  quietly "cmake --install" "$cmake" --install "$build" --prefix "$prefix"
else
  quietly cpack "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/cpack"
  set -- "$scratch"/cpack/kv-bootstrap_*_amd64.deb
  [ $# -eq 1 ] && [ -f "$1" ] || fail "cpack made no kv-bootstrap_<version>_amd64.deb"
  deb=$1
  version=${deb##*/kv-bootstrap_}
  version=${version%_amd64.deb}
  depends=$(dpkg-deb -f "$deb" Depends)
  for needed in zip unzip libc6; do
    case ", $depends," in
      *", $needed,"* | *", $needed ("*) ;;
      *) fail "the package does not depend on $needed: $depends" ;;
    esac
  done
  # The root holds no other package, so every dependency is missing there.
  root=$scratch/root
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : >"$root/var/lib/dpkg/status"
  # dpkg wants ldconfig and start-stop-daemon on PATH, which a plain user's may lack.
  quietly "dpkg -i" env PATH="$PATH:/usr/sbin:/sbin" dpkg --root="$root" --force-depends --force-not-root \
    --log=/dev/null -i "$deb"
  [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status} ${Version}' kv-bootstrap)" = \
    "install ok installed $version" ] || fail "dpkg does not list kv-bootstrap $version as installed"
  prefix=$root/usr
fi

stubs="lib/kv-bootstrap/kv-bootstrap lib/kv-bootstrap/kv-bootstrap-keyed"
[ "$expect_aarch64" = 1 ] &&
  stubs="$stubs lib/kv-bootstrap/kv-bootstrap-aarch64 lib/kv-bootstrap/kv-bootstrap-keyed-aarch64"
for program in bin/kv-pack $stubs; do
  [ -f "$prefix/$program" ] && [ -x "$prefix/$program" ] || fail "$program not installed as a program"
done
for page in kv-bootstrap.1 kv-pack.1; do
  [ -f "$prefix/share/man/man1/$page" ] || fail "share/man/man1/$page not installed"
done

if [ "$expect_stripped" = 1 ]; then
  for stub in $stubs; do
    readelf -S "$prefix/$stub" | grep -q '\.symtab' && fail "the installed $stub still has a symbol table"
  done
fi
"$prefix/bin/kv-pack" --info "$prefix/lib/kv-bootstrap/kv-bootstrap" >"$scratch/stub.info" ||
  fail "the installed bootstrap is not a stub with its record"
if [ -n "$cpack" ]; then
  grep -qx "version  *$version" "$scratch/stub.info" ||
    fail "the package's version $version is not the stub's: $(grep '^version' "$scratch/stub.info")"
fi

# A bundle directory and an agent, zipped by zip, whose install script records
# what it was given and what it found.
mkdir -p "$scratch/bundle/app" "$scratch/agent" "$scratch/home" "$scratch/elsewhere"
echo "hello from the bundle" >"$scratch/bundle/app/hello.txt"
cat >"$scratch/agent/install" <<'EOF'
{
  for argument in "$@"; do echo "arg=$argument"; done
  echo "file=$(unzip -p "$2" app/hello.txt)"
  echo "pwd=$(pwd)"
} >"$INSTALL_TEST_MARKER"
EOF
(cd "$scratch/agent" && zip -q -X ../InstallAgent.zip install)

# No --bootstrap: the installed kv-pack must find the installed bootstrap. It
# is started from an unrelated directory, so only its own location can lead it there.
(cd "$scratch/elsewhere" &&
  "$prefix/bin/kv-pack" --bundle "$scratch/bundle" --agent "$scratch/InstallAgent.zip" -o "$scratch/setup.run") ||
  fail "the installed kv-pack could not make a package without --bootstrap"
starts_with_stub "$prefix/lib/kv-bootstrap/kv-bootstrap" "$scratch/setup.run" ||
  fail "the package does not start with the installed bootstrap"
if [ "$expect_aarch64" = 1 ]; then
  arm=$prefix/lib/kv-bootstrap/kv-bootstrap-aarch64
  "$prefix/bin/kv-pack" --info "$arm" >"$scratch/arm.info" || fail "the installed aarch64 bootstrap is not a stub"
  grep -qx "machine  *aarch64" "$scratch/arm.info" && grep -qx "platform  *tuxarm64le" "$scratch/arm.info" ||
    fail "the installed aarch64 bootstrap is not one: $(cat "$scratch/arm.info")"
  (cd "$scratch/elsewhere" && "$prefix/bin/kv-pack" --arch aarch64 --bundle "$scratch/bundle" \
    --agent "$scratch/InstallAgent.zip" -o "$scratch/setup-arm64.run") ||
    fail "the installed kv-pack could not make an arm64 package without --bootstrap"
  starts_with_stub "$arm" "$scratch/setup-arm64.run" ||
    fail "the arm64 package does not start with the installed aarch64 bootstrap"
fi
# A package that downloads its agent from the vendor's server, checked with
# the vendor's key: the keyed stub, with both in its record.
(cd "$scratch/elsewhere" && minisign -G -W -p vendor.pub -s vendor.key >/dev/null) ||
  fail "minisign could not make a key pair"
# minisign's comment gives the id without leading zeros; kv-pack all 16 digits.
key_id=$(sed -n '1s/.* 0*//p' "$scratch/elsewhere/vendor.pub")
for arch in x86-64 aarch64; do
  [ "$arch" = aarch64 ] && [ "$expect_aarch64" != 1 ] && continue
  "$prefix/bin/kv-pack" --arch "$arch" --bundle "$scratch/bundle" -o "$scratch/keyed.run" \
    --agent-url https://agents.example.org/vendor/ --agent-key "$scratch/elsewhere/vendor.pub" ||
    fail "the installed kv-pack could not make a keyed $arch package"
  "$prefix/bin/kv-pack" --info "$scratch/keyed.run" >"$scratch/keyed.info" || fail "kv-pack --info refuses the keyed package"
  for line in "agent base URL  *https://agents.example.org/vendor" "signing key  *0*$key_id" \
    "signature check  *ed25519" "machine  *$arch"; do
    grep -qx "$line" "$scratch/keyed.info" || fail "the keyed $arch package lacks \"$line\": $(cat "$scratch/keyed.info")"
  done
done
"$prefix/bin/kv-pack" --bundle "$scratch/bundle" -o "$scratch/nowhere.run" 2>"$scratch/nowhere.err" &&
  fail "the installed kv-pack made a package that can never get its agent"
grep -q "never resolves" "$scratch/nowhere.err" || fail "kv-pack refused for another reason: $(cat "$scratch/nowhere.err")"

"$prefix/bin/kv-pack" --info "$scratch/setup.run" >"$scratch/setup.info" ||
  fail "kv-pack --info finds fault with the package it made"
grep -qx "agent  *InstallAgent.zip, in the package" "$scratch/setup.info" ||
  fail "kv-pack --info does not see the agent inside: $(cat "$scratch/setup.info")"

# The agent travels inside, so the run needs no network; the URL points at a
# loopback port all the same, so that a fault here can never reach further.
status=0
(cd "$scratch/elsewhere" &&
  env HOME="$scratch/home" INSTALL_TEST_MARKER="$scratch/marker" \
    KV_INTERNAL_INSTALL_AGENT_URL=http://127.0.0.1:9/agent \
    "$scratch/setup.run" -mode silent "two words") >"$scratch/run.out" 2>"$scratch/run.err" || status=$?
[ "$status" -eq 0 ] || { cat "$scratch/run.err" >&2; fail "the package exited with $status"; }
[ ! -s "$scratch/run.err" ] || { cat "$scratch/run.err" >&2; fail "the package wrote to standard error"; }
[ -f "$scratch/marker" ] || fail "the install agent did not run"

bundle=$(sed -n 2p "$scratch/marker" | sed 's/^arg=//')
case "$bundle" in
  /tmp/kv??????/bundle.zip) ;;
  *) fail "unexpected bundle path: $bundle" ;;
esac
[ ! -e "$bundle" ] || fail "the work directory was left behind: ${bundle%/bundle.zip}"
expected=$(printf '%s\n' "arg=-installbundle" "arg=$bundle" "arg=-mode" "arg=silent" \
  "arg=two words" "file=hello from the bundle" "pwd=$scratch/elsewhere")
[ "$(cat "$scratch/marker")" = "$expected" ] ||
  fail "the agent recorded:
$(cat "$scratch/marker")
expected:
$expected"
[ ! -e "$scratch/home/.korvex" ] || fail "a package with its agent inside touched the agent cache"

for page in kv-bootstrap kv-pack; do
  file=$prefix/share/man/man1/$page.1
  warnings=$(groff -man -z -wall "$file" 2>&1) || fail "groff failed on $page.1"
  [ -z "$warnings" ] || fail "groff warns on $page.1:
$warnings"
  # Found by name under the installed prefix, as a user's man would find it.
  MANWIDTH=80 man -M "$prefix/share/man" "$page" >"$scratch/$page.txt" 2>"$scratch/$page.err" ||
    { cat "$scratch/$page.err" >&2; fail "man cannot show $page"; }
  # groff 1.23 fills a NAME line that wraps out to the margin, so any run
  # of blanks may stand before the dash.
  grep -q '^NAME' "$scratch/$page.txt" && grep -q "^ *$page  *- " "$scratch/$page.txt" ||
    fail "man shows no NAME section for $page"
done

echo "install_test: ok"
