// Job facts from MPI: the size of the job's communicator, the hosts of its
// ranks and the MPI in use. They exist only between MPI_Init and
// MPI_Finalize; outside, the collectors fail rather than record the facts of
// a lone process, which would be wrong for every rank of a parallel job.
//
// Every MPI call goes through its PMPI_ name: a tool that wraps MPI_Init
// through the profiling interface can collect right after PMPI_Init without
// meeting its own wrappers, and tools that trace the application's MPI calls
// never see these.
#define OMPI_SKIP_MPICXX 1  // the C interface only: no C++ bindings library
#define MPICH_SKIP_MPICXX 1
#include <mpi.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "collect/collect.h"
#include "common/char_classes.h"
#include "mekal.h"

namespace mekal {
namespace {

constexpr int kLibraryTextSize = MPI_MAX_LIBRARY_VERSION_STRING;

// The communicator chosen through mekal_set_communicator. MPI_COMM_WORLD is
// no constant initialiser in every MPI, hence the flag for the default.
MPI_Comm g_chosen_comm{};
bool g_comm_chosen = false;

MPI_Comm job_comm() { return g_comm_chosen ? g_chosen_comm : MPI_COMM_WORLD; }

bool mpi_active() {
    int initialized = 0;
    int finalized = 0;
    if (PMPI_Initialized(&initialized) != MPI_SUCCESS) return false;
    if (PMPI_Finalized(&finalized) != MPI_SUCCESS) return false;
    return initialized != 0 && finalized == 0;
}

// The job's host names, sorted, each distinct name once, in slots of width
// bytes at the front of the block.
struct host_names {
    std::unique_ptr<void, free_deleter> slots;
    int width = 0;
    int distinct = 0;

