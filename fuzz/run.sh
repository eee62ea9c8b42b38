#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time, all at once
# (one process each).
#
#   fuzz/run.sh [BUILD_DIR] [SECONDS]     defaults: build-fuzz 60
#
# Working corpora grow in BUILD_DIR/corpus-run/<fuzzer> (seeded from
# fuzz/corpus/<fuzzer>, which is only read); crashes, leaks and timeouts land
# in BUILD_DIR/artifacts/<fuzzer>/, logs in BUILD_DIR/fuzz-logs/. Prints per
# fuzzer the executions and coverage, and exits non-zero on any finding.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-build-fuzz}"
seconds="${2:-60}"
fuzzers=(fuzz_types fuzz_namevalue)

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "run.sh: SECONDS must be a positive integer, not '$seconds'" >&2
  exit 2
fi

cmake -S "$source_dir" -B "$build_dir" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DMEKAL_BUILD_FUZZERS=ON -DMEKAL_BUILD_TESTS=OFF -DMEKAL_BUILD_EXAMPLES=OFF \
  -DMEKAL_WERROR=ON >/dev/null
cmake --build "$build_dir" -j2 --target "${fuzzers[@]}"
build_dir="$(cd "$build_dir" && pwd)"

mkdir -p "$build_dir/fuzz-logs"
# Only artifacts written by this run count as its findings.
marker="$build_dir/fuzz-logs/.run-start"
touch "$marker"
pids=()
for f in "${fuzzers[@]}"; do
  mkdir -p "$build_dir/corpus-run/$f" "$build_dir/artifacts/$f"
  # -timeout: one input running this long is a finding (hang); nothing in
  # these targets should take a fraction of it.
  "$build_dir/fuzz/$f" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=30 -rss_limit_mb=4096 -max_len=4096 \
    -dict="$source_dir/fuzz/types.dict" -artifact_prefix="$build_dir/artifacts/$f/" \
    "$build_dir/corpus-run/$f" "$source_dir/fuzz/corpus/$f" \
    >"$build_dir/fuzz-logs/$f.log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!fuzzers[@]}"; do
  f="${fuzzers[$i]}"
  log="$build_dir/fuzz-logs/$f.log"
  rc=0
  wait "${pids[$i]}" || rc=$?
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
  # The DONE line, or after a finding the last progress line.
  done_line="$(grep -E '^#[0-9]+[[:space:]].* cov: ' "$log" | tail -1 || true)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")"
  ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")"
  corp="$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$done_line")"
  findings="$(find "$build_dir/artifacts/$f" -type f -newer "$marker" | sort)"
  printf '%s: %s executions (%s/s), cov %s, ft %s, corpus %s, new units %s\n' "$f" \
    "$(stat number_of_executed_units)" "$(stat average_exec_per_sec)" "${cov:-?}" "${ft:-?}" \
    "${corp:-?}" "$(stat new_units_added)"
  if [ "$rc" -ne 0 ] || [ -n "$findings" ]; then
    status=1
    echo "$f: FINDING (exit code $rc); log: $log"
    [ -n "$findings" ] && sed 's/^/  artifact: /' <<<"$findings"
    grep -E 'ERROR:|fuzz check failed|SUMMARY:|type string:' "$log" | head -20 | sed 's/^/  /'
  else
    echo "$f: nothing found"
  fi
done
exit "$status"
