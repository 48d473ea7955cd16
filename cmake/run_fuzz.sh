#!/bin/sh
# run_fuzz.sh <fuzzer> <seconds> <work corpus> <seed corpus>
# Runs one libFuzzer target for a bounded time. New inputs go to the work corpus in the build
# folder; the seed corpus in the source tree is only read.
fuzzer=$1 seconds=${QV_FUZZ_SECONDS:-$2} work=$3 seed=$4
mkdir -p "$work" || exit 1
if [ -d "$seed" ]; then
  exec "$fuzzer" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=0 "$work" "$seed"
fi
exec "$fuzzer" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=10 \
  -print_final_stats=0 "$work"
