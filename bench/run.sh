#!/usr/bin/env bash
# Measures the bootstrap and kv-pack side by side with what they are compared
# with, and prints one table: each time is the median of several runs, each
# ratio is ours divided by the other's.
#
#   bench/run.sh [BUILD_DIR]        (make bench; BUILD_DIR defaults to build)
#
# Environment:
#   BENCH_RUNS        timed runs of each command in the large cases (default 7)
#   BENCH_SMALL_RUNS  timed runs in the cached-agent case, a few ms each (default 31)
#   TMPDIR            the scratch directory is made under it (default /var/tmp)
#   BENCH_FIGURES     which figures to measure (default "1 2 3 4 5 6"; 1, 4 and 6
#                     need the 1 GiB inputs and take most of the time)
#   BENCH_BASELINE_BOOTSTRAP
#                     a bootstrap to hold figure 6's runs without a terminal to,
#                     such as the shipped one of the last release or of main
#                     (build/stub/kv-bootstrap of that tree); unset: those rows
#                     are left out
#   BENCH_TIMES_DIR   when set, every run's time (microseconds) and peak memory
#                     (KiB) is copied there, one file per command
#
# Every command is run once untimed first, then the compared commands take
# turns run by run (the first of each round rotating), so that the page cache
# and the load of the machine weigh on all of them alike. The page cache is
# not dropped: all inputs stay cached (the machine needs about 4 GiB of free
# memory for that), so the figures are warm-cache figures: inputs come from
# memory, and what a command writes goes to the page cache, from where the
# sync before the next run (untimed) takes it to disk.
#
# Only loopback is used: the install agents are served by an nginx of our own
# on 127.0.0.1. Packages are unpacked in /tmp, where the bootstrap always
# works; makeself is given the same directory through TMPDIR.
set -eu
export LC_ALL=C