    const char *name(int index) const {
        return static_cast<const char *>(slots.get()) + static_cast<size_t>(index) * width;
    }
};

int compare_slots(const void *left, const void *right) {
    return std::strcmp(static_cast<const char *>(left), static_cast<const char *>(right));
}

// Sorts count slots of width bytes and moves each distinct name once to the
// front. Returns how many distinct names there are.
int sort_distinct(char *slots, int count, int width) {
    const auto stride = static_cast<size_t>(width);
    std::qsort(slots, static_cast<size_t>(count), stride, compare_slots);
    int distinct = 0;
    for (int i = 0; i < count; ++i) {
        const char *slot = slots + static_cast<size_t>(i) * stride;
        char *front = slots + static_cast<size_t>(distinct) * stride;
        if (distinct > 0 && std::strcmp(slot, front - stride) == 0) continue;
        if (front != slot) std::memcpy(front, slot, stride);
        ++distinct;
    }
    return distinct;
}

// Every rank's host name into names, over comm of size ranks. A failure that
// one rank alone meets is first made known to all, so every rank takes the
// same path through the collectives and none is left waiting in one.
int exchange_host_names(MPI_Comm comm, int size, const char *host, bool host_read,
                        host_names *names) {
    // The longest name with its NUL sets the slot width for all; a probe
    // that failed anywhere leaves the host count unknown everywhere.
    int mine[2] = {host_read ? static_cast<int>(std::strlen(host)) + 1 : 0, host_read ? 0 : 1};
    int most[2] = {0, 0};
    if (PMPI_Allreduce(mine, most, 2, MPI_INT, MPI_MAX, comm) != MPI_SUCCESS) return -1;
    if (most[1] != 0) return -1;

    names->width = most[0];
    names->slots.reset(std::calloc(static_cast<size_t>(size), static_cast<size_t>(most[0])));
    int allocated = names->slots != nullptr ? 1 : 0;
    int everywhere = 0;
    if (PMPI_Allreduce(&allocated, &everywhere, 1, MPI_INT, MPI_MIN, comm) != MPI_SUCCESS)
        return -1;
    if (names->slots == nullptr || everywhere == 0) return -1;

    if (PMPI_Allgather(host, most[0], MPI_CHAR, names->slots.get(), most[0], MPI_CHAR, comm) !=
        MPI_SUCCESS)
        return -1;
    names->distinct = sort_distinct(static_cast<char *>(names->slots.get()), size, most[0]);
    return 0;
}

// Collective over the job's communicator.
int gather_host_names(host_names *names) {
    if (!mpi_active()) return -1;
    const MPI_Comm comm = job_comm();
    int size = 0;
    if (PMPI_Comm_size(comm, &size) != MPI_SUCCESS || size < 1) return -1;

    // Zero-filled and cut at its last byte, so a short name that a probe left
    // unterminated still ends.
    char host[kHostBufferSize] = {};
    const bool host_read = melsys_hostname(host, kHostBufferSize) == 0;
    host[kHostBufferSize - 1] = '\0';

    // A private copy of the communicator: these collectives can never match
    // the application's messages. On it a failing call returns instead of
    // ending the job.
    MPI_Comm own = MPI_COMM_NULL;
    if (PMPI_Comm_dup(comm, &own) != MPI_SUCCESS) return -1;
    (void)PMPI_Comm_set_errhandler(own, MPI_ERRORS_RETURN);
    const int result = exchange_host_names(own, size, host, host_read, names);
    (void)PMPI_Comm_free(&own);
    return result;
}

int record_num_hosts(const host_names &names) {
    return mekal_namevalue("numhosts", mekal_category_general, "mpi", "%u",
                           static_cast<unsigned>(names.distinct));
}

int record_hostlist(const host_names &names) {
    std::unique_ptr<void, free_deleter> list(
        std::malloc(sizeof(char *) * static_cast<size_t>(names.distinct)));
    if (list == nullptr) return -1;
    auto **texts = static_cast<const char **>(list.get());
    for (int i = 0; i < names.distinct; ++i) texts[i] = names.name(i);
    return mekal_namevalue("hostlist", mekal_category_general, "mpi", "[%s]", texts,
                           names.distinct);
}

int record_job_size() {
    if (!mpi_active()) return -1;
    int size = 0;
    if (PMPI_Comm_size(job_comm(), &size) != MPI_SUCCESS) return -1;
    return mekal_namevalue("jobsize", mekal_category_general, "mpi", "%u",
                           static_cast<unsigned>(size));
}

int record_mpi_version() {
    if (!mpi_active()) return -1;
    int major = 0;
    int minor = 0;
    if (PMPI_Get_version(&major, &minor) != MPI_SUCCESS) return -1;
    char text[32];
    (void)std::snprintf(text, sizeof text, "%d.%d", major, minor);
    return mekal_namevalue("mpi_version", mekal_category_general, "mpi", "%v", text);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The implementation's name and version, read from the first line of its
// version text ("Open MPI v4.1.4, package: ...", "MPICH Version: 4.0.2").
// The version is the first word that is a number, a leading 'v' allowed;
// the name is what comes before it, without a trailing "Version" and the
// separators around it. Either stays empty when it is missing.
struct library_text {
    char name[kLibraryTextSize] = {};
    char version[kLibraryTextSize] = {};
};

void split_library_text(const char *text, library_text *out) {
    const size_t line = std::strcspn(text, "\r\n");
    size_t name_end = line;
    for (size_t i = 0; i < line; ++i) {
        if (i > 0 && !is_space_or_tab(text[i - 1])) continue;  // words start after a blank
        const size_t start = i + (text[i] == 'v' || text[i] == 'V' ? 1 : 0);
        if (!is_digit(text[start])) continue;
        size_t end = start;
        while (end < line && (is_digit(text[end]) || text[end] == '.')) ++end;
        while (text[end - 1] == '.') --end;  // "4.1." ends a sentence
        std::memcpy(out->version, text + start, end - start);
        out->version[end - start] = '\0';
        name_end = i;
        break;
    }
    constexpr char kVersionWord[] = "Version";
    constexpr size_t kVersionLength = sizeof kVersionWord - 1;
    for (;;) {
        while (name_end > 0 && (is_space_or_tab(text[name_end - 1]) || text[name_end - 1] == ':' ||
                                text[name_end - 1] == ','))
            --name_end;
        const bool word = name_end >= kVersionLength &&
                          std::strncmp(text + name_end - kVersionLength, kVersionWord,
                                       kVersionLength) == 0 &&
                          (name_end == kVersionLength ||
                           is_space_or_tab(text[name_end - kVersionLength - 1]));
        if (!word) break;
        name_end -= kVersionLength;
    }
    std::memcpy(out->name, text, name_end);
    out->name[name_end] = '\0';
}

// The implementation's version text, split; -1 outside MPI.
int read_library_text(library_text *out) {
    if (!mpi_active()) return -1;
    char text[kLibraryTextSize] = {};
    int length = 0;
    if (PMPI_Get_library_version(text, &length) != MPI_SUCCESS) return -1;
    text[kLibraryTextSize - 1] = '\0';
    split_library_text(text, out);
    return 0;
}

int record_mpi_library(const library_text &parts) {
    if (parts.name[0] == '\0') return -1;
    return mekal_namevalue("mpi_library", mekal_category_general, "mpi", "%s", parts.name);
}

int record_mpi_library_version(const library_text &parts) {
    if (parts.version[0] == '\0') return -1;
    return mekal_namevalue("mpi_library_version", mekal_category_general, "mpi", "%v",
                           parts.version);
}

}  // namespace

int collect_job_facts() {
    int recorded = record_job_size() == 0;
    // One exchange serves both host facts.
    host_names names;
    if (gather_host_names(&names) == 0) {
        recorded += record_num_hosts(names) == 0;
        recorded += record_hostlist(names) == 0;
    }
    recorded += record_mpi_version() == 0;
    // One reading of the version text serves both library facts.
    library_text parts;
    if (read_library_text(&parts) == 0) {
        recorded += record_mpi_library(parts) == 0;
        recorded += record_mpi_library_version(parts) == 0;
    }
    return recorded;
}

}  // namespace mekal

extern "C" MEKAL_API int mekal_job_size(void) { return mekal::record_job_size(); }

extern "C" MEKAL_API int mekal_num_hosts(void) {
    mekal::host_names names;
    if (mekal::gather_host_names(&names) == -1) return -1;
    return mekal::record_num_hosts(names);
}

extern "C" MEKAL_API int mekal_hostlist(void) {
    mekal::host_names names;
    if (mekal::gather_host_names(&names) == -1) return -1;
    return mekal::record_hostlist(names);
}

extern "C" MEKAL_API int mekal_mpi_version(void) { return mekal::record_mpi_version(); }
extern "C" MEKAL_API int mekal_mpi_library(void) {
    mekal::library_text parts;
    if (mekal::read_library_text(&parts) == -1) return -1;
    return mekal::record_mpi_library(parts);
}

extern "C" MEKAL_API int mekal_mpi_library_version(void) {
    mekal::library_text parts;
    if (mekal::read_library_text(&parts) == -1) return -1;
    return mekal::record_mpi_library_version(parts);
}

extern "C" MEKAL_API int mekal_set_communicator(const void *comm) {
    if (comm == nullptr) return -1;
    const MPI_Comm chosen = *static_cast<const MPI_Comm *>(comm);
    if (chosen == MPI_COMM_NULL) return -1;
    // Every collective here gathers within one group; an intercommunicator's
    // would come from the other group. Before MPI_Init only the predefined
    // communicators exist, and none of them is one.
    if (mekal::mpi_active()) {
        int inter = 0;
        if (PMPI_Comm_test_inter(chosen, &inter) != MPI_SUCCESS || inter != 0) return -1;
    }
    mekal::g_chosen_comm = chosen;
    mekal::g_comm_chosen = true;
    return 0;
}
