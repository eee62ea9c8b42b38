// Collector internals shared by the files of src/collect/.
#pragma once

namespace mekal {

// job_serial.cpp, or job_mpi.cpp in the MPI build: records the facts of the
// job (its size, its hosts, the MPI in use) for mekal_collect_all and returns
// how many were recorded. Collective in the MPI build.
int collect_job_facts();

}  // namespace mekal