root_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root_dir/build}"
runs="${BENCH_RUNS:-7}"
small_runs="${BENCH_SMALL_RUNS:-31}"
# The bootstrap vendors ship: built in the Debian 11 root when the build made one.
bootstrap_bin="$build_dir/stub/kv-bootstrap"
[ -x "$bootstrap_bin" ] || bootstrap_bin="$build_dir/kv-bootstrap"
figures=" ${BENCH_FIGURES:-1 2 3 4 5 6} "
want() { case "$figures" in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
kvpack_bin="$build_dir/kv-pack"
nginx_bin=/usr/sbin/nginx
time_bin=/usr/bin/time

say() { printf 'bench: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

case "$runs$small_runs" in
  *[!0-9]*) die "BENCH_RUNS and BENCH_SMALL_RUNS must be whole numbers" ;;
esac
if [ "$runs" -lt 5 ] || [ "$small_runs" -lt 5 ]; then
  die "at least 5 runs are needed for a median"
fi
if [ ! -x "$bootstrap_bin" ] || [ ! -x "$kvpack_bin" ]; then
  die "$bootstrap_bin or $kvpack_bin is missing: build first (make build)"
fi

# --- Debian packages ---------------------------------------------------------

missing=()
have_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
for package in makeself nginx-light time zip unzip curl binutils coreutils bsdutils; do
  have_package "$package" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || die "missing Debian packages: ${missing[*]} (run as root, or install them)"
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- Scratch directory, disk space, clean-up ---------------------------------

scratch_base="${TMPDIR:-/var/tmp}"
unpack_dir=/tmp
gib=$((1024 * 1024))                      # in KiB, as df reports
scratch_need=$((7 * gib))                 # data, bundle zip, packages, kv-pack outputs
unpack_need=$((3 * gib / 2))              # one unpacked 1 GiB package at a time

free_kib() { df -Pk "$1" | awk 'NR == 2 { print $4 }'; }
mount_of() { df -P "$1" | awk 'NR == 2 { print $6 }'; }
scratch_free="$(free_kib "$scratch_base")"
unpack_free="$(free_kib "$unpack_dir")"
if [ "$(mount_of "$scratch_base")" = "$(mount_of "$unpack_dir")" ]; then
  scratch_need=$((scratch_need + unpack_need))
  unpack_need=0
fi
[ "$scratch_free" -ge "$scratch_need" ] ||
  die "$scratch_base has $((scratch_free / gib)) GiB free, the benchmarks need $((scratch_need / gib)) GiB (set TMPDIR)"
[ "$unpack_free" -ge "$unpack_need" ] ||
  die "$unpack_dir has $((unpack_free / gib)) GiB free, the benchmarks unpack 1 GiB packages there"

scratch="$(mktemp -d "$scratch_base/kv-bench.XXXXXX")"
# Not named /tmp/kv...: those are the bootstrap's own work directories.
floor_tmp="$unpack_dir/bench-floor.$$"
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch" "$floor_tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

say "scratch directory $scratch; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
times="$scratch/times"
logs="$scratch/logs"
mkdir "$times" "$logs"

# --- Timing ------------------------------------------------------------------

# Runs one command; its time in microseconds goes to $times/NAME. A function
# NAME_prepare, when there is one, runs first, untimed. So does a sync: the
# gigabyte that the previous command wrote is then on disk, and its write-back
# does not fall into whichever command happens to come next.
#
# The processor time (user and system) of everything the command ran goes to
# $times/NAME.cpu: the shell's own count of the children it waited for, read
# before and after, in this shell (a subshell would count its own).
time_one() {
  local name="$1" log="$logs/$1.log" t0 t1
  if declare -F "${name}_prepare" >/dev/null; then "${name}_prepare"; fi
  sync
  times >"$scratch/cpu.before"
  t0="$EPOCHREALTIME"
  if ! "$name" >/dev/null 2>"$log"; then
    cat "$log" >&2
    die "$name failed"
  fi
  t1="$EPOCHREALTIME"
  times >"$scratch/cpu.after"
  echo "$((${t1/./} - ${t0/./}))" >>"$times/$name"
  cat "$scratch/cpu.before" "$scratch/cpu.after" | awk '
    function us(t,  p) { split(t, p, "m"); return (p[1] * 60 + substr(p[2], 1, length(p[2]) - 1)) * 1000000 }
    NR == 2 { before = us($1) + us($2) }
    NR == 4 { printf "%d\n", us($1) + us($2) - before }' >>"$times/$name.cpu"
}

# compare RUNS NAME...: a warm-up run of each, then RUNS rounds in turn.
compare() {
  local count="$1" round i n name
  shift
  local names=("$@")
  n="${#names[@]}"
  say "timing ${names[*]}: warm-up, then $count rounds"
  for name in "${names[@]}"; do
    time_one "$name"
    rm -f "$times/$name" "$times/$name.cpu" "$times/$name.own"
  done
  for ((round = 0; round < count; round++)); do
    for ((i = 0; i < n; i++)); do
      time_one "${names[(round + i) % n]}"
    done
  done
}

median_of() {
  sort -n "$1" | awk '{ v[NR] = $1 }
    END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
median_us() { median_of "$times/$1"; }
median_cpu_us() { median_of "$times/$1.cpu"; }
# What the bootstrap itself had of the processor, as its agent read it (figure 6).
median_own_us() { median_of "$times/$1.own"; }

# --- Table -------------------------------------------------------------------

table="$scratch/table"
: >"$table"
row_count=0
# row FIGURE OURS OUR_VALUE OTHER OTHER_VALUE UNIT GOAL
#   FIGURE: "N title", or "N" for a further row of figure N (shown blank).
#   UNIT: ms (values in microseconds), KiB or bytes.
#   GOAL: "<=X" or "<X" on the ratio, "same" (within 1%) or "-" (for information).
row() {
  row_count=$((row_count + 1))
  awk -v seq="$row_count" -v fig="$1" -v ours="$2" -v a="$3" -v other="$4" -v b="$5" -v unit="$6" -v goal="$7" '
    function show(v) {
      if (unit == "ms") return sprintf("%.1f ms", v / 1000)
      if (unit == "KiB") return sprintf("%d KiB", v)
      return sprintf("%d B", v)
    }
    BEGIN {
      ratio = a / b
      met = "-"; text = "-"
      if (goal ~ /^<=/) { limit = substr(goal, 3) + 0; met = ratio <= limit ? "yes" : "NO"
                          text = "ratio <= " substr(goal, 3) }
      else if (goal ~ /^</) { limit = substr(goal, 2) + 0; met = ratio < limit ? "yes" : "NO"
                              text = "ratio < " substr(goal, 2) }
      else if (goal == "same") { met = (ratio >= 0.99 && ratio <= 1.01) ? "yes" : "NO"
                                 text = "same, within 1%" }
      label = fig ~ /^[0-9]+$/ ? "" : fig
      printf "%d\t%d\t%s\t%s\t%s\t%s\t%s\t%.3f\t%s\t%s\n", fig + 0, seq, label, ours, show(a), other, show(b), ratio, text, met
    }' >>"$table"
}

print_table() {
  awk -F '\t' '
    { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
    END {
      split("#\tours\tmedian\tcompared with\tmedian\tratio\tgoal\tmet", head, "\t")
      for (i = 1; i <= 8; i++) if (length(head[i]) > w[i]) w[i] = length(head[i])
      line = ""
      for (i = 1; i <= 8; i++) line = line sprintf("%-" w[i] "s  ", head[i])
      sub(/ +$/, "", line); print line
      line = ""
      for (i = 1; i <= 8; i++) { d = sprintf("%" w[i] "s", ""); gsub(/ /, "-", d); line = line d "  " }
      sub(/ +$/, "", line); print line
      for (r = 1; r <= NR; r++) {
        line = ""
        for (i = 1; i <= 8; i++) {
          fmt = (i == 3 || i == 5 || i == 6) ? "%" w[i] "s  " : "%-" w[i] "s  "
          line = line sprintf(fmt, cell[r, i])
        }
        sub(/ +$/, "", line); print line
      }
    }' "$table"
}

# --- Inputs ------------------------------------------------------------------

mib() { head -c "$(($1 * 1024 * 1024))" /dev/urandom >"$2"; }

stub="$scratch/kv-bootstrap"   # as installed and shipped: stripped
strip -o "$stub" "$bootstrap_bin"

noop="$scratch/noop.sh"
printf 'exit 0\n' >"$noop"
chmod +x "$noop"

if want 1 || want 4 || want 6; then
  say "making the inputs: 1 GiB bundle, agents of 16 and 256 MiB"
  data="$scratch/data"                     # the 1 GiB bundle as a directory
  mkdir "$data"
  for i in 1 2 3 4 5 6 7 8; do mib 128 "$data/part$i.bin"; done
  msdir="$scratch/msdir"                   # the same bundle zipped, beside a no-op script
  mkdir "$msdir"
  (cd "$data" && zip -q -0 -r "$msdir/bundle.zip" .)
  cp "$noop" "$msdir/noop.sh"
  bundle_zip="$msdir/bundle.zip"
fi

small="$scratch/small"                     # a small bundle: 1 MiB
mkdir "$small"
mib 1 "$small/app.bin"
(cd "$small" && zip -q -0 -r "$scratch/small-bundle.zip" .)

# Install agents: the script above and 0, 16 or 256 MiB of random bytes.
docroot="$scratch/www"
mkdir "$docroot"
make_agent() {  # make_agent NAME MIB
  local dir="$scratch/agent-$1"
  mkdir "$dir"
  cp "$root_dir/bench/agent-install" "$dir/install"
  [ "$2" -eq 0 ] || mib "$2" "$dir/payload.bin"
  (cd "$dir" && zip -q -0 -r "$docroot/$1.zip" .)
  rm -rf "$dir"
}
make_agent noop 0
make_agent agent16 16
make_agent agent256 256

# --- nginx on loopback ---------------------------------------------------------

nginx_prefix="$scratch/nginx"
mkdir -p "$nginx_prefix/tmp"
start_nginx() {
  local port
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    {
      echo "daemon off;"
      echo "worker_processes 1;"
      # As root nginx would serve as "nobody", who cannot read the scratch directory.
      [ "$(id -u)" -ne 0 ] || echo "user root;"
      echo "pid \"$nginx_prefix/nginx.pid\";"
      echo "error_log \"$nginx_prefix/error.log\" info;"
      echo "events { worker_connections 64; }"
      echo "http {"
      echo "  log_format requests '\$request_method \$request_uri \$status';"
      echo "  access_log \"$nginx_prefix/access.log\" requests;"
      for kind in client_body proxy fastcgi uwsgi scgi; do
        echo "  ${kind}_temp_path \"$nginx_prefix/tmp/$kind\";"
      done
      echo "  default_type application/octet-stream;"
      echo "  server {"
      echo "    listen 127.0.0.1:$port;"
      echo "    root \"$docroot\";"
      echo "  }"
      echo "}"
    } >"$nginx_prefix/nginx.conf"
    rm -f "$nginx_prefix/nginx.pid"
    "$nginx_bin" -p "$nginx_prefix/" -c "$nginx_prefix/nginx.conf" -e "$nginx_prefix/error.log" \
      >"$nginx_prefix/nginx.out" 2>&1 &
    nginx_pid=$!
    # nginx writes its pid file once it listens.
    for _ in $(seq 100); do
      [ "$(cat "$nginx_prefix/nginx.pid" 2>/dev/null)" != "$nginx_pid" ] || break
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.1
    done
    if [ "$(cat "$nginx_prefix/nginx.pid" 2>/dev/null)" = "$nginx_pid" ]; then
      base_url="http://127.0.0.1:$port"
      return 0
    fi
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
    grep -q "Address already in use" "$nginx_prefix/error.log" 2>/dev/null || break
  done
  cat "$nginx_prefix/error.log" >&2 2>/dev/null || true
  die "nginx did not start"
}
start_nginx
say "nginx serves $docroot at $base_url"

# ============================================================================
# 5. What goes in front of the archive
# ============================================================================

if want 5; then
say "5: sizes of the stubs"
stub_bytes="$(stat -c %s "$stub")"
"$kvpack_bin" --bootstrap "$stub" --bundle "$scratch/small-bundle.zip" --agent-url "$base_url" \
  -o "$scratch/size.run"
first_header="$(zipinfo -v "$scratch/size.run" | awk '/offset of local header from start of archive/ { print $NF; exit }')"
[ "$first_header" = "$stub_bytes" ] ||
  die "kv-pack put $first_header bytes before the archive, the stripped bootstrap has $stub_bytes"

mkdir "$scratch/ms-one"
printf 'hello\n' >"$scratch/ms-one/file.txt"
makeself --nocomp --quiet "$scratch/ms-one" "$scratch/ms-one.run" "one file" true >/dev/null
ms_total="$(stat -c %s "$scratch/ms-one.run")"
ms_payload="$(sed -n 's/^filesizes="\([0-9]*\)"$/\1/p' "$scratch/ms-one.run" | head -n 1)"
ms_header=$((ms_total - ms_payload))
ms_version="$(makeself --version 2>/dev/null | sed -n 's/.*version \([0-9.]*\).*/\1/p' | head -n 1)"

row "5 bytes before the archive" "stripped bootstrap" "$first_header" \
  "makeself ${ms_version:-?} header, one-file payload" "$ms_header" bytes "<1"
if [ -f /usr/bin/unzipsfx ]; then
  row "5" "" "$first_header" "unzipsfx (/usr/bin/unzipsfx)" "$(stat -c %s /usr/bin/unzipsfx)" bytes "-"
fi

fi

# ============================================================================
# 2. Cached agent current: one HEAD request
# ============================================================================

# No agent inside: it comes from the cache, kept current with our nginx (kv-pack
# refuses the build's placeholder URL for a package without an agent).
pkg_small="$scratch/small.run"
"$kvpack_bin" --bootstrap "$stub" --bundle "$scratch/small-bundle.zip" --agent-url "$base_url" \
  -o "$pkg_small"
if want 2; then
say "2: run with a current cached agent"
home2="$scratch/home-cached"
mkdir "$home2"
noop_url="$base_url/noop.zip"

kv_cached() {
  HOME="$home2" KV_INTERNAL_INSTALL_AGENT_URL="$noop_url" "$pkg_small"
}
floor_cached() {
  curl -sI "$noop_url" &&
    unzip -qq "$pkg_small" -d "$floor_tmp" &&
    sh "$noop" -installbundle "$floor_tmp/bundle.zip" &&
    rm -rf "$floor_tmp"
}
kv_cached >/dev/null 2>"$logs/prime.log" || { cat "$logs/prime.log" >&2; die "priming the cache failed"; }
gets_before="$(grep -c '^GET /noop.zip ' "$nginx_prefix/access.log" || true)"
compare "$small_runs" kv_cached floor_cached
gets_after="$(grep -c '^GET /noop.zip ' "$nginx_prefix/access.log" || true)"
[ "$gets_before" = "$gets_after" ] || die "runs with a current cache downloaded the agent again"

row "2 run, cached agent current" "kv package, 1 MiB bundle" "$(median_us kv_cached)" \
  "curl -sI + unzip -qq + sh no-op + rm -rf" "$(median_us floor_cached)" ms "<=1.15"

fi

# ============================================================================
# 3. Agent downloaded: 256 MiB; peak memory for 16 and 256 MiB
# ============================================================================

if want 3; then
say "3: run that downloads the agent"
home3="$scratch/home-download"
floor_cache="$scratch/floor-cache"
agent256_url="$base_url/agent256.zip"
export KV_BENCH_PACKAGE="$pkg_small"

kv_download_prepare() { rm -rf "$home3"; mkdir "$home3"; }
kv_download() {
  HOME="$home3" KV_INTERNAL_INSTALL_AGENT_URL="$agent256_url" "$pkg_small"
}
floor_download_prepare() { rm -rf "$floor_cache"; }
# The downloaded archive is removed as well: the bootstrap downloads it into
# its work directory, which it removes.
floor_download() {
  mkdir "$floor_tmp" &&
    curl -s -o "$floor_tmp/agent.zip" "$agent256_url" &&
    unzip -qq -o "$floor_tmp/agent.zip" -d "$floor_cache" &&
    sh "$floor_cache/install" -installbundle "$floor_tmp/bundle.zip" &&
    rm -rf "$floor_tmp"
}
compare "$runs" kv_download floor_download
[ -n "$(find "$home3/.korvex" -name install -print -quit 2>/dev/null)" ] ||
  die "the bootstrap did not unpack the downloaded agent"

row "3 run, agent downloaded" "kv package, 256 MiB agent" "$(median_us kv_download)" \
  "curl -s -o + unzip -qq + sh no-op + rm" "$(median_us floor_download)" ms "<=1.05"

# Peak resident memory. The bootstrap's own VmHWM is read from /proc by the
# install agent it starts (bench/agent-install), after the download. curl
# starts no child, so the maximum resident size that wait4() reports for it
# (GNU time's %M) is its own VmHWM at exit.
say "3: peak resident memory, $runs runs each"
hwm_kv() {  # hwm_kv URL FILE
  rm -rf "$home3"
  mkdir "$home3"
  HOME="$home3" KV_INTERNAL_INSTALL_AGENT_URL="$1" KV_BENCH_HWM_FILE="$2" "$pkg_small" \
    >/dev/null 2>"$logs/hwm.log" || { cat "$logs/hwm.log" >&2; die "bootstrap run failed"; }
}
hwm_curl() {  # hwm_curl URL FILE
  "$time_bin" -a -o "$2" -f %M curl -s -o "$scratch/curl-download" "$1" ||
    die "curl $1 failed"
  rm -f "$scratch/curl-download"
}
for size in 16 256; do
  url="$base_url/agent$size.zip"
  hwm_kv "$url" "$scratch/hwm-warmup"
  for ((round = 0; round < runs; round++)); do
    hwm_kv "$url" "$times/hwm_kv_$size"
    hwm_curl "$url" "$times/hwm_curl_$size"
  done
  [ "$(wc -l <"$times/hwm_kv_$size")" -eq "$runs" ] || die "the agent did not report the bootstrap's VmHWM"
done
hwm_kv16="$(median_us hwm_kv_16)"
hwm_kv256="$(median_us hwm_kv_256)"
row "3 peak memory (VmHWM)" "bootstrap, 16 MiB agent" "$hwm_kv16" \
  "curl, same file" "$(median_us hwm_curl_16)" KiB "<=1"
row "3" "bootstrap, 256 MiB agent" "$hwm_kv256" \
  "curl, same file" "$(median_us hwm_curl_256)" KiB "<=1"
row "3" "bootstrap, 256 MiB agent" "$hwm_kv256" \
  "bootstrap, 16 MiB agent" "$hwm_kv16" KiB "same"
rm -rf "$home3" "$floor_cache"
fi

# ============================================================================
# 1. Agent inside, 1 GiB stored bundle
# ============================================================================

if want 1; then
say "1: run of a 1 GiB package with the agent inside"
pkg_big="$scratch/big.run"
"$kvpack_bin" --bootstrap "$stub" --bundle "$bundle_zip" --agent "$docroot/noop.zip" -o "$pkg_big"
ms_big="$scratch/big-makeself.run"
makeself --nocomp --quiet "$msdir" "$ms_big" "bench bundle" ./noop.sh >/dev/null
ms_big_nosum="$scratch/big-makeself-nosum.run"
makeself --nocomp --nomd5 --nocrc --quiet "$msdir" "$ms_big_nosum" "bench bundle" ./noop.sh >/dev/null
home1="$scratch/home-inside"
mkdir "$home1"

kv_inside() { HOME="$home1" "$pkg_big"; }
floor_inside() { unzip -qq "$pkg_big" -d "$floor_tmp" && rm -rf "$floor_tmp"; }
makeself_run() { TMPDIR="$unpack_dir" "$ms_big" --quiet --nox11; }
makeself_nosum_run() { TMPDIR="$unpack_dir" "$ms_big_nosum" --quiet --nox11; }
compare "$runs" kv_inside floor_inside makeself_run makeself_nosum_run

row "1 run, agent inside" "kv package, 1 GiB bundle" "$(median_us kv_inside)" \
  "unzip -qq + rm -rf of the same package" "$(median_us floor_inside)" ms "<=1.05"
row "1" "" "$(median_us kv_inside)" \
  "makeself --nocomp (checksums: default)" "$(median_us makeself_run)" ms "<1"
row "1" "" "$(median_us kv_inside)" \
  "makeself --nocomp --nomd5 --nocrc" "$(median_us makeself_nosum_run)" ms "-"
rm -f "$pkg_big" "$ms_big" "$ms_big_nosum"
rm -rf "$home1"
fi

# ============================================================================
# 4. kv-pack of a 1 GiB bundle
# ============================================================================

if want 4; then
say "4: packing a 1 GiB bundle"
out="$scratch/out"
mkdir "$out"
work="$scratch/floor-work"
clear_out() { rm -rf "$work"; rm -f "$out"/*; }

# a) the bundle as a directory: kv-pack zips it (stored), then stores that zip.
pack_dir_prepare() { clear_out; }
pack_dir() {
  "$kvpack_bin" --bootstrap "$stub" --bundle "$data" --level 0 --agent-url "$base_url" -o "$out/kv.run"
}
floor_pack_dir_prepare() { clear_out; }
floor_pack_dir() {
  mkdir "$work" &&
    (cd "$data" && zip -q -0 -r "$work/bundle.zip" .) &&
    (cd "$work" && zip -q -0 payload.zip bundle.zip) &&
    cat "$stub" "$work/payload.zip" >"$out/floor.run" &&
    zip -q -A "$out/floor.run" &&
    rm -rf "$work"
}
makeself_pack_dir_prepare() { clear_out; }
makeself_pack_dir() { makeself --nocomp --quiet "$data" "$out/makeself.run" "bench bundle" true; }
compare "$runs" pack_dir floor_pack_dir makeself_pack_dir

row "4 pack, bundle directory" "kv-pack --level 0 DIR" "$(median_us pack_dir)" \
  "zip -0 -r DIR, zip -0, cat, zip -A" "$(median_us floor_pack_dir)" ms "<=1.10"
row "4" "" "$(median_us pack_dir)" \
  "makeself --nocomp DIR" "$(median_us makeself_pack_dir)" ms "<1"

# b) the bundle as a ready zip, carried unchanged.
pack_zip_prepare() { clear_out; }
pack_zip() { "$kvpack_bin" --bootstrap "$stub" --bundle "$bundle_zip" --agent-url "$base_url" -o "$out/kv.run"; }
floor_pack_zip_prepare() { clear_out; }
floor_pack_zip() {
  mkdir "$work" &&
    (cd "$msdir" && zip -q -0 "$work/payload.zip" bundle.zip) &&
    cat "$stub" "$work/payload.zip" >"$out/floor.run" &&
    zip -q -A "$out/floor.run" &&
    rm -rf "$work"
}
makeself_pack_zip_prepare() { clear_out; }
makeself_pack_zip() { makeself --nocomp --quiet "$msdir" "$out/makeself.run" "bench bundle" ./noop.sh; }
compare "$runs" pack_zip floor_pack_zip makeself_pack_zip
clear_out

row "4 pack, bundle zip" "kv-pack BUNDLE.zip" "$(median_us pack_zip)" \
  "zip -0 BUNDLE.zip, cat, zip -A" "$(median_us floor_pack_zip)" ms "<=1.10"
row "4" "" "$(median_us pack_zip)" \
  "makeself --nocomp (dir with BUNDLE.zip)" "$(median_us makeself_pack_zip)" ms "<1"
fi

# ============================================================================
# 6. Progress on a terminal: what it costs, and what a run without one costs
# ============================================================================

if want 6; then
say "6: runs with standard error on a terminal and without"
# Every run goes through script(1), which gives it a terminal and reads what
# it writes there; the run without a terminal has only its standard error
# sent elsewhere, so that both pay for the same wrapper.
on_terminal() { SHELL=/bin/sh TERM=xterm script -q -e -c "exec $1" /dev/null; }
off_terminal() { SHELL=/bin/sh TERM=xterm script -q -e -c "exec $1 2>/dev/null" /dev/null; }
baseline="${BENCH_BASELINE_BOOTSTRAP:-}"
if [ -n "$baseline" ]; then
  [ -x "$baseline" ] || die "BENCH_BASELINE_BOOTSTRAP $baseline is not a program"
  base_stub="$scratch/baseline-bootstrap"
  strip -o "$base_stub" "$baseline"
fi
pkg6="$scratch/big6.run"
"$kvpack_bin" --bootstrap "$stub" --bundle "$bundle_zip" --agent "$docroot/noop.zip" -o "$pkg6"
home6="$scratch/home-terminal"
mkdir "$home6"
# Each run's agent reports what its bootstrap had of the processor
# (bench/agent-install), into $times/NAME.own: run NAME PACKAGE COMMAND...
run6() {
  KV_BENCH_CPU_FILE="$times/$1.own" KV_BENCH_PACKAGE="$2" HOME="$home6" "${@:3}"
}
kv_inside_terminal() { run6 kv_inside_terminal "$pkg6" on_terminal "$pkg6"; }
kv_inside_plain() { run6 kv_inside_plain "$pkg6" off_terminal "$pkg6"; }
names=(kv_inside_terminal kv_inside_plain)
if [ -n "$baseline" ]; then
  base6="$scratch/big6-baseline.run"
  "$kvpack_bin" --bootstrap "$base_stub" --bundle "$bundle_zip" --agent "$docroot/noop.zip" -o "$base6"
  baseline_inside_plain() { run6 baseline_inside_plain "$base6" off_terminal "$base6"; }
  names+=(baseline_inside_plain)
fi
compare "$runs" "${names[@]}"
row "6 run on a terminal" "kv package, 1 GiB bundle, terminal" "$(median_us kv_inside_terminal)" \
  "the same, standard error not a terminal" "$(median_us kv_inside_plain)" ms "<=1.02"
row "6" "the same, processor time" "$(median_cpu_us kv_inside_terminal)" \
  "the same, processor time" "$(median_cpu_us kv_inside_plain)" ms "<=1.02"
row "6" "the bootstrap's own processor time" "$(median_own_us kv_inside_terminal)" \
  "the bootstrap's own processor time" "$(median_own_us kv_inside_plain)" ms "-"

# Downloads of the 256 MiB agent, each into an empty cache.
agent256_url="$base_url/agent256.zip"
kv_download_terminal_prepare() { rm -rf "$home6"; mkdir "$home6"; }
export KV_INTERNAL_INSTALL_AGENT_URL="$agent256_url"
kv_download_terminal() { run6 kv_download_terminal "$pkg_small" on_terminal "$pkg_small"; }
kv_download_plain_prepare() { kv_download_terminal_prepare; }
kv_download_plain() { run6 kv_download_plain "$pkg_small" off_terminal "$pkg_small"; }
names=(kv_download_terminal kv_download_plain)
if [ -n "$baseline" ]; then
  base_small="$scratch/small-baseline.run"
  "$kvpack_bin" --bootstrap "$base_stub" --bundle "$scratch/small-bundle.zip" --agent-url "$base_url" \
    -o "$base_small"
  baseline_download_plain_prepare() { kv_download_terminal_prepare; }
  baseline_download_plain() { run6 baseline_download_plain "$base_small" off_terminal "$base_small"; }
  names+=(baseline_download_plain)
fi
compare "$runs" "${names[@]}"
row "6" "kv package, 256 MiB agent downloaded, terminal" "$(median_us kv_download_terminal)" \
  "the same, standard error not a terminal" "$(median_us kv_download_plain)" ms "<=1.02"
row "6" "the same, processor time" "$(median_cpu_us kv_download_terminal)" \
  "the same, processor time" "$(median_cpu_us kv_download_plain)" ms "<=1.02"
row "6" "the bootstrap's own processor time" "$(median_own_us kv_download_terminal)" \
  "the bootstrap's own processor time" "$(median_own_us kv_download_plain)" ms "-"
if [ -n "$baseline" ]; then
  row "6 run without a terminal" "kv package, 1 GiB bundle" "$(median_us kv_inside_plain)" \
    "the same with the baseline bootstrap" "$(median_us baseline_inside_plain)" ms "<=1"
  row "6" "the same, processor time" "$(median_cpu_us kv_inside_plain)" \
    "the same, processor time" "$(median_cpu_us baseline_inside_plain)" ms "<=1"
  row "6" "the bootstrap's own processor time" "$(median_own_us kv_inside_plain)" \
    "the bootstrap's own processor time" "$(median_own_us baseline_inside_plain)" ms "-"
  row "6" "kv package, 256 MiB agent downloaded" "$(median_us kv_download_plain)" \
    "the same with the baseline bootstrap" "$(median_us baseline_download_plain)" ms "<=1"
  row "6" "the same, processor time" "$(median_cpu_us kv_download_plain)" \
    "the same, processor time" "$(median_cpu_us baseline_download_plain)" ms "<=1"
  row "6" "the bootstrap's own processor time" "$(median_own_us kv_download_plain)" \
    "the bootstrap's own processor time" "$(median_own_us baseline_download_plain)" ms "-"
fi
unset KV_INTERNAL_INSTALL_AGENT_URL
rm -rf "$home6"
rm -f "$pkg6" "${base6:-}"
fi

# ============================================================================

# Figures in their numbered order, each one's rows in the order they were made.
sort -t "$(printf '\t')" -k1,1n -k2,2n "$table" | cut -f 3- >"$table.sorted"
mv "$table.sorted" "$table"

if [ -n "${BENCH_TIMES_DIR:-}" ]; then
  mkdir -p "$BENCH_TIMES_DIR"
  cp "$times"/* "$BENCH_TIMES_DIR"/
fi

echo
echo "Medians of $runs runs ($small_runs for the cached-agent run); ratio = ours / compared with."
print_table
echo
say "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
