#!/bin/sh
# Runs every libFuzzer target built in BUILD_DIR (default build-fuzz) for a
# bounded number of executions or time, whichever ends first, and prints how
# many executions each made. Starts each from a scratch copy of its corpus in
# fuzz/corpus/, so that what a run finds stays out of the committed corpus.
#
#   FUZZ_RUNS     executions per target (default 1000000; -1: no limit)
#   FUZZ_SECONDS  seconds per target at most (default 600)
#   FUZZ_TARGETS  targets to run (default: all)
#
# A crashing input is saved as BUILD_DIR/artifacts/<target>-crash-*; replay it
# with BUILD_DIR/fuzz/<target> FILE, or with the <target>_replay test program of a
# normal build, and then add it to the corpus.
set -eu

src_dir=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "${1:-build-fuzz}" && pwd)
runs=${FUZZ_RUNS:-1000000}
seconds=${FUZZ_SECONDS:-600}
targets=${FUZZ_TARGETS:-"header_callback_fuzz quote_fuzz validate_string_fuzz minisig_fuzz elf_image_fuzz"}

mkdir -p "$build_dir/artifacts" "$build_dir/logs"
summary=""
failed=0
for target in $targets; do
  program="$build_dir/fuzz/$target"
  if [ ! -x "$program" ]; then
    echo "fuzz: $program is not built (make fuzz builds it)" >&2
    exit 2
  fi
  scratch="$build_dir/scratch/$target"
  rm -rf "$scratch"
  mkdir -p "$scratch"
  cp "$src_dir/corpus/$target"/* "$scratch/"

  # Header lines of any length: allow inputs well past libFuzzer's default 4 KiB.
  max_len=4096
  [ "$target" = header_callback_fuzz ] && max_len=65536

  log="$build_dir/logs/$target.log"
  echo "fuzz: $target (at most $runs executions, $seconds s; log in $log)"
  status=0
  "$program" -runs="$runs" -max_total_time="$seconds" -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-" \
    "$scratch" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -ne 0 ]; then
    failed=1
    tail -n 30 "$log" >&2
    summary="$summary$(printf '%-22s FAILED after %s executions, exit status %s' \
      "$target" "${execs:-?}" "$status")
"
  else
    summary="$summary$(printf '%-22s %12s executions, no crash' "$target" "${execs:-?}")
"
  fi
done

printf '\n%s' "$summary"
exit "$failed"
