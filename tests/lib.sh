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
