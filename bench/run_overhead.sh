#!/usr/bin/env bash
# The wall time that mekal-run adds to a program: /bin/true and the example
# program, each alone and under mekal-run, side by side in one hyperfine run;
# and, in a build with the tests, what the recorder adds to a program that
# records, finishes and cleans 4,000 and 16,000 times (it grows linearly).
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
cycles="$build_dir/tests/guest_app"
[[ -x $cycles ]] || exit 0
hyperfine -N --warmup 3 --runs 20 --export-json "$build_dir/run-cleans.json" \
  -n 'cleans 4000' "$cycles cycles 4000" -n 'mekal-run cleans 4000' "$run $cycles cycles 4000" \
  -n 'cleans 16000' "$cycles cycles 16000" -n 'mekal-run cleans 16000' "$run $cycles cycles 16000"
python3 - "$build_dir/run-cleans.json" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
added = {n: (r["mekal-run cleans %d" % n] - r["cleans %d" % n]) * 1e3 for n in (4000, 16000)}
print(f"mekal-run adds {added[4000]:.1f} ms to 4,000 cleans and {added[16000]:.1f} ms to 16,000 "
      f"({added[16000] / added[4000]:.2f} times as much for 4 times the cleans)")
PY
