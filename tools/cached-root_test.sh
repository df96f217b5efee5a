#!/bin/sh
# tools/cached-root.sh keeps a plain user's roots in its cache directory,
# makes each once per stamp, leaves nothing of a maker that failed, and lets
# one maker at a time work: a run that comes while another makes the root
# waits for it and takes its root.
set -u
. "$(dirname "$0")/../tests/lib.sh"
tools=$(cd "$(dirname "$0")" && pwd)

mkdir "$scratch/bin" "$scratch/lock-bin"
cat >"$scratch/bin/maker" <<'SCRIPT'
#!/bin/sh
# usage: maker LOG ok|fail|hold NEW
# With hold, it tells it has started on the FIFO LOG.started and waits for a
# line on LOG.go before it finishes the root.
echo made >>"$1"
mkdir "$3" && echo "inside $(wc -l <"$1")" >"$3/file"
case $2 in
  fail) echo "no root today" >&2; exit 1 ;;
  hold) timeout 60 sh -c 'echo started >"$0.started" && read -r _ <"$0.go"' "$1" ;;
esac
SCRIPT
chmod 0755 "$scratch/bin/maker"
mkdir -m 0777 "$scratch/home" "$scratch/xdg" "$scratch/shared"
log=$scratch/shared/log
cached() {
  as_plain_user env "$@" sh "$tools/cached-root.sh" demo "stamp 1" "a demo root" "$scratch/bin/maker" "$log" ok
}
root=$scratch/xdg/kv-bootstrap/demo
expect "made in XDG_CACHE_HOME" 0 "$root" "maker: making a demo root in $root (once)" \
  cached XDG_CACHE_HOME="$scratch/xdg" HOME="$scratch/home"
[ "$(cat "$log")" = made ] && [ "$(cat "$root/file")" = "inside 1" ] || fail "the root was not made in XDG_CACHE_HOME"
expect "kept" 0 "$root" "" cached XDG_CACHE_HOME="$scratch/xdg" HOME="$scratch/home"
[ "$(cat "$log")" = made ] || fail "a current root was made again"
root=$scratch/home/.cache/kv-bootstrap/demo
expect "made in ~/.cache" 0 "$root" "maker: making a demo root in $root (once)" \
  cached -u XDG_CACHE_HOME HOME="$scratch/home"
root=$scratch/shared/elsewhere
expect "a failed maker" 1 "" "maker: making a demo root in $root (once)
no root today
maker: making a demo root failed; the whole log is in $root.log" \
  as_plain_user sh "$tools/cached-root.sh" "$root" "stamp 1" "a demo root" "$scratch/bin/maker" "$log" fail
[ ! -e "$root" ] && [ ! -e "$root.new" ] || fail "a failed maker left its root"

# Two runs for one missing root: the second comes while the first's maker
# works, and tells, through a stand-in flock, whether the lock is taken when
# it asks for it; then it waits for it.
# Each step waits for the other side's line on a FIFO, a minute at most, and
# a run that fails leaves its scratch directory only when both runs ended.
trap 'wait; rm -rf "$scratch"' EXIT
root=$scratch/raced log=$scratch/raced-log
mkfifo "$log.started" "$log.go" "$scratch/lock"
cat >"$scratch/lock-bin/flock" <<SCRIPT
#!/bin/sh
taken=free
"$(command -v flock)" -n "\$@" || taken=taken
timeout 60 sh -c 'echo "\$1" >"\$0"' "$scratch/lock" "\$taken"
exec "$(command -v flock)" "\$@"
SCRIPT
chmod 0755 "$scratch/lock-bin/flock"
race() {  # race PATH HOW
  env PATH="$1" sh "$tools/cached-root.sh" "$root" "stamp 1" "a demo root" "$scratch/bin/maker" "$log" "$2"
}
race "$PATH" hold >"$scratch/first.out" 2>"$scratch/first.err" &
first=$!
timeout 60 sh -c 'read -r _ <"$0"' "$log.started" || fail "the first maker did not start"
race "$scratch/lock-bin:$PATH" ok >"$scratch/second.out" 2>"$scratch/second.err" &
second=$!
lock=$(timeout 60 sh -c 'read -r taken <"$0" && echo "$taken"' "$scratch/lock")
[ -n "$lock" ] || fail "the second run did not ask for the lock"
timeout 60 sh -c 'echo go >"$0"' "$log.go" || fail "the first maker did not wait to finish"
[ "$lock" = taken ] || fail "the second run found the lock free"
wait "$first" || fail "the first run failed: $(cat "$scratch/first.err")"
wait "$second" || fail "the second run failed: $(cat "$scratch/second.err")"
[ "$(cat "$scratch/first.out")" = "$root" ] && [ "$(cat "$scratch/second.out")" = "$root" ] ||
  fail "the runs printed $(cat "$scratch/first.out") and $(cat "$scratch/second.out"), not $root"
[ "$(cat "$log")" = made ] && [ "$(cat "$root/file")" = "inside 1" ] && [ ! -s "$scratch/second.err" ] ||
  fail "the root was made again, or removed: $(cat "$scratch/second.err")"
echo "cached-root: all passed"
