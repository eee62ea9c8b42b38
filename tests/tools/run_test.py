"""mekal-run end to end: each case runs a program under mekal-run, checks the
exit status and the program's own output, then reads the record(s) it left
and validates each one against the run record's schema.

Arguments: MEKAL_RUN SCHEMA EXAMPLE EXIT_WITH EXIT_WITH_STATIC WORK_DIR MEKAL_DIFF
CLEANING_APP GUEST_APP OLD_LIBRARY_DIR (a libmekal.so.0 of an earlier interface).
MEKAL_TEST_MPI_BUILD=1: the recorder is the MPI build's.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
from record_checks import schema_validator, values  # noqa: E402

(MEKAL_RUN, SCHEMA, EXAMPLE, EXIT_WITH, STATIC_PROGRAM, WORK_DIR, MEKAL_DIFF,
 CLEANING_APP, GUEST_APP, OLD_LIBRARY_DIR) = map(os.path.abspath, sys.argv[1:11])
MPI_BUILD = os.environ.get("MEKAL_TEST_MPI_BUILD") == "1"

VALIDATOR = schema_validator(SCHEMA, "run_test")


# In sanitizer builds the recorder needs the sanitizer's runtime first.
PRELOAD = os.environ.get("MEKAL_TEST_PRELOAD", "")


def run(args, env=None, cwd=None):
    env = dict(os.environ if env is None else env)
    if PRELOAD:
        env["LD_PRELOAD"] = PRELOAD
    return subprocess.run([MEKAL_RUN] + args, capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=120)


class MekalRun(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK_DIR, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)

    def records(self):
        """Every record in the case's directory, each checked against the schema."""
        out = []
        for name in sorted(os.listdir(self.dir)):
            self.assertTrue(name.endswith(".json"), "stray file " + name)
            with open(os.path.join(self.dir, name)) as f:
                record = json.load(f)
            VALIDATOR.validate(record)
            out.append(record)
        return out

    def only_record(self):
        records = self.records()
        self.assertEqual(len(records), 1)
        return records[0]

    def test_exit_status_and_completion(self):
        # (program, mekal-run's status, complete, recorded exit status)
        cases = [
            (["/bin/true"], 0, True, 0),
            ([EXIT_WITH, "exit", "3"], 3, True, 3),
            ([EXIT_WITH, "return", "4"], 4, True, 4),
            # mekal-run becomes the program: a signal ends it as it ends the program.
            ([EXIT_WITH, "kill"], -9, False, None),
        ]
        for argv, status, complete, exit_status in cases:
            with self.subTest(argv=argv):
                self.setUp()
                result = run(["-o", os.path.join(self.dir, "r.json"), "--"] + argv)
                self.assertEqual(result.returncode, status)
                self.assertEqual((result.stdout, result.stderr), ("", ""))
                record = self.only_record()
                self.assertEqual(record["complete"], complete)
                self.assertEqual(record["exit_status"], exit_status)
                self.assertEqual(record["program"]["argv"], argv)
                self.assertEqual(record["program"]["host"], socket.gethostname())
                names = values(record)
                for name in ("user", "hostname", "executablepath", "cmdline", "mekalversion"):
                    self.assertIn(name, names)
                self.assertEqual(names["cmdline"]["value"], argv)
                # The timings come with a normal exit only.
                self.assertEqual("walltime" in names, complete)

    def test_program_output_passes_through(self):
        result = run(["-o", os.path.join(self.dir, "r.json"), "/bin/echo", "hello", "there"])
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "hello there\n", ""))
        self.assertEqual(self.only_record()["program"]["argv"], ["/bin/echo", "hello", "there"])

    def test_values_the_program_records_itself(self):
        result = run(["-o", os.path.join(self.dir, "r.json"), EXAMPLE])
        self.assertEqual(result.returncode, 0, result.stderr)
        record = self.only_record()
        self.assertTrue(record["complete"])
        names = values(record)
        # The example cleans the registry before it exits; what it recorded
        # is in the record all the same, once.
        self.assertEqual(names["ranks_per_node"]["value"], 48)
        self.assertEqual(names["seed"]["value"], 18446744073709551557)
        self.assertEqual(names["inputs"]["value"], ["mesh.h5", "params.toml", "boundary.csv"])
        self.assertEqual(len(record["values"]), len(names))
        # Cleaned twice, then its own fini: every value is kept, and the
        # recorder sends no second "fini".
        result = run(["-o", os.path.join(self.dir, "r.json"), CLEANING_APP])
        self.assertEqual(result.returncode, 0, result.stderr)
        names = values(self.only_record())
        self.assertEqual([names[n]["value"] for n in ("a", "b", "c", "fini_seen")], [1, 2, 3, 1])

    def test_environment_by_prefix(self):
        env = dict(os.environ, MEKAL_T_B="2", MEKAL_T_A="1", MEKAL_U="3", OTHER_T="4")
        out = os.path.join(self.dir, "r.json")
        run(["--env", "MEKAL_T_", "--env=OTHER_", "-o", out, "/bin/true"], env=env)
        self.assertEqual(values(self.only_record())["environment"]["value"],
                         [["MEKAL_T_A", "1"], ["MEKAL_T_B", "2"], ["OTHER_T", "4"]])
        os.remove(out)
        run(["-o", out, "/bin/true"], env=env)
        self.assertNotIn("environment", values(self.only_record()))
        # Prefixes longer than a page together: the last is taken whole.
        os.remove(out)
        fillers = ["Z%064d" % i for i in range(62)]
        run(sum((["--env", p] for p in fillers + ["MEKAL_T_A"]), []) + ["-o", out, "/bin/true"],
            env=env)
        self.assertEqual(values(self.only_record())["environment"]["value"], [["MEKAL_T_A", "1"]])

    def test_output_paths(self):
        # The default name in the working directory, and %e/%h/%p expanded.
        result = run(["/bin/true"], cwd=self.dir)
        self.assertEqual(result.returncode, 0)
        record = self.only_record()
        exe = os.path.basename(record["program"]["executable"])
        expected = "mekal-%s-%s-%d.json" % (exe, socket.gethostname(), record["program"]["pid"])
        self.assertEqual(os.listdir(self.dir), [expected])
        os.remove(os.path.join(self.dir, expected))
        run(["-o", os.path.join(self.dir, "%e.%%.json"), "/bin/true"])
        self.assertEqual(os.listdir(self.dir), [exe + ".%.json"])
        # A '%' in the working directory's name is no conversion.
        os.remove(os.path.join(self.dir, exe + ".%.json"))
        odd = os.path.join(self.dir, "100%done")
        os.mkdir(odd)
        self.assertEqual(run(["-o", "r.json", "/bin/true"], cwd=odd).stderr, "")
        self.assertEqual(os.listdir(odd), ["r.json"])
        shutil.rmtree(odd)

    def test_only_the_launched_program_unless_following(self):
        pattern = os.path.join(self.dir, "%p.json")
        # The shell runs two programs, then a builtin (a last program it would exec).
        script = ["/bin/sh", "-c", "/bin/true; /bin/true a; true"]
        run(["-o", pattern, "--"] + script)
        self.assertEqual([r["program"]["argv"] for r in self.records()], [script])
        self.setUp()
        run(["--follow", "-o", pattern, "--"] + script)
        argvs = sorted(tuple(r["program"]["argv"]) for r in self.records())
        self.assertEqual(argvs, sorted([tuple(script), ("/bin/true",), ("/bin/true", "a")]))

    def test_two_runs_differ_by_their_command_line(self):
        a, b = os.path.join(self.dir, "a.json"), os.path.join(self.dir, "b.json")
        run(["-o", a, EXIT_WITH, "return", "0"], cwd=self.dir)
        run(["-o", b, EXIT_WITH, "return", "0", "more"], cwd=self.dir)
        result = subprocess.run([MEKAL_DIFF, a, b], capture_output=True, text=True)
        before = json.dumps([EXIT_WITH, "return", "0"], separators=(",", ":"))
        after = json.dumps([EXIT_WITH, "return", "0", "more"], separators=(",", ":"))
        self.assertEqual((result.returncode, result.stderr), (1, ""))
        self.assertEqual(result.stdout.splitlines(), ["~ .program.argv: %s -> %s" % (before, after),
                                                      "~ cmdline: %s -> %s" % (before, after)])
        self.records()

    def test_refusals(self):
        # (arguments, status, text on stderr)
        cases = [
            ([], 2, "no program to run"),
            (["--bogus", "/bin/true"], 2, "unknown option --bogus"),
            (["--follow", "-o", "x.json", "/bin/true"], 2, "--follow needs %p"),
            (["--follow", "-o", "%%p.json", "/bin/true"], 2, "--follow needs %p"),
            (["-o", os.path.join(self.dir, "r.json"), "/nonexistent/program"], 127, "not found"),
            (["-o", "/nonexistent/dir/r.json", "/bin/true"], 0, "cannot write the record"),
            (["-o", os.path.join(self.dir, "s.json"), STATIC_PROGRAM, "exit", "7"], 7, "statically linked"),
            # Refused before the program runs (it would leave a file).
            (["-o", "x%q.json", "touch", "ran"], 2, "bad output path 'x%q.json'"),
            (["-o", "x%", "touch", "ran"], 2, "lone '%'"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                result = run(args, cwd=self.dir)
                self.assertEqual(result.returncode, status)
                self.assertIn(message, result.stderr)
                if status != 2:
                    self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertEqual(os.listdir(self.dir), [])
        help_text = run(["--help"])
        self.assertEqual((help_text.returncode, help_text.stderr), (0, ""))
        self.assertIn("usage: mekal-run", help_text.stdout)

    def test_endings(self):
        # (program, exit status, recorded status): every normal end is complete.
        cases = [
            (["/bin/sh", "-c", "exit 2"], 2, 2),
            ([EXIT_WITH, "_exit", "5"], 5, 5),
            ([EXIT_WITH, "_Exit", "6"], 6, 6),
            ([EXIT_WITH, "exit", "256"], 0, 0),
            ([EXIT_WITH, "exit", "-1"], 255, 255),
            ([EXIT_WITH, "thread"], 0, 0),
        ]
        out = os.path.join(self.dir, "r.json")
        for argv, status, recorded in cases:
            with self.subTest(argv=argv):
                result = run(["-o", out, "--"] + argv)
                self.assertEqual((result.returncode, result.stderr), (status, ""))
                record = self.only_record()
                self.assertEqual((record["complete"], record["exit_status"]), (True, recorded))
        # Nothing reaches the program's observers once main returned: its
        # output is its own.
        alone = subprocess.run([GUEST_APP, "observers"], capture_output=True, text=True)
        result = run(["-o", out, GUEST_APP, "observers"])
        self.assertEqual((result.returncode, result.stdout), (0, alone.stdout))
        self.assertIn("walltime", values(self.only_record()))
        # A value that cannot be rendered costs itself alone.
        self.assertEqual(run(["-o", out, GUEST_APP, "deep"]).stderr, "")
        named = values(self.only_record())
        self.assertEqual((named["deep"]["value"], named["deep"]["unrendered"], named["after"]["value"]),
                         (None, True, 1))
        # Cleans however reached keep their values, and many stay cheap.
        run(["-o", out, GUEST_APP, "dlclean"])
        self.assertEqual([values(self.only_record())[n]["value"] for n in "abc"], [1, 2, 3])
        run(["-o", out, GUEST_APP, "cycles", "2000"])
        self.assertEqual(values(self.only_record())["step"]["value"], 1)
        # The recorder's one line never lands in a file the program opened on
        # descriptor 2 after closing its standard error.
        record_dir = os.path.join(self.dir, "gone")
        os.mkdir(record_dir)
        result = run(["-o", os.path.join(record_dir, "r.json"), GUEST_APP, "datafiles", self.dir,
                      os.path.join(record_dir, "r.json")])
        self.assertEqual(result.returncode, 0)
        for fd in range(3):
            with open(os.path.join(self.dir, str(fd))) as f:
                self.assertEqual(f.read(), "data %d\n" % fd)

    def test_paths_and_launching(self):
        # A file name at the system's limit, and a working directory beyond PATH_MAX.
        long_name = os.path.join(self.dir, "n" * 250 + ".json")
        self.assertEqual(run(["-o", long_name, "/bin/true"]).stderr, "")
        self.assertTrue(self.only_record()["complete"])
        os.remove(long_name)
        here = os.getcwd()
        os.chdir(self.dir)
        try:
            for _ in range(25):
                os.mkdir("d" * 200)
                os.chdir("d" * 200)
            self.assertEqual(run(["-o", "r.json", "/bin/true"]).stderr, "")
            with open("r.json") as f:
                self.assertTrue(json.load(f)["complete"])
        finally:
            os.chdir(here)
        shutil.rmtree(os.path.join(self.dir, "d" * 200))
        # A script without "#!" runs under the shell, recorded; one whose
        # interpreter is static says why it has no record.
        plain, static = os.path.join(WORK_DIR, "plain"), os.path.join(WORK_DIR, "static")
        for path, text in ((plain, "exit 3\n"), (static, "#!%s exit\n" % STATIC_PROGRAM)):
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        out = os.path.join(self.dir, "r.json")
        self.assertEqual(run(["-o", out, plain]).returncode, 3)
        self.assertEqual(self.only_record()["exit_status"], 3)
        os.remove(out)
        self.assertIn("statically linked", run(["-o", out, static]).stderr)
        os.remove(plain), os.remove(static)
        # An earlier libmekal.so.0 first on LD_LIBRARY_PATH: the recorder
        # keeps its own, and the program's copy shares the registry.
        env = dict(os.environ, LD_LIBRARY_PATH=OLD_LIBRARY_DIR)
        result = run(["-o", out, CLEANING_APP], env=env)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual([values(self.only_record())[n]["value"] for n in "abc"], [1, 2, 3])
        os.remove(out)
        # The ranks of a parallel launch write a record each; without MPI,
        # the first says once that the MPI build merges them.
        for rank in range(3):
            env = dict(os.environ, OMPI_COMM_WORLD_RANK=str(rank), OMPI_COMM_WORLD_SIZE="3")
            result = run(["-o", out, "/bin/true"], env=env)
            notice = "each of the 3 ranks writes its own record" in result.stderr
            self.assertEqual(notice, rank == 0 and not MPI_BUILD, result.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), ["r.rank%d.json" % r for r in range(3)])
        self.records()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
