// Collector internals shared by the files of src/collect/.
#pragma once

#include <cstdlib>

namespace mekal {

// Room for a host name, as the host name collectors ask the probe for it.
inline constexpr int kHostBufferSize = 512;

// Releases a malloc'd block held by a std::unique_ptr.
struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};

// job_serial.cpp, or job_mpi.cpp in the MPI build: records the facts of the
// job (its size, its hosts, the MPI in use) for mekal_collect_all and returns
// how many were recorded. Collective in the MPI build.
int collect_job_facts();

}  // namespace mekal
