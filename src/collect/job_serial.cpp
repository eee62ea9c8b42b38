// Job facts in the build without MPI: a process on its own is a job of one
// rank on one host, and the facts that only MPI knows do not exist.
#include "collect/collect.h"
#include "mekal.h"

namespace mekal {
namespace {

int record_one(const char *name) {
    return mekal_namevalue(name, mekal_category_general, "mpi", "%u", 1u);
}

}  // namespace

int collect_job_facts() {
    int recorded = record_one("jobsize") == 0;
    recorded += record_one("numhosts") == 0;
    return recorded;
}

}  // namespace mekal

extern "C" MEKAL_API int mekal_num_hosts(void) { return mekal::record_one("numhosts"); }
extern "C" MEKAL_API int mekal_job_size(void) { return mekal::record_one("jobsize"); }

extern "C" MEKAL_API int mekal_hostlist(void) { return -1; }
extern "C" MEKAL_API int mekal_mpi_version(void) { return -1; }
extern "C" MEKAL_API int mekal_mpi_library(void) { return -1; }
extern "C" MEKAL_API int mekal_mpi_library_version(void) { return -1; }
extern "C" MEKAL_API int mekal_set_communicator(const void *comm) {
    (void)comm;
    return -1;
}
