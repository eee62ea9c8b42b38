"""mekal-db at scale: adds N synthetic run records of about 50 values each
(default 100,000) to a new catalog, then times whole commands over it with
hyperfine: `list` with a condition, and `compare`. Prints the add rate,
the command times and the catalog's size per run.

    python3 bench/db_catalog.py BUILD_DIR [N]

Needs python3 and hyperfine; writes only into a temporary directory, which
it removes (about 0.8 GB of records at 100,000).
Targets: add >= 5,000 records/s, list < 200 ms, compare < 500 ms.
"""
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

COMMITS = 100        # groups of the comparison
RECORDS_PER_DIR = 1000


def entry(name, sub, type_, long_type, value, stamp, category=2):
    return {"name": name, "category": category,
            "category_name": "general" if category == 2 else "performance",
            "subcategory": sub, "type": type_, "long_type": long_type, "value": value,
            "recorded": stamp}


def record(i, rng):
    """A record like mekal-run's of a solver: the recorder's facts, the
    program's own values and the timings; run i of commit i % COMMITS."""
    start = 1767225600 + i * 60
    day = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(start))
    stamp = day + ".%09dZ" % rng.randrange(10**9)
    host = "node%02d" % (i % 16)
    commit = "c%03d" % (i % COMMITS)
    slow = 1.2 if i % COMMITS == COMMITS - 1 else 1.0  # one commit 20% slower
    values = [
        entry("mekalversion", "runinfo", "%v", "version", "0.5.0", stamp),
        entry("user", "runinfo", "%s", "string", "alice", stamp),
        entry("uid", "runinfo", "%s", "string", "Alice", stamp),
        entry("launchdate", "runinfo", "%D", "date", day + "Z", stamp),
        entry("launchday", "runinfo", "%D", "date", day[:10] + "T00:00:00Z", stamp),
        entry("executable", "binary", "%s", "string", "solver", stamp),
        entry("executablepath", "binary", "%p", "path", "/opt/solver/bin/solver", stamp),
        entry("working_directory", "runinfo", "%p", "path", "/scratch/alice/run%d" % i, stamp),
        entry("libraries", "binary", "[%p]", "set of path",
              ["/lib/libc.so.6", "/opt/mekal/lib/libmekal.so.0", "/lib/libm.so.6"], stamp),
        entry("cmdline", "runinfo", "[%s]", "set of string", ["solver", "-n", str(i % 7)], stamp),
        entry("hostname", "host", "%s", "string", host, stamp),
        entry("cluster", "host", "%s", "string", "node", stamp),
        entry("jobsize", "mpi", "%u", "unsigned int", 1, stamp),
        entry("numhosts", "mpi", "%u", "unsigned int", 1, stamp),
        entry("cpu_model", "host", "%s", "string", "AMD EPYC 7763 64-Core Processor", stamp),
        entry("cpus_online", "host", "%u", "unsigned int", 128, stamp),
        entry("cpus_allowed", "host", "%u", "unsigned int", 128, stamp),
        entry("loadavg", "host", "(%f, %f, %f)", "tuple of (double, double, double)",
              [rng.random(), rng.random(), rng.random()], stamp),
        entry("memory_total", "host", "%llu", "unsigned long long", 540000000000, stamp),
        entry("os_name", "host", "%s", "string", "Debian GNU/Linux 12 (bookworm)", stamp),
        entry("os_version", "host", "%v", "version", "12", stamp),
        entry("kernel_release", "host", "%v", "version", "6.1.0-18-amd64", stamp),
        entry("architecture", "host", "%s", "string", "x86_64", stamp),
        entry("page_size", "host", "%llu", "unsigned long long", 4096, stamp),
        entry("compiler", "build", "%s", "string", "gcc", stamp),
        entry("compiler_version", "build", "%v", "version", "12.2.0", stamp),
        entry("optimized", "build", "%d", "int", 1, stamp),
        entry("git_commit", "build", "%s", "string", commit, stamp),
        entry("git_branch", "build", "%s", "string", "main", stamp),
        entry("git_dirty", "build", "%d", "int", 0, stamp),
    ]
    for k in range(14):
        values.append(entry("solver_param_%02d" % k, "solver", "%f", "double", rng.random(), stamp))
    values += [
        entry("iterations", "solver", "%d", "int", rng.randrange(400, 600), stamp),
        entry("residual", "solver", "%f", "double", rng.random() * 1e-9, stamp),
        entry("walltime", "timing", "%t", "timeval", round(slow * rng.gauss(10, 0.5), 6), stamp, 3),
        entry("cputime", "timing", "%t", "timeval", round(slow * rng.gauss(9, 0.5), 6), stamp, 3),
        entry("systime", "timing", "%t", "timeval", round(rng.gauss(0.5, 0.05), 6), stamp, 3),
    ]
    return {"schema": "mekal-run-record", "schema_version": 1, "complete": True, "exit_status": 0,
            "program": {"executable": "/opt/solver/bin/solver", "argv": ["solver", "-n", str(i % 7)],
                        "pid": 1000 + i, "host": host},
            "recorder": {"version": "0.5.0"}, "values": values}


