#!/usr/bin/env python3
"""Summarise JSON runs of mekal_bench.

The ratios come from the paired rows, "paired/<what>": one benchmark that
alternates batches of the operation and of its floor (or the map), so both
meet the same CPU at nearly the same moment; each repetition gives the
median ratio of its rounds. For each run (JSON file) the table shows the
median over the repetitions and their spread (lowest to highest), and the
targets are checked on every run. The JSON document of
1,000 values is set against "nlohmann/json_document/1000" in MB/s.

The first run's unpaired rows follow for reference: "mekal/<what>" against
"floor/<what>" (the irreducible work of the same operation), "map/<what>"
and "map_cstr/<what>" (a std::unordered_map registry, looked up with a
prebuilt std::string key and straight from a const char *), in CPU
nanoseconds per operation: the median of the repetitions, or with --stat min
their minimum. Unpaired rows measured apart move by 10-15% between runs on
a machine whose CPUs differ in speed from moment to moment; do not take
ratios from them. Then the memory per entry is listed, and what the name
index takes per entry at 1,000 to 1,000,000 names.

usage: python3 bench/report.py [--stat median|min] bench.json [more runs.json ...]
"""

import json
import statistics
import sys

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(path, stat):
    """run name -> {"ns": CPU ns by stat, "cv": spread or None, "counters": {...}}"""
    with open(path) as f:
        data = json.load(f)
    samples, medians, spreads, counters, errors = {}, {}, {}, {}, {}
    for b in data["benchmarks"]:
        run = b.get("run_name", b["name"])
        if b.get("error_occurred"):
            errors[run] = b.get("error_message", "error")
            continue
        ns = b["cpu_time"] * TO_NS[b.get("time_unit", "ns")]
        extra = {k: v for k, v in b.items() if k not in KNOWN_KEYS}
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[run] = ns
                counters[run] = extra
            elif b.get("aggregate_name") == "cv":
                spreads[run] = b["cpu_time"]
        else:
            samples.setdefault(run, []).append(ns)
            counters.setdefault(run, extra)
    rows = {}
    for run in set(samples) | set(medians):
        if stat == "min" and run in samples:
            ns = min(samples[run])
        elif run in medians:
            ns = medians[run]
        else:
            ns = statistics.median(samples[run])
        rows[run] = {"ns": ns, "cv": spreads.get(run), "counters": counters.get(run, {})}
    return rows, errors, data.get("context", {})


KNOWN_KEYS = {
    "name", "family_index", "per_family_instance_index", "run_name", "run_type",
    "repetitions", "repetition_index", "threads", "iterations", "real_time", "cpu_time",
    "time_unit", "aggregate_name", "aggregate_unit", "error_occurred", "error_message",
}


