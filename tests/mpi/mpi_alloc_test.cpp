// Each allocation of the collective host facts failed in turn on rank 1
// alone: no rank is left waiting in a collective, the failing rank returns
// -1 and records nothing, and no block of the library is left over.
#define OMPI_SKIP_MPICXX 1
#include <mpi.h>

#include <gtest/gtest.h>

#include "alloc_hooks.h"
#include "mekal.h"

namespace {

using Collector = std::pair<const char *, int (*)()>;

TEST(MpiAllocFailure, AFailingRankRecordsNothingAndLeaksNothing) {
    int rank = -1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    for (const auto &[name, collect] :
         {Collector{"numhosts", mekal_num_hosts}, {"hostlist", mekal_hostlist}}) {
        int failing = 1;
        long n = 0;
        for (; failing != 0; ++n) {  // while rank 1 still met a failure
            const alloc_hooks::Scope scope;
            const long failed_before = alloc_hooks::counts().failed;
            if (rank == 1) alloc_hooks::fail_nth(n + 1);
            const int result = collect();
            alloc_hooks::fail_nth(0);
            failing = alloc_hooks::counts().failed != failed_before;
            const bool found = mekal_get_nameval(name, nullptr, nullptr, nullptr, nullptr) == 0;
            EXPECT_EQ(found, result == 0) << name << ", allocation " << n + 1;
            EXPECT_TRUE(failing == 0 || result == -1) << name << ", allocation " << n + 1;
            mekal_clean();
            EXPECT_EQ(scope.allocations(), scope.frees()) << name << ", allocation " << n + 1;
            MPI_Allreduce(MPI_IN_PLACE, &failing, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
        }
        EXPECT_GE(n, 3) << name;  // the gather's block, then the entry's
    }
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    MPI_Init(&argc, &argv);
    const int result = RUN_ALL_TESTS();
    MPI_Finalize();
    return result;
}
