#!/bin/sh
# tools/install-deps.sh with stand-ins first on PATH: a dpkg-query that lists
# the packages installed, and an apt-get and a sudo that record how they were
# run. A plain user is told in one line what is missing, or nothing; root
# installs what is missing, and nothing more.
set -u
. "$(dirname "$0")/../tests/lib.sh"
tools=$(cd "$(dirname "$0")" && pwd)

mkdir "$scratch/bin" "$scratch/root-bin"
printf '#!/bin/sh\ncat "%s"\n' "$scratch/dpkg-list" >"$scratch/bin/dpkg-query"
mkdir -m 0777 "$scratch/shared"
ran=$scratch/shared/ran
for tool in apt-get sudo; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$ran" >"$scratch/bin/$tool"
done
printf '#!/bin/sh\necho 0\n' >"$scratch/root-bin/id"
chmod 0755 "$scratch/bin/"* "$scratch/root-bin/id"
path=$scratch/bin:$PATH

# The list has every needed package installed but those named in $1, which
# are absent or, for uidmap, there but not installed; libcurl3-gnutls is only
# a name another package provides, as in Debian 13, and a package that is not
# installed provides it too.
needed=$(sed -n '/^packages="/,/"$/p' "$tools/install-deps.sh" | tr -d '"' | sed 's/^packages=//')
installed_but() {
  for p in $needed; do
    case " $1 " in
      *" $p "*) [ "$p" != uidmap ] || echo "rc |uidmap|" ;;
      *) case $p in
           libcurl3-gnutls) echo "ii |libcurl3t64-gnutls|libcurl3-gnutls (= 8.14.1-2), libcurl3t64" ;;
           *) echo "ii |$p|" ;;
         esac ;;
    esac
  done >"$scratch/dpkg-list"
  echo "un |libcurl4|libcurl3-gnutls" >>"$scratch/dpkg-list"
}

# make is missing although cmake, whose name holds it, is installed.
installed_but "make uidmap"
expect "a plain user, two missing" 1 "" \
  "install-deps: Debian packages are missing; install them, then run make again: sudo apt-get install --no-install-recommends make uidmap" \
  as_plain_user env PATH="$path" sh "$tools/install-deps.sh"
installed_but ""
expect "a plain user, nothing missing" 0 "" "" as_plain_user env PATH="$path" sh "$tools/install-deps.sh"
expect "root, nothing missing" 0 "" "" env PATH="$scratch/root-bin:$path" sh "$tools/install-deps.sh"
[ ! -e "$ran" ] || fail "apt-get or sudo ran: $(cat "$ran")"
installed_but "make uidmap"
expect "root, two missing" 0 "install-deps: installing make uidmap" "" \
  env PATH="$scratch/root-bin:$path" sh "$tools/install-deps.sh"
[ "$(cat "$ran")" = "apt-get update -qq
apt-get install -y -qq --no-install-recommends make uidmap" ] || fail "root ran: $(cat "$ran")"
echo "install-deps: all passed"
