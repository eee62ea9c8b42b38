"""The merge of an MPI job's records: the bytes rank 0 receives and the time
the merge takes, at 2, 4 and 8 ranks (more than this machine's cores),
for 1,000 and 10,000 values per rank of which 10, and 1,000 of which 100,
differ between ranks.

    python3 bench/mpi_merge.py [BUILD_DIR] [REPEATS]     defaults: build-mpi-bench 5

BUILD_DIR is an MPI build with the benchmarks (-DMEKAL_MPI=ON
-DMEKAL_BUILD_BENCHMARKS=ON, Release) in which mekal_run, mekal_record and
mpi_merge_app are built. With MEKAL_RECORD_MERGE_FIGURES set, rank 0's
recorder reports the figures of its merge in one line on stderr. The records
go to a scratch directory in BUILD_DIR.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-mpi-bench")
REPEATS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
FIGURES = re.compile(r"merge of (\d+) ranks: (\d+) values the same on every rank, (\d+) per rank; "
                     r"(\d+) bytes received by rank 0; ([0-9.]+) s to merge, ([0-9.]+) s with")

env = dict(os.environ, OMPI_MCA_rmaps_base_oversubscribe="1", MEKAL_RECORD_MERGE_FIGURES="1")
if os.geteuid() == 0:
    env.update(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
scratch = os.path.join(BUILD, "mpi-merge")
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
record = os.path.join(scratch, "job.json")


def run(ranks, count, differing):
    command = ["mpirun", "-np", str(ranks), os.path.join(BUILD, "bin", "mekal-run"), "-o", record,
               "--", os.path.join(BUILD, "bench", "mpi_merge_app"), str(count), str(differing)]
    result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=600)
    found = FIGURES.search(result.stderr)
    if result.returncode != 0 or found is None:
        sys.exit("mpi_merge: %s failed:\n%s" % (" ".join(command), result.stderr))
    return [int(x) for x in found.groups()[1:4]] + [float(x) * 1e3 for x in found.groups()[4:6]]


print("| ranks | values per rank | differing | entries once | entries per rank "
      "| bytes at rank 0 | per other rank | record bytes | merge ms | with write ms |")
print("|---|---|---|---|---|---|---|---|---|---|")
for count, differing in ((1000, 10), (10000, 10), (1000, 100)):
    for ranks in (2, 4, 8):
        runs = [run(ranks, count, differing) for _ in range(REPEATS)]
        equal, per_rank, received = runs[-1][:3]
        merge = statistics.median(r[3] for r in runs)
        total = statistics.median(r[4] for r in runs)
        print("| %d | %d | %d | %d | %d | %d | %d | %d | %.2f | %.2f |" % (
            ranks, count, differing, equal, per_rank, received, received // (ranks - 1),
            os.path.getsize(record), merge, total))
print("\nmedians of %d runs; bytes and entries from the last (the recorder's own values "
      "that differ between ranks, such as the load average, count too)" % REPEATS)
