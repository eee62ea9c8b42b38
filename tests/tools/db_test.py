"""mekal-db end to end, on run records each case writes: add, list,
compare, many writers, a writer killed, and the schema.

Arguments: MEKAL_DB WORK_DIR. MEKAL_TEST_LAUNCHER, when set, runs the
command through a launcher (valgrind), words separated by "|".
"""
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
import unittest

MEKAL_DB, WORK_DIR = map(os.path.abspath, sys.argv[1:3])
# Exit status 1 has a meaning here: memcheck's errors need another.
LAUNCHER = [w.replace("--error-exitcode=1", "--error-exitcode=99")
            for w in os.environ.get("MEKAL_TEST_LAUNCHER", "").split("|") if w]


def record(pid, host="node1", start="2026-01-05T10:00:00Z", values=None, complete=True,
           stamp=1, mpi=None, ranks=None):
    """A run record: values maps names to values, ranks maps names to one
    value per rank; stamp orders the versions of a run."""
    recorded = start[:19] + ".%09dZ" % stamp

    def entry(name, value, key="value"):
        types = {int: "%d", float: "%f", str: "%s", list: "[%s]"}
        return {"name": name, "category": 2, "category_name": "general", "subcategory": None,
                "type": types[type(value if key == "value" else value[0]["value"])],
                "long_type": "-", key: value, "recorded": recorded}
    entries = [entry("launchdate", start), entry("hostname", host)]
    entries += [entry(n, v) for n, v in (values or {}).items()]
    entries += [entry(n, [{"rank": r, "type": "%s", "long_type": "-", "value": v}
                          for r, v in enumerate(vs)], "ranks") for n, vs in (ranks or {}).items()]
    out = {"schema": "mekal-run-record", "schema_version": 1, "complete": complete,
           "exit_status": 0 if complete else None,
           "program": {"executable": "/bin/app", "argv": ["app"], "pid": pid, "host": host},
           "values": entries}
    if mpi:
        out["mpi"] = {"size": mpi}
    return out


