// An MPI program that finalizes MPI from the destructor of a global object,
// after main has returned: every rank records "rank" and "mesh".
#define OMPI_SKIP_MPICXX 1
#include <mpi.h>

#include "mekal.h"

namespace {

struct mpi_session {
    mpi_session(const mpi_session &) = delete;
    mpi_session &operator=(const mpi_session &) = delete;
    mpi_session() = default;
    ~mpi_session() { MPI_Finalize(); }
} session;

}  // namespace

int main(int argc, char **argv) {
    MPI_Init(&argc, &argv);
    int rank = -1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    mekal_namevalue("rank", mekal_category_general, "job", "%d", rank);
    mekal_namevalue("mesh", mekal_category_general, "job", "%s", "box-64");
    return 0;
}
