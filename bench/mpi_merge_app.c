/* The values of an MPI job for the merge benchmark (bench/mpi_merge.py),
 * run under mekal-run: every rank records COUNT values of which DIFFERING
 * differ between ranks, spread over the list, then finalizes.
 *
 *   mpi_merge_app [COUNT [DIFFERING]]     defaults: 1000 10
 *
 * A third of the values are ints, a third doubles and a third paths, as an
 * application's settings and results might be. */
#define OMPI_SKIP_MPICXX 1
#include <mpi.h>

#include <stdio.h>
#include <stdlib.h>

#include "mekal.h"

int main(int argc, char **argv) {
    MPI_Init(&argc, &argv);
    const int count = argc > 1 ? atoi(argv[1]) : 1000;
    const int differing = argc > 2 ? atoi(argv[2]) : 10;
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    const int every = differing > 0 ? count / differing : count + 1;
    int status = 0;
    for (int i = 0; i < count; ++i) {
        /* Value i differs between ranks when it is one of the evenly spread
         * DIFFERING; it is the same on every rank otherwise. */
        const int own = differing > 0 && i % every == 0 && i / every < differing ? rank : 0;
        char name[32];
        snprintf(name, sizeof name, "setting_%05d", i);
        if (i % 3 == 0) {
            status |= mekal_namevalue(name, mekal_category_general, "bench", "%d", i + own);
        } else if (i % 3 == 1) {
            status |= mekal_namevalue(name, mekal_category_general, "bench", "%f", i * 0.25 + own);
        } else {
            char path[64];
            snprintf(path, sizeof path, "/data/run/part-%05d-of-rank-%d.h5", i, own);
            status |= mekal_namevalue(name, mekal_category_general, "bench", "%p", path);
        }
    }
    MPI_Finalize();
    return status != 0;
}
