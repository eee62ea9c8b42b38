/* An MPI program for the recorder's tests, run under mekal-run. Every rank
 * records "rank" (its rank) and "mesh" (the same on all), then, by the mode
 * in argv[1]:
 *   finalize    ends normally
 *   thread      the same, started with MPI_Init_thread; exits with 4 when
 *               the thread level it is given is none that MPI defines
 *   abort       rank 1 calls MPI_Abort once all ranks are past MPI_Init
 *   kill        rank 1 kills itself with SIGKILL at the same point
 *   unreadable  rank 1 cannot render its values when the merge asks for
 *               them (its own mekal_namevals_to_json stands in, once) */
#define _GNU_SOURCE
#define OMPI_SKIP_MPICXX 1
#include <mpi.h>

#include <dlfcn.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>

#include "mekal.h"

static int g_fail_render;

char *mekal_namevals_to_json(mekal_category_t category) {
    void *symbol = dlsym(RTLD_NEXT, "mekal_namevals_to_json");
    char *(*real)(mekal_category_t);
    memcpy(&real, &symbol, sizeof real); /* ISO C has no cast between the two */
    if (g_fail_render) {
        g_fail_render = 0;
        return NULL;
    }
    return real(category);
}

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
    g_fail_render = rank == 1 && strcmp(mode, "unreadable") == 0;
    MPI_Finalize();
    return bad_level ? 4 : 0;
}
