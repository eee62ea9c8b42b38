#!/usr/bin/env bash
# mekal-diff on two large run records, beside jq parsing the same two files:
# the time to compare against the time any JSON reader needs to read them.
#
#   bench/diff_bench.sh [BUILD_DIR] [VALUES] [RUNS]     defaults: build 100000 10
#
# Needs hyperfine, jq and python3. The records go to a scratch directory in
# BUILD_DIR, the figures to BUILD_DIR/diff-bench.md and .json.
set -euo pipefail
build_dir="$(cd "${1:-build}" && pwd)"
values="${2:-100000}"
runs="${3:-10}"
for tool in hyperfine jq python3; do
  command -v "$tool" >/dev/null || { echo "diff_bench: $tool is missing" >&2; exit 2; }
done
diff_tool="$build_dir/tools/diff/mekal-diff"
[ -x "$diff_tool" ] || { echo "diff_bench: $diff_tool is not built" >&2; exit 2; }
scratch="$build_dir/diff-bench"
mkdir -p "$scratch"

# Two records of the same program: B has another pid, launch date and times,
# and one value in a hundred changed. The kinds of value cycle through the
# ones a run records: integers, doubles, texts naming the pid, sets, dates.
python3 - "$scratch" "$values" <<'PY'
import json, sys
scratch, count = sys.argv[1], int(sys.argv[2])

def value(i, run):
    kind = i % 6
    changed = run == "b" and i % 100 == 7
    if kind == 0: return "%lld", "long long", i * 7919 + (1 if changed else 0)
    if kind == 1: return "%f", "double", i / 7.0 + (0.5 if changed else 0.0)
    if kind == 2: return "%p", "path", f"/scratch/run.{pid[run]}/part{i}.dat"
    if kind == 3: return "[%s]", "set of string", [f"opt{i}", "-v" if changed else "-q", "x"]
    if kind == 4: return "%D", "date", "2026-01-05T10:00:00Z"
    return "%j", "jsonstring", {"k": i, "big": 123456789012345678901234567890 + (1 if changed else 0)}

pid = {"a": 4123457, "b": 4129911}
for run in ("a", "b"):
    with open(f"{scratch}/{run}.json", "w") as out:
        out.write('{"schema": "mekal-run-record", "schema_version": 1, "complete": true, '
                  '"exit_status": 0,\n "program": {"executable": "/opt/app/bin/app", '
                  f'"argv": ["./app"], "pid": {pid[run]}, "host": "node1"}},\n "values": [\n')
        for i in range(count):
            t, long_t, v = value(i, run)
            entry = {"name": f"metric.{i}", "category": 2, "category_name": "general",
                     "subcategory": "solver", "type": t, "long_type": long_t, "value": v,
                     "recorded": f"2026-01-0{5 if run == 'a' else 6}T10:00:00.{i:09d}Z"}
            out.write(json.dumps(entry, separators=(",", ":")))
            out.write(",\n" if i + 1 < count else "\n")
        out.write("]}\n")
PY

# mekal-diff exits 1: the records differ.
hyperfine -N -i --warmup 2 --runs "$runs" \
  --export-markdown "$build_dir/diff-bench.md" --export-json "$build_dir/diff-bench.json" \
  -n 'mekal-diff' "$diff_tool $scratch/a.json $scratch/b.json" \
  -n 'jq empty' "jq empty $scratch/a.json $scratch/b.json"
python3 - "$build_dir/diff-bench.json" "$scratch/a.json" "$values" <<'PY'
import json, os, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
diff, jq = r["mekal-diff"], r["jq empty"]
size = os.path.getsize(sys.argv[2]) / 1e6
print(f"two records of {int(sys.argv[3]):,} values ({size:.1f} MB each): "
      f"mekal-diff {diff['mean']:.3f} s (median {diff['median']:.3f} s), "
      f"jq parsing them {jq['mean']:.3f} s (median {jq['median']:.3f} s), "
      f"ratio {diff['mean'] / jq['mean']:.2f}")
PY