def fmt_ns(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def fmt_ratio(r):
    return "-" if r is None else f"{r:.2f}"


def get(rows, name):
    row = rows.get(name)
    return None if row is None else row["ns"]


def comparison_table(rows):
    lines = [
        "| benchmark | mekal | floor | mekal/floor | map | mekal/map | map_cstr | mekal/map_cstr "
        "| spread | counters |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for run in sorted(r for r in rows if r.startswith("mekal/") and "memory" not in r):
        what = run[len("mekal/"):]
        ns = get(rows, run)
        floor = get(rows, "floor/" + what)
        plain_map = get(rows, "map/" + what)
        cstr_map = get(rows, "map_cstr/" + what)
        cv = rows[run]["cv"]
        lines.append(
            f"| {what} | {fmt_ns(ns)} | {fmt_ns(floor)} | {fmt_ratio(ratio(ns, floor))} | "
            f"{fmt_ns(plain_map)} | {fmt_ratio(ratio(ns, plain_map))} | {fmt_ns(cstr_map)} | "
            f"{fmt_ratio(ratio(ns, cstr_map))} | {'-' if cv is None else f'{cv * 100:.1f}%'} | "
            f"{fmt_counters(rows[run]['counters'])} |")
    return lines


def fmt_counters(counters):
    return " ".join(f"{k}={v:g}" for k, v in sorted(counters.items())
                    if isinstance(v, (int, float))) or "-"


def fit_line(points):
    """Least squares through (x, y): slope, intercept, R^2."""
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    sxy = sum((x - mx) * (y - my) for x, y in points)
    slope = sxy / sxx
    intercept = my - slope * mx
    ss_tot = sum((y - my) ** 2 for _, y in points)
    ss_res = sum((y - (intercept + slope * x)) ** 2 for x, y in points)
    return slope, intercept, (1.0 - ss_res / ss_tot) if ss_tot else 1.0


def verdict(ok):
    return "MET" if ok else "MISSED"


SIZES = (1000, 10000, 100000, 1000000)

# Paired targets: row, what it is set against, the highest ratio allowed.
PAIRED_TARGETS = [
    ("replace_int_sub", "its floor", 1.25),
    ("lookup_hit/1000", "unordered_map with a std::string key", 1.35),
] + [(f"{what}/{n}", against, limit) for n in SIZES for what, against, limit in (
    ("lookup_hit", "unordered_map with a std::string key", 1.5),
    ("lookup_miss", "unordered_map with a std::string key", 1.5),
    ("replace_int_sub", "its floor", 1.35),
) if (what, n) != ("lookup_hit", 1000)]  # held to 1.35 above


def paired_ratios(path):
    """what -> the ratio counter of each repetition of paired/<what>."""
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        run = b.get("run_name", b["name"])
        if not run.startswith("paired/") or b.get("run_type") == "aggregate":
            continue
        if b.get("error_occurred") or "ratio" not in b:
            continue
        out.setdefault(run[len("paired/"):], []).append(b["ratio"])
    return out


def paired_table(runs):
    """runs: one paired_ratios() per JSON file."""
    names = sorted(set().union(*runs))
    header = "| paired row | " + " | ".join(f"run {i + 1}: ratio (spread)" for i in range(len(runs)))
    lines = [header + " |", "|---|" + "---:|" * len(runs)]
    for what in names:
        cells = []
        for run in runs:
            ratios = run.get(what)
            if not ratios:
                cells.append("-")
                continue
            cells.append(f"{statistics.median(ratios):.3f} ({min(ratios):.3f}-{max(ratios):.3f})")
        lines.append(f"| {what} | " + " | ".join(cells) + " |")
    return lines


def paired_targets(runs):
    lines = []
    for what, against, limit in PAIRED_TARGETS:
        medians = [statistics.median(run[what]) for run in runs if run.get(what)]
        if not medians:
            continue
        worst = max(medians)
        lines.append(f"- {what} at most {limit:.2f} x {against}: medians "
                     f"{', '.join(f'{m:.3f}' for m in medians)} over {len(medians)} run(s), "
                     f"between runs {min(medians):.3f}-{worst:.3f}: {verdict(worst <= limit)}")
    return lines


def targets(rows):
    lines = []
    for kind in ("dispatch_control", "dispatch_replace"):
        points = [(n, get(rows, f"mekal/{kind}/{n}")) for n in (0, 1, 8, 64)]
        if any(y is None for _, y in points):
            continue
        slope, intercept, r2 = fit_line(points)
        steps = ", ".join(f"{n}: {fmt_ns(y)}" for n, y in points)
        lines.append(f"- {kind} ({steps}): {slope:.2f} ns per observer over a base of "
                     f"{intercept:.1f} ns, R^2 {r2:.4f}: linear {verdict(r2 >= 0.99)}")
    lines.append("- dispatch allocates nothing: asserted by internal_alloc_counts_test "
                 "(allocation counts are not visible to this run)")

    hit_big = get(rows, "mekal/lookup_hit/100000")
    miss_big = get(rows, "mekal/lookup_miss/100000")
    if hit_big is not None and miss_big is not None:
        lines.append(f"- 100,000 names: hit {fmt_ns(hit_big)}, miss {fmt_ns(miss_big)}; "
                     f"1,000 names: hit {fmt_ns(get(rows, 'mekal/lookup_hit/1000'))}, miss "
                     f"{fmt_ns(get(rows, 'mekal/lookup_miss/1000'))}; unordered_map at 100,000: "
                     f"hit {fmt_ns(get(rows, 'map/lookup_hit/100000'))}")
    return lines


def growth(rows):
    """ns per new name while a registry grows to each size, against the map."""
    points = []
    for n in SIZES:
        row = rows.get(f"paired/grow/{n}")
        if row is None or "mekal_ns" not in row["counters"]:
            continue
        c = row["counters"]
        points.append(f"{n}: {fmt_ns(c['mekal_ns'])} (map {fmt_ns(c.get('floor_ns'))})")
    if not points:
        return []
    return [f"- cost per new name while the registry grows to: {', '.join(points)}"]


def json_throughput(rows):
    """MB/s of JSON written: the "bytes" counter of one rendering over its time."""
    lines = []
    figures = {}
    for kind in ("mekal", "nlohmann"):
        row = rows.get(f"{kind}/json_document/1000")
        if row is None or "bytes" not in row["counters"]:
            return lines
        figures[kind] = row["counters"]["bytes"] / row["ns"] * 1e3
    r = figures["mekal"] / figures["nlohmann"]
    lines.append(f"- document of 1,000 mixed values: mekal_namevals_to_json {figures['mekal']:.0f} MB/s, "
                 f"nlohmann-json dump() {figures['nlohmann']:.0f} MB/s, ratio {r:.2f}: at least as fast "
                 f"{verdict(r >= 1.0)}")
    return lines


def memory_table(rows):
    keys = ["blocks", "bytes_requested", "bytes_usable", "bytes_with_headers", "bytes_avg_10k"]
    lines = ["| structure | " + " | ".join(keys) + " |", "|---|" + "---:|" * len(keys)]
    for prefix in ("mekal/memory_per_entry", "map/memory_per_entry"):
        # Single-shot rows carry "/iterations:1/repeats:1" in their names.
        run = next((r for r in sorted(rows) if r.startswith(prefix)), None)
        if run is None:
            continue
        c = rows[run]["counters"]
        cells = ["-" if k not in c else f"{c[k]:.1f}".rstrip("0").rstrip(".") for k in keys]
        lines.append(f"| {run.split('/')[0]} | " + " | ".join(cells) + " |")
    return lines


def index_memory(rows):
    """Bytes of the name index per entry, at each size."""
    cells = []
    for n in SIZES:
        run = next((r for r in sorted(rows) if r.startswith(f"mekal/index_memory/{n}/")), None)
        if run is not None and "index_bytes_per_entry" in rows[run]["counters"]:
            cells.append(f"{n}: {rows[run]['counters']['index_bytes_per_entry']:.1f}")
    return ["", "Name index, bytes per entry: " + ", ".join(cells)] if cells else []


def main(argv):
    args = argv[1:]
    stat = "median"
    if len(args) >= 3 and args[0] == "--stat" and args[1] in ("median", "min"):
        stat = args[1]
        args = args[2:]
    if not args or any(a.startswith("--") for a in args):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    rows, errors, context = load(args[0], stat)
    runs = [paired_ratios(path) for path in args]
    out = []
    if context:
        load_avg = context.get("load_avg")
        out.append(f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
                   f"{context.get('date', '')}"
                   + (f", load average {', '.join(f'{x:.2f}' for x in load_avg)}" if load_avg else ""))
        out.append("")
    out.append("## Paired rows: mekal / floor (or map), median of each repetition's rounds")
    out.append("")
    out += paired_table(runs)
    out.append("")
    out.append("## Targets")
    out.append("")
    out += paired_targets(runs)
    out += targets(rows)
    out += growth(rows)
    out += json_throughput(rows)
    out.append("")
    out.append(f"## Unpaired rows of run 1, for reference (CPU time per operation, {stat})")
    out.append("")
    out += comparison_table(rows)
    out.append("")
    out.append("## Memory per entry (16-byte name, 8-byte subcategory, \"%d\" value)")
    out.append("")
    out += memory_table(rows)
    out += index_memory(rows)
    if errors:
        out.append("")
        out.append("## Failed benchmarks")
        out += [f"- {run}: {message}" for run, message in sorted(errors.items())]
    print("\n".join(out))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
