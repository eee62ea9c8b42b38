#!/usr/bin/env bash
# The wall time that mekal-run adds to a program: /bin/true and the example
# program, each alone and under mekal-run, side by side in one hyperfine run.
#
#   bench/run_overhead.sh [BUILD_DIR] [RUNS]     defaults: build 300
#
# Needs hyperfine. The records go to a scratch directory in BUILD_DIR, the
# figures to BUILD_DIR/run-overhead.md and .json.
set -euo pipefail
build_dir="$(cd "${1:-build}" && pwd)"
runs="${2:-300}"
command -v hyperfine >/dev/null || { echo "run_overhead: hyperfine is missing" >&2; exit 2; }
scratch="$build_dir/run-overhead"
mkdir -p "$scratch"
run="$build_dir/bin/mekal-run -o $scratch/%e.json --"
example="$build_dir/examples/mekal_example"
# The example's own output would swamp the terminal; hyperfine discards it.
hyperfine -N --warmup 20 --runs "$runs" \
  --export-markdown "$build_dir/run-overhead.md" --export-json "$build_dir/run-overhead.json" \
  -n 'true' '/bin/true' -n 'mekal-run true' "$run /bin/true" \
  -n 'example' "$example" -n 'mekal-run example' "$run $example"
python3 - "$build_dir/run-overhead.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
for base in ("true", "example"):
    plain, recorded = r[base], r["mekal-run " + base]
    added = (recorded["mean"] - plain["mean"]) * 1e3
    print(f"mekal-run adds {added:.2f} ms to {base} "
          f"({plain['mean'] * 1e3:.2f} -> {recorded['mean'] * 1e3:.2f} ms, "
          f"medians {plain['median'] * 1e3:.2f} -> {recorded['median'] * 1e3:.2f} ms)")
PY