def hyperfine(name, command, work):
    out = os.path.join(work, name + ".json")
    # compare exits 1 on the planted regression: a result, not a failure.
    subprocess.run(["hyperfine", "--warmup", "2", "--runs", "10", "--style", "basic", "--ignore-failure",
                    "--export-json", out, command], check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        result = json.load(f)["results"][0]
    return result["mean"], result["stddev"], result["median"], result["user"] + result["system"]


def main(build, count):
    tool = os.path.join(os.path.abspath(build), "tools", "db", "mekal-db")
    work = tempfile.mkdtemp(prefix="mekal-db-bench-")
    try:
        rng = random.Random(42)
        records = os.path.join(work, "records")
        for i in range(count):
            folder = os.path.join(records, "%03d" % (i // RECORDS_PER_DIR))
            if i % RECORDS_PER_DIR == 0:
                os.makedirs(folder)
            with open(os.path.join(folder, "run%06d.json" % i), "w") as f:
                json.dump(record(i, rng), f)
        size = sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(records) for n in names)
        db = os.path.join(work, "runs.db")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        began = time.monotonic()
        subprocess.run([tool, "--db", db, "add", records], check=True, stdout=subprocess.DEVNULL)
        took = time.monotonic() - began
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        print("records: %d of %d values, %.1f KB each" % (count, len(record(0, rng)["values"]),
                                                          size / count / 1024))
        print("load average at the start of add: %.1f (the machine is shared; 2 cores)" % os.getloadavg()[0])
        print("add: %.2f s, %.0f records/s (target >= 5,000); %.2f s of CPU, %.0f records per CPU second"
              % (took, count / took, cpu, count / cpu))
        print("catalog: %.0f bytes per run (%.1f MB)" % (os.path.getsize(db) / count,
                                                         os.path.getsize(db) / 1e6))
        q = "'%s' --db '%s' " % (tool, db)
        cases = [
            ("list, a value = 1% of the runs", q + "list --where git_commit=c042 --columns .id,.start,.host,walltime,iterations", 200),
            ("list, a number > (about 3%)", q + "list --where 'walltime>11' --columns .id,.host,walltime", 200),
            ("list, a field and a date, --limit 20", q + "list --where .host=node03 --where '.start>=2026-06-01' --limit 20", 200),
            ("compare, 100 groups, 1 metric", q + "compare --by git_commit --metric walltime", 500),
            ("compare, 100 groups, 2 metrics", q + "compare --by git_commit --metric walltime,cputime", 500),
        ]
        for name, command, target in cases:
            mean, sd, median, cpu = hyperfine(name.split(",")[0], command, work)
            print("%s: %.1f ms +- %.1f (median %.1f, CPU %.1f; target < %d ms)"
                  % (name, mean * 1e3, sd * 1e3, median * 1e3, cpu * 1e3, target))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: db_catalog.py BUILD_DIR [N]")
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) == 3 else 100000)
