"""The recorder in an MPI job: mekal-run under mpirun, every record checked
against the run record's schema.

Arguments: MPIEXEC MEKAL_RUN RECORDER SCHEMA APP WORK_DIR WRAPPING_APP
DESTRUCTOR_APP FORTRAN_APP (APP is recorded_app.c, WRAPPING_APP the same with
MPI_Init and MPI_Finalize of its own, DESTRUCTOR_APP finalizes from a global
destructor, FORTRAN_APP is recorded_app.f90 or "none"). Environment:
MEKAL_TEST_PRELOAD, a sanitizer runtime the ranks preload first;
MEKAL_TEST_LAUNCHER, words ("|" between them) that run each rank (valgrind).

valgrind starts its own launcher again for the program it follows, with
the program's environment: under it the recorder is preloaded directly and
follows, so the program's record replaces the launcher's (same pid, same
file), and the default pattern (%e differs between them) is left out.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from record_checks import schema_validator, values  # noqa: E402

MPIEXEC, MEKAL_RUN, RECORDER, SCHEMA, APP, WORK_DIR, WRAPPING, DESTRUCTOR, FORTRAN = sys.argv[1:10]

VALIDATOR = schema_validator(SCHEMA, "mpi_record_test")

PRELOAD = os.environ.get("MEKAL_TEST_PRELOAD", "")
LAUNCHER = [word for word in os.environ.get("MEKAL_TEST_LAUNCHER", "").split("|") if word]


def mpirun(ranks, output, program, cwd):
    """Runs program on ranks under the recorder, writing to output (None:
    the default pattern)."""
    command = [MPIEXEC, "-np", str(ranks)]
    if PRELOAD:  # the ranks only: mpirun itself is not instrumented
        command += ["-x", "LD_PRELOAD=" + PRELOAD]
    if LAUNCHER:
        command += LAUNCHER + ["env", "LD_PRELOAD=" + RECORDER, "MEKAL_RECORD_FOLLOW=1",
                               "MEKAL_RECORD_OUTPUT=" + os.path.join(cwd, output)]
    else:
        command += [MEKAL_RUN] + (["-o", output] if output else []) + ["--"]
    return subprocess.run(command + program, cwd=cwd, capture_output=True, text=True, timeout=600)


class MpiJob(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK_DIR, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)

    def records(self):
        """Every file in the case's directory by name, each a valid record."""
        out = {}
        for name in sorted(os.listdir(self.dir)):
            if os.path.isdir(os.path.join(self.dir, name)):
                continue
            with open(os.path.join(self.dir, name)) as f:
                out[name] = json.load(f)
            VALIDATOR.validate(out[name])
        return out

    def test_one_record_for_the_job(self):
        # (output path, None: the default pattern; program)
        cases = [("job.json", [APP, "finalize"]), (None, [APP, "thread"]),
                 ("job.json", [WRAPPING, "finalize"]), ("job.json", [DESTRUCTOR])]
        if FORTRAN != "none":
            cases.append(("job.json", [FORTRAN]))
        elif os.environ.get("MEKAL_REQUIRE_ALL") == "1":
            self.fail("no Fortran MPI compiler: the Fortran ranks are not tested")
        for output, program in cases:
            if output is None and LAUNCHER:
                continue
            with self.subTest(output=output, program=program):
                self.setUp()
                result = mpirun(4, output, program, self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                records = self.records()
                self.assertEqual(len(records), 1, list(records))
                [(file, record)] = records.items()
                self.assertEqual(file, output or "mekal-%s-%s-%d.json" % (
                    os.path.basename(APP), socket.gethostname(), record["program"]["pid"]))
                self.assertEqual((record["complete"], record["exit_status"], record["mpi"]),
                                 (True, 0, {"size": 4}))
                named = values(record)
                self.assertEqual((named["jobsize"]["value"], named["mesh"]["value"]), (4, "box-64"))
                self.assertNotIn("value", named["rank"])
                self.assertEqual([(r["rank"], r["type"], r["value"]) for r in named["rank"]["ranks"]],
                                 [(rank, "%d", rank) for rank in range(4)])
                if program[0] != DESTRUCTOR:  # what rank 0 records after MPI_Finalize is its own
                    self.assertEqual([r["rank"] for r in named["after"]["ranks"]], [0])
                if program[0] == FORTRAN:
                    self.assertEqual((named["levels"]["type"], named["levels"]["value"]),
                                     ("{%f}", [0.5, 0.25]))
        # NaN and the infinities are different values, though JSON writes each as null.
        self.setUp()
        self.assertEqual(mpirun(3, "job.json", [APP, "nan"], self.dir).returncode, 0)
        self.assertEqual(len(values(self.records()["job.json"])["x"]["ranks"]), 3)

    def test_without_a_merge_each_rank_keeps_its_record(self):
        # (mode of the program, mpirun fails, the records are complete)
        cases = [("abort", True, False), ("kill", True, False), ("blocked", False, True),
                 ("fail", True, False)]
        for mode, fails, complete in cases:
            with self.subTest(mode=mode):
                self.setUp()
                result = mpirun(3, "job.json", [APP, mode], self.dir)
                self.assertEqual(result.returncode != 0, fails, result.stderr)
                records = self.records()
                self.assertEqual(list(records), ["job.rank%d.json" % rank for rank in range(3)])
                for rank, record in enumerate(records.values()):
                    self.assertEqual(record["complete"], complete)
                    self.assertNotIn("mpi", record)
                    named = values(record)
                    self.assertEqual(named["jobsize"]["value"], 3)
                    if complete:
                        self.assertEqual(named["rank"]["value"], rank)
                    if mode == "fail":  # on disk before the others waited for rank 1
                        self.assertEqual(record["exit_status"] if rank == 1 else named["late"]["value"],
                                         3 if rank == 1 else rank)
                if not fails:  # rank 0 says why, in one line
                    said = [line for line in result.stderr.splitlines() if line.startswith("mekal-run:")]
                    self.assertEqual(len(said), 1, result.stderr)
                    self.assertRegex(said[0], r"cannot write the record .*job\.json: Is a directory|"
                                     r"records were not merged")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
