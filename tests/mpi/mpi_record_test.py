"""The recorder in an MPI job: mekal-run under mpirun, every record checked
against the run record's schema.

Arguments: MPIEXEC MEKAL_RUN RECORDER SCHEMA APP WORK_DIR [FORTRAN_APP]
(APP is recorded_app.c, FORTRAN_APP its Fortran twin recorded_app.f90).
Environment: MEKAL_TEST_PRELOAD, a sanitizer runtime the ranks preload
first; MEKAL_TEST_LAUNCHER, words ("|" between them) that run each rank
(valgrind).

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

MPIEXEC, MEKAL_RUN, RECORDER, SCHEMA, APP, WORK_DIR = sys.argv[1:7]
FORTRAN_APP = sys.argv[7] if len(sys.argv) > 7 else None

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
            with open(os.path.join(self.dir, name)) as f:
                out[name] = json.load(f)
            VALIDATOR.validate(out[name])
        return out

    def test_one_record_for_the_job(self):
        # The output path (None: the default pattern), the program and its mode
        cases = [("job.json", APP, ["finalize"]), (None, APP, ["thread"])]
        if FORTRAN_APP:
            cases.append(("job.json", FORTRAN_APP, []))
        for output, app, mode in cases:
            if output is None and LAUNCHER:
                continue
            with self.subTest(output=output, app=os.path.basename(app), mode=mode):
                self.setUp()
                result = mpirun(4, output, [app] + mode, self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                records = self.records()
                self.assertEqual(len(records), 1, list(records))
                [(file, record)] = records.items()
                self.assertEqual(file, output or "mekal-%s-%s-%d.json" % (
                    os.path.basename(app), socket.gethostname(), record["program"]["pid"]))
                self.assertEqual((record["complete"], record["exit_status"], record["mpi"]),
                                 (True, 0, {"size": 4}))
                named = values(record)
                self.assertEqual((named["mesh"]["value"], named["jobsize"]["value"]), ("box-64", 4))
                self.assertNotIn("value", named["rank"])
                self.assertEqual([(r["rank"], r["type"], r["value"]) for r in named["rank"]["ranks"]],
                                 [(rank, "%d", rank) for rank in range(4)])
                if app == FORTRAN_APP:
                    self.assertEqual((named["levels"]["type"], named["levels"]["value"]),
                                     ("{%f}", [0.5, 0.25]))

    def test_without_a_merge_each_rank_keeps_its_record(self):
        # (mode of the program, mpirun fails, the records are complete)
        cases = [("abort", True, False), ("kill", True, False), ("unreadable", False, True)]
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
                if not fails:
                    self.assertIn("records were not merged", result.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
