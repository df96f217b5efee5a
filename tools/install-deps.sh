#!/bin/sh
# Installs the Debian packages the build, the tests, the demo and make deb need, when any is missing.
# qemu-user-static runs the aarch64 bootstrap in the tests and the demo, started directly: it needs
# no binfmt registration. mmdebstrap makes the Debian 11 roots, without root too: a plain user's
# through the subordinate ids that uidmap's newuidmap and newgidmap map.
# tinyproxy-bin is the proxy the download tests go through: the program alone, without the package
# that would start it as a system service. squid is the proxy that asks for credentials (Basic and
# Digest, with the basic_ncsa_auth and digest_file_auth helpers it brings): Debian has no package of
# the program alone, so it is installed with a policy-rc.d that lets no service start, and its
# service is disabled afterwards; the tests start squids of their own. nftables and iproute2 give a
# test's own network namespace a firewall that drops packets. musl and busybox-static make the musl system a package
# is run on in a test, as BusyBox-based systems have it.
# Every name exists in Debian 12 and 13 alike and carries no version: libclang-rt-dev, like clang,
# follows the release's default compiler, so the fuzzers' runtime always matches clang.
#
# Only root installs. A plain user is told the one command that installs what is missing, and
# nothing is changed.
set -eu

packages="cmake ninja-build g++ make libcurl4-openssl-dev libcurl3-gnutls zlib1g-dev libgtest-dev zip unzip
  nginx-light python3 clang libclang-rt-dev clang-tidy man-db groff-base procps mmdebstrap uidmap
  libsodium-dev minisign dpkg-dev file qemu-user-static openssl ca-certificates tinyproxy-bin
  nftables iproute2 musl busybox-static squid"

# What is installed, by each package's own name and by every name it provides:
# a package the release renamed (Debian 13's libcurl3t64-gnutls for
# libcurl3-gnutls) still answers to the old name, as apt-get takes it, while
# dpkg-query finds no package of that name.
installed=$(dpkg-query -W -f='${db:Status-Abbrev}|${Package}|${Provides}\n' 2>/dev/null |
  awk -F'|' '$1 ~ /^ii/ {
    print $2
    n = split($3, provided, ", ")
    for (i = 1; i <= n; i++) { sub(/ .*/, "", provided[i]); print provided[i] }
  }')
missing=""
for p in $packages; do
  printf '%s\n' "$installed" | grep -qx "$p" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: Debian packages are missing; install them, then run make again: sudo apt-get install --no-install-recommends$missing" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Packages whose installation would start a system service (squid) start nothing: invoke-rc.d and
# deb-systemd-invoke ask policy-rc.d first, and 101 forbids. A policy-rc.d already there (as in
# containers) is left as it is.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  own_policy=$policy
  trap 'rm -f "$own_policy"' EXIT
  printf '#!/bin/sh\n# Left by kv-bootstrap'"'"'s install-deps.sh while it installs.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
fi
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
# Nor at the next boot: squid's package enables its service. Only when this script installed it.
case " $missing " in
  *" squid "*)
    # systemctl disables the SysV script too, with or without a running systemd.
    if command -v systemctl >/dev/null; then
      systemctl disable --quiet squid.service 2>/dev/null || true
    elif command -v update-rc.d >/dev/null; then
      update-rc.d squid disable >/dev/null 2>&1 || true
    fi
    ;;
esac
