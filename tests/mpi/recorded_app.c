/* An MPI program for the recorder's tests, run under mekal-run. Every rank
 * records "rank" (its rank) and "mesh" (the same on all), then, by the mode
 * in argv[1]:
 *   finalize    ends normally
 *   thread      the same, started with MPI_Init_thread; exits with 4 when
 *               the thread level it is given is none that MPI defines
 *   abort       rank 1 calls MPI_Abort once all ranks are past MPI_Init
 *   kill        rank 1 kills itself with SIGKILL at the same point
 *   blocked     rank 0 makes a directory job.json, where the job's record
 *               would go
 *   fail        rank 1 exits with 3 before MPI_Finalize; the others
 *               record "late" and finalize
 *   nan         "x" is NaN, +inf or -inf by rank
 * Rank 0 records "after" once MPI is finalized. Built with OWN_WRAPPERS,
 * the program has MPI_Init and MPI_Finalize of its own that call PMPI_. */
#define _GNU_SOURCE
#define OMPI_SKIP_MPICXX 1
#include <mpi.h>

#include <math.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "mekal.h"

#ifdef OWN_WRAPPERS
int MPI_Init(int *argc, char ***argv) { return PMPI_Init(argc, argv); }
int MPI_Finalize(void) { return PMPI_Finalize(); }
#endif

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "finalize";
    int provided = -1;
    if (strcmp(mode, "thread") == 0) MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
    else MPI_Init(&argc, &argv);
    const int bad_level = strcmp(mode, "thread") == 0 && provided != MPI_THREAD_SINGLE &&
                          provided != MPI_THREAD_FUNNELED && provided != MPI_THREAD_SERIALIZED &&
                          provided != MPI_THREAD_MULTIPLE;
    int rank = -1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    mekal_namevalue("rank", mekal_category_general, "job", "%d", rank);
    mekal_namevalue("mesh", mekal_category_general, "job", "%s", "box-64");
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank == 1 && strcmp(mode, "abort") == 0) MPI_Abort(MPI_COMM_WORLD, 3);
    if (rank == 1 && strcmp(mode, "kill") == 0) raise(SIGKILL);
    if (rank == 1 && strcmp(mode, "fail") == 0) exit(3);
    if (rank == 0 && strcmp(mode, "blocked") == 0) mkdir("job.json", 0700);
    if (strcmp(mode, "fail") == 0) mekal_namevalue("late", mekal_category_general, "job", "%d", rank);
    const double odd[] = {NAN, INFINITY, -INFINITY};
    if (strcmp(mode, "nan") == 0) mekal_namevalue("x", mekal_category_general, "job", "%f", odd[rank % 3]);
    MPI_Finalize();
    if (rank == 0) mekal_namevalue("after", mekal_category_general, "job", "%d", 1);
    return bad_level ? 4 : 0;
}
