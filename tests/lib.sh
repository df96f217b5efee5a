# What every shell test begins with; a test sources it first:
#   . "$(dirname "$0")/lib.sh"          (from tests/; ../tests/lib.sh from tools/)
# It names the test after its file and gives it
#   $scratch   a directory of its own, removed when the test exits, which
#              every user may enter (a test may act as a plain user)
#   fail MESSAGE...
#              tells what failed, with the test's name, and exits 1
#   expect NAME STATUS STDOUT STDERR COMMAND...
#              runs COMMAND; fails unless it exits with STATUS and prints
#              exactly STDOUT and STDERR
#   quietly WHAT COMMAND...
#              runs a set-up command, showing its output only when it fails
#   as_plain_user COMMAND...
#              runs COMMAND as this plain user, or as nobody for root
#   starts_with_stub STUB PACKAGE
#              true when the package starts with the stub, byte for byte but
#              for the two size slots of the record, which kv-pack fills in
#              its copy (package-length and unpacked-size, 21 bytes each
#              after their "key=")
test_name=$(basename "$0" .sh)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/$(echo "$test_name" | tr _ -).XXXXXX")
chmod 0755 "$scratch"
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "$test_name: $*" >&2
  exit 1
}

expect() {
  name=$1 status=$2 printed=$3 told=$4
  shift 4
  got=0
  "$@" >"$scratch/out" 2>"$scratch/err" || got=$?
  [ "$got" = "$status" ] || fail "$name: status $got, not $status; told: $(cat "$scratch/err")"
  [ "$(cat "$scratch/out")" = "$printed" ] || fail "$name: printed
$(cat "$scratch/out")
not
$printed"
  [ "$(cat "$scratch/err")" = "$told" ] || fail "$name: told
$(cat "$scratch/err")
not
$told"
}

quietly() {
  what=$1
  shift
  "$@" >"$scratch/step.log" 2>&1 || { cat "$scratch/step.log" >&2; fail "$what failed"; }
}

as_plain_user() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
  else
    "$@"
  fi
}

starts_with_stub() {
  length_at=$(grep -obUa "package-length=" "$1" | head -n 1 | cut -d: -f1)
  unpacked_at=$(grep -obUa "unpacked-size=" "$1" | head -n 1 | cut -d: -f1)
  [ -n "$length_at" ] && [ -n "$unpacked_at" ] || return 1
  # cmp -l counts from 1 and fails on a shorter package with "EOF".
  cmp -l -n "$(wc -c <"$1")" "$1" "$2" 2>&1 |
    awk -v a=$((length_at + 16)) -v b=$((unpacked_at + 15)) '
      $1 !~ /^[0-9]+$/ || (($1 < a || $1 >= a + 21) && ($1 < b || $1 >= b + 21)) { other = 1 }
      END { exit other }'
}