class MekalDb(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK_DIR, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.db = os.path.join(self.dir, "runs.db")

    def write(self, name, content):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(content if isinstance(content, str) else json.dumps(content))
        return path

    def run_db(self, *args, env=None):
        return subprocess.run(LAUNCHER + [MEKAL_DB, "--db", self.db] + list(args),
                              capture_output=True, text=True, cwd=self.dir, env=env, timeout=600)

    def add(self, *paths):
        result = self.run_db("add", *paths)
        return result.returncode, result.stdout.strip(), result.stderr

    def query(self, sql, path=None):
        """The rows of a query on the catalog, on a connection of its own."""
        c = sqlite3.connect(path or self.db, timeout=60, uri=True)
        try:
            return c.execute(sql).fetchall()
        finally:
            c.close()

    def rows(self, *args):
        result = self.run_db("list", "--format", "json", *args)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        return json.loads(result.stdout)

    def test_add(self):
        a = self.write("a.json", record(1, complete=False, values={"walltime": 1.0}))
        self.write("d/b.json", record(2))
        self.write("d/e/b_copy.json", record(2))
        self.assertEqual(self.add(a, "d"), (0, "2 added, 0 updated, 1 unchanged, 0 refused", ""))
        # The same record again, then the complete one, then the older one again.
        done = self.write("a2.json", record(1, values={"walltime": 1.5, "extra": 3}, stamp=2))
        for path, summary in ((a, "0 added, 0 updated, 1 unchanged"), (done, "0 added, 1 updated, 0 unchanged"),
                              (a, "0 added, 0 updated, 1 unchanged")):
            self.assertEqual(self.add(path), (0, summary + ", 0 refused", ""))
        self.assertEqual(self.rows("--columns", ".id,.pid,.complete,walltime,extra", "--sort", ".pid"),
                         [{".id": 1, ".pid": 1, ".complete": 1, "walltime": 1.5, "extra": 3},
                          {".id": 2, ".pid": 2, ".complete": 1, "walltime": None, "extra": None}])

        bad = {"bad_json.json": "{\n\"schema\": [",
               "bad_version.json": dict(record(3), schema_version=2),
               "bad_program.json": {k: v for k, v in record(4).items() if k != "program"},
               "bad_names.json": dict(record(5), values=record(5)["values"] * 2),
               "other.json": {"name": "package"}}
        for name, content in bad.items():
            self.write(os.path.join("bad", name), content)
        status, out, err = self.add("bad", "missing.json")
        self.assertEqual((status, out), (1, "0 added, 0 updated, 0 unchanged, 6 refused"))
        self.assertEqual(sorted(err.splitlines()), [
            "mekal-db: bad/bad_json.json: not JSON (line 2, column 12)",
            "mekal-db: bad/bad_names.json: not a run record (values[2] repeats the name \"launchdate\")",
            "mekal-db: bad/bad_program.json: not a run record (no \"program\")",
            "mekal-db: bad/bad_version.json: schema_version 2 is unknown (this mekal-db reads 1)",
            "mekal-db: bad/other.json: not a run record (no \"schema\")",
            "mekal-db: missing.json: No such file or directory"])

    def test_add_mpi_job(self):
        # Two ranks on two hosts: each rank's record while the job ran, then the job's.
        rank0 = record(10, "n0", "2026-02-01T08:00:00Z", complete=False)
        rank1 = record(11, "n1", "2026-02-01T08:00:01Z", complete=False)
        job = record(10, "n0", "2026-02-01T08:00:00Z", mpi=2, values={"jobsize": 2},
                     ranks={"hostname": ["n0", "n1"], "rank_time": ["a", "b"],
                            "launchdate": ["2026-02-01T08:00:00Z", "2026-02-01T08:00:01Z"]}, stamp=5)
        job["values"] = job["values"][2:]  # hostname and launchdate by rank only
        paths = [self.write("job.rank0.json", rank0), self.write("job.rank1.json", rank1)]
        self.assertEqual(self.add(*paths)[1], "2 added, 0 updated, 0 unchanged, 0 refused")
        self.assertEqual([r[".rank"] for r in self.rows("--columns", ".rank")], [0, 1])
        self.assertEqual(self.add(self.write("job.json", job))[1], "0 added, 1 updated, 0 unchanged, 0 refused")
        self.assertEqual(self.add(paths[1])[1], "0 added, 0 updated, 1 unchanged, 0 refused")
        self.assertEqual(self.rows("--columns", ".id,.host,.ranks,.rank,jobsize,rank_time"),
                         [{".id": 1, ".host": "n0", ".ranks": 2, ".rank": None, "jobsize": 2, "rank_time": "a"}])
        self.assertEqual(self.query("SELECT rank, value FROM rank_value JOIN name ON name.id = rank_value.name"
                                    " WHERE name.name = 'rank_time' ORDER BY rank"), [(0, "a"), (1, "b")])

    def test_list_conditions(self):
        runs = [  # pid, host, start, walltime, commit
            (1, "alpha", "2026-01-01T10:00:00Z", 1.5, "c1"),
            (2, "beta", "2026-01-02T10:00:00Z", 2.5, "c1"),
            (3, "alpha", "2026-01-03T10:00:00Z", 10, "c2"),
            (4, "gamma", "2026-01-04T10:00:00Z", 0.5, "c2")]
        for pid, host, start, walltime, commit in runs:
            self.write("r%d.json" % pid, record(pid, host, start, {"walltime": walltime, "git_commit": commit}))
        self.add(self.dir)
        cases = [  # conditions, pids in order of start
            ([], [1, 2, 3, 4]),
            (["walltime>2"], [2, 3]),  # 10 > 2 as numbers, not as texts
            (["walltime <= 1.5"], [1, 4]),
            (["git_commit=c2", ".host!=gamma"], [3]),
            ([".host~[ab]*"], [1, 2, 3]),
            ([".start>=2026-01-02T12:00"], [3, 4]),  # dates as dates
            (["launchdate<2026-01-02"], [1]),
            ([".pid>=3", "walltime>0"], [3, 4]),
            (["missing=1"], []),
        ]
        for where, pids in cases:
            with self.subTest(where=where):
                args = sum((["--where", w] for w in where), [])
                self.assertEqual([r[".pid"] for r in self.rows("--columns", ".pid", *args)], pids)
        self.assertEqual([r["walltime"] for r in self.rows("--columns", "walltime", "--sort", "-walltime",
                                                           "--limit", "2")], [10, 2.5])
        csv = self.run_db("list", "--format", "csv", "--columns", ".host,git_commit", "--where", ".pid=1")
        self.assertEqual(csv.stdout.splitlines(), [".host,git_commit", "alpha,c1"])
        table = self.run_db("list", "--where", "walltime>2").stdout.splitlines()
        self.assertEqual([line.split()[:3] for line in table],
                         [[".id", ".start", ".host"], ["2", runs[1][2], "beta"], ["3", runs[2][2], "alpha"]])
        self.assertEqual(self.run_db("list", "--where", ".nope=1").returncode, 2)

    def test_compare(self):
        base = [10 + 0.01 * ((i * 37) % 30) for i in range(30)]  # 10.00 .. 10.29, no ties
        scenarios = {"slower": [("a", base), ("b", [1.2 * v for v in base])],
                     "equal": [("a", base), ("b", base)],
                     "tiny": [("a", [1.0, 1.1, 1.2]), ("b", [2.0, 2.1, 2.2])],
                     "swap": [("a", [1, 2, 3, 5]), ("b", [4, 6, 7, 8])]}
        pid = 0
        for scenario, groups in scenarios.items():
            for commit, walltimes in groups:
                for walltime in walltimes:
                    pid += 1
                    self.write("r%d.json" % pid, record(pid, start="2026-03-01T%02d:%02d:00Z" % divmod(pid, 60),
                               values={"walltime": walltime, "git_commit": commit, "scenario": scenario}))
        self.assertEqual(self.add(self.dir)[0], 0)

        def compare(scenario, *args):
            result = self.run_db("compare", "--by", "git_commit", "--metric", "walltime", "--format", "json",
                                 "--where", "scenario=" + scenario, *args)
            return result.returncode, (json.loads(result.stdout) if result.returncode != 2 else None)
        status, out = compare("slower")
        self.assertEqual(status, 1)
        self.assertEqual((out["baseline"], out["test"], out["threshold"], out["alpha"]),
                         ("a", "Mann-Whitney U, two-sided", 0.05, 0.05))
        worse = out["rows"][1]
        self.assertEqual((worse["git_commit"], worse["n"], worse["test"], worse["verdict"]),
                         ("b", 30, "normal", "worse"))
        self.assertAlmostEqual(worse["ratio"], 1.2)
        self.assertLess(worse["p"], 1e-9)
        # More is better: the same groups, now an improvement.
        status, out = compare("slower", "--higher-is-better", "walltime")
        self.assertEqual((status, out["rows"][1]["verdict"]), (0, "better"))
        # Equal groups: every value tied with one in the other group.
        status, out = compare("equal")
        self.assertEqual((status, out["rows"][1]["verdict"], out["rows"][1]["p"]), (0, "no significant change", 1))
        # 3 runs against 3, all slower: U = 9 of 9, P(U >= 9) = 1 / C(6, 3) = 1/20, two-sided 0.1.
        status, out = compare("tiny")
        row = out["rows"][1]
        self.assertEqual((status, row["test"], row["verdict"]), (0, "exact", "no significant change"))
        self.assertAlmostEqual(row["p"], 0.1)
        # 4 against 4, one swap: U = 15 of 16; two orderings reach 15 or more, p = 2 * 2/70.
        self.assertAlmostEqual(compare("swap")[1]["rows"][1]["p"], 4 / 70)
        self.assertEqual(compare("tiny", "--baseline", "nope")[0], 2)

    def test_concurrent_adds(self):
        per_writer = 100
        dirs = []
        for w in range(4):
            for i in range(per_writer):
                self.write("w%d/r%d.json" % (w, i), record(1000 * w + i + 1, values={"writer": w}))
            dirs.append(os.path.join(self.dir, "w%d" % w))
        # Natively, also under memcheck: locking is SQLite's, and memcheck would only slow it.
        writers = [subprocess.Popen([MEKAL_DB, "--db", self.db, "add", d], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True) for d in dirs]
        for writer in writers:
            out, err = writer.communicate(timeout=600)
            self.assertEqual((writer.returncode, out.strip(), err),
                             (0, "%d added, 0 updated, 0 unchanged, 0 refused" % per_writer, ""))
        self.assertEqual(self.query("SELECT count(*), count(DISTINCT pid) FROM run"),
                         [(4 * per_writer, 4 * per_writer)])

    def test_killed_add(self):
        count, values = 2000, 20
        for i in range(count):
            self.write("runs/%04d.json" % i, record(i + 1, values={"v%02d" % k: k for k in range(values)}))
        # Natively, also under memcheck: atomicity is SQLite's, and memcheck would only slow it.
        writer = subprocess.Popen([MEKAL_DB, "--db", self.db, "add", "runs"], cwd=self.dir,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        runs = 0
        while runs == 0 and writer.poll() is None:  # killed once a batch is in
            time.sleep(0.002)
            try:
                runs = self.query("SELECT count(*) FROM run", "file:%s?mode=ro" % self.db)[0][0]
            except sqlite3.OperationalError:
                pass  # no catalog yet
        writer.send_signal(signal.SIGKILL)
        writer.wait()
        self.assertEqual(self.query("PRAGMA integrity_check"), [("ok",)])
        runs = self.query("SELECT count(*) FROM run")[0][0]
        per_run = self.query("SELECT run.id, count(value.run) FROM run LEFT JOIN value ON value.run = run.id"
                             " GROUP BY run.id")
        self.assertTrue(0 < runs < count, runs)
        self.assertEqual({n for _, n in per_run}, {values + 2})
        again = subprocess.run([MEKAL_DB, "--db", self.db, "add", "runs"], capture_output=True, text=True, cwd=self.dir)
        self.assertEqual(again.stdout, "%d added, 0 updated, %d unchanged, 0 refused\n" % (count - runs, runs))

    def test_schema_and_trouble(self):
        schema = subprocess.run([MEKAL_DB, "schema"], capture_output=True, text=True)
        self.assertEqual(schema.returncode, 0)
        self.assertIn("CREATE TABLE run (", schema.stdout)
        env = dict(os.environ, MEKAL_DB=os.path.join(self.dir, "from_env.db"))
        result = subprocess.run(LAUNCHER + [MEKAL_DB, "add", self.write("r.json", record(1))],
                                capture_output=True, text=True, env=env)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.query("PRAGMA user_version", env["MEKAL_DB"]), [(1,)])
        self.assertEqual(self.query("PRAGMA journal_mode", env["MEKAL_DB"]), [("wal",)])
        # What schema prints is the catalog's schema.
        printed = sqlite3.connect(":memory:")
        printed.executescript(schema.stdout)
        objects = "SELECT type, name, sql FROM sqlite_schema ORDER BY name"
        self.assertEqual(printed.execute(objects).fetchall(), self.query(objects, env["MEKAL_DB"]))
        printed.close()
        newer, other = os.path.join(self.dir, "newer.db"), os.path.join(self.dir, "other.db")
        shutil.copy(env["MEKAL_DB"], newer)
        self.query("PRAGMA user_version = 7", newer)
        self.query("CREATE TABLE t (x)", other)
        cases = [  # arguments, status, the start of standard error
            (["--db", newer, "list"], 2, "mekal-db: %s: catalog of schema version 7, newer than this mekal-db reads (1)" % newer),
            (["--db", other, "add", "r.json"], 2, "mekal-db: %s: not a mekal-db catalog" % other),
            (["--db", "none.db", "list"], 2, "mekal-db: none.db: No such file or directory"),
            (["list", "--where", "walltime"], 2, "mekal-db: bad condition 'walltime': no operator"),
            (["compare", "--metric", "walltime"], 2, "mekal-db: compare: no --by\nUsage: mekal-db"),
            (["list", "--by", "x"], 2, "mekal-db: --by is not an option of list\nUsage: mekal-db"),
            (["frobnicate"], 2, "mekal-db: unknown command 'frobnicate'\nUsage: mekal-db"),
        ]
        for args, status, err in cases:
            with self.subTest(args=args):
                result = subprocess.run(LAUNCHER + [MEKAL_DB] + args, capture_output=True, text=True, cwd=self.dir)
                self.assertEqual((result.returncode, result.stdout), (status, ""))
                self.assertTrue(result.stderr.startswith(err), result.stderr)
        self.assertEqual(self.query("SELECT name FROM sqlite_schema", other), [("t",)])  # left as it was
        help_text = subprocess.run([MEKAL_DB, "--help"], capture_output=True, text=True)
        self.assertEqual((help_text.returncode, help_text.stdout.split("\n")[0]),
                         (0, "Usage: mekal-db [--db FILE] COMMAND [OPTIONS] [ARGS]"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
