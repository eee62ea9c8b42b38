// The MPI build's wrappers of the start and the end of MPI: MPI_Init,
// MPI_Init_thread and MPI_Finalize, and their PMPI_ twins too, which
// Fortran's bindings and programs with wrappers of their own call directly.
// Each calls the next definition and returns what it returned; whichever is
// reached first does the recorder's work, once. After a successful start
// every rank collects the job's facts and rewrites its own record; before
// MPI finalizes, every rank writes its own record, then the ranks merge
// their values and rank 0 writes the one record of the job (job_merge.h
// says how only what differs reaches rank 0).
//
// The recorder talks on its own duplicate of MPI_COMM_WORLD, so it never
// matches the application's messages, and its errors return instead of
// ending the job. Every step where one rank may fail alone (memory, a value
// it cannot read) is first agreed on by all, so no rank is left waiting in
// a collective; on any failure each rank keeps and writes its own record.
#define OMPI_SKIP_MPICXX 1  // the C interface only
#define MPICH_SKIP_MPICXX 1
#include <mpi.h>

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "job_merge.h"
#include "library.h"
#include "recorder.h"

namespace {

// Set: rank 0 writes one line with the figures of the merge on stderr.
constexpr char kFiguresVariable[] = "MEKAL_RECORD_MERGE_FIGURES";

struct job_state {
    MPI_Comm comm = MPI_COMM_NULL;  // the recorder's own duplicate of MPI_COMM_WORLD
    int rank = 0;
    int size = 0;
} g_job;

// What rank 0 reports with kFiguresVariable set.
struct merge_figures {
    unsigned long long received = 0;  // bytes the recorder's collectives brought in
    mekal::record::merge_counts counts;
    double started = 0;
    double merged = 0;  // the job's values built, before the record is written
};

// Frees its block on every way out.
struct heap_block {
    void *pointer = nullptr;
    explicit heap_block(void *p = nullptr) : pointer(p) {}
    heap_block(const heap_block &) = delete;
    heap_block &operator=(const heap_block &) = delete;
    ~heap_block() { std::free(pointer); }
    template <typename T> T *as() const { return static_cast<T *>(pointer); }
};

double seconds_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void start_job() {
    mekal::record::errno_guard keep_errno;
    // Collective on every rank: the job's size, hosts and MPI.
    if (mekal::record::current_values() == nullptr) return;  // not recording here
    (void)mekal::record::lib.mekal_collect_all();
    int rank = 0;
    int size = 0;
    if (PMPI_Comm_rank(MPI_COMM_WORLD, &rank) != MPI_SUCCESS ||
        PMPI_Comm_size(MPI_COMM_WORLD, &size) != MPI_SUCCESS)
        return;
    // A failing duplication must return, not end the job: the world's error
    // handler, the application's, is put back right after.
    MPI_Errhandler theirs = MPI_ERRHANDLER_NULL;
    const bool swapped = PMPI_Comm_get_errhandler(MPI_COMM_WORLD, &theirs) == MPI_SUCCESS &&
                         PMPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN) == MPI_SUCCESS;
    MPI_Comm own = MPI_COMM_NULL;
    const bool duplicated = PMPI_Comm_dup(MPI_COMM_WORLD, &own) == MPI_SUCCESS;
    if (swapped) (void)PMPI_Comm_set_errhandler(MPI_COMM_WORLD, theirs);
    if (theirs != MPI_ERRHANDLER_NULL) (void)PMPI_Errhandler_free(&theirs);
    if (duplicated) {
        (void)PMPI_Comm_set_errhandler(own, MPI_ERRORS_RETURN);
        g_job = {own, rank, size};
    }
    mekal::record::job_started(rank, size);
}

// Whether ok holds on every rank; false also when the reduction fails.
bool everywhere(bool ok, merge_figures *figures) {
    int mine = ok ? 1 : 0;
    int all = 0;
    if (PMPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_MIN, g_job.comm) != MPI_SUCCESS) return false;
    figures->received += sizeof all;
    return all == 1;
}

// Rank 0's share of the gather of the answers: their lengths, where each
// lands, and the block they land in.
struct gathered {
    heap_block lengths;  // long long per rank, -1 for a rank that failed
    heap_block counts;   // int per rank
    heap_block offsets;  // int per rank
    heap_block text;
    heap_block starts;  // const char * per rank
    heap_block sizes;   // size_t per rank

    bool allocate(int size) {
        const auto n = static_cast<size_t>(size);
        lengths.pointer = std::calloc(n, sizeof(long long));
        counts.pointer = std::calloc(n, sizeof(int));
        offsets.pointer = std::calloc(n, sizeof(int));
        starts.pointer = std::calloc(n, sizeof(const char *));
        sizes.pointer = std::calloc(n, sizeof(size_t));
        return lengths.pointer && counts.pointer && offsets.pointer && starts.pointer &&
               sizes.pointer;
    }

    // Room for the answers, when every rank has one and they fit MPI's int
    // counts. Returns the total, or -1.
    long long place(int size) {
        long long total = 0;
        for (int rank = 0; rank < size; ++rank) {
            const long long length = lengths.as<long long>()[rank];
            if (length < 0 || length > INT_MAX - total) return -1;
            counts.as<int>()[rank] = static_cast<int>(length);
            offsets.as<int>()[rank] = static_cast<int>(total);
            total += length;
        }
        text.pointer = std::malloc(static_cast<size_t>(total) + 1);
        if (text.pointer == nullptr) return -1;
        for (int rank = 0; rank < size; ++rank) {
            starts.as<const char *>()[rank] = text.as<char>() + offsets.as<int>()[rank];
            sizes.as<size_t>()[rank] = static_cast<size_t>(counts.as<int>()[rank]);
        }
        return total;
    }
};

// The merge, collective on the recorder's communicator. Returns NULL when
// rank 0 wrote the job's record, else why not.
const char *merge_job(merge_figures *figures) {
    const MPI_Comm comm = g_job.comm;
    const bool root = g_job.rank == 0;
    const mekal::record::entry_list *values = mekal::record::current_values();
    mekal::record::value_table table;
    const bool indexed = values != nullptr && mekal::record::index_values(*values, &table);

    // One reduction tells every rank whether all have their values, and how
    // many names rank 0 has.
    uint64_t mine[2] = {indexed ? 0u : 1u, root ? table.count : 0u};
    uint64_t all[2] = {1, 0};
    if (PMPI_Allreduce(mine, all, 2, MPI_UINT64_T, MPI_MAX, comm) != MPI_SUCCESS)
        return "an MPI call failed";
    figures->received += sizeof all;
    if (all[0] != 0) return "a rank could not take its values (out of memory, or two names of one hash)";
    const uint64_t names = all[1];
    if (names > INT_MAX / 2) return "too many values";

    heap_block digest(std::malloc(2 * sizeof(uint64_t) * (names + 1)));
    gathered answers;
    const bool ready = digest.pointer != nullptr && (!root || answers.allocate(g_job.size));
    if (!everywhere(ready, figures)) return "out of memory";
    if (root) mekal::record::root_digest(table, digest.as<uint64_t>());
    if (PMPI_Bcast(digest.pointer, static_cast<int>(2 * names), MPI_UINT64_T, 0, comm) !=
        MPI_SUCCESS)
        return "an MPI call failed";

    size_t answer_length = 0;
    heap_block answer(root ? nullptr
                           : mekal::record::answer_digest(table, digest.as<uint64_t>(), names,
                                                          &answer_length));
    long long length = -1;
    if (root) length = 0;
    else if (answer.pointer != nullptr) length = static_cast<long long>(answer_length);
    if (PMPI_Gather(&length, 1, MPI_LONG_LONG, answers.lengths.pointer, 1, MPI_LONG_LONG, 0,
                    comm) != MPI_SUCCESS)
        return "an MPI call failed";
    int proceed = 0;
    if (root) {
        figures->received += sizeof(long long) * static_cast<unsigned>(g_job.size - 1);
        proceed = answers.place(g_job.size) >= 0 ? 1 : 0;
    }
    if (PMPI_Bcast(&proceed, 1, MPI_INT, 0, comm) != MPI_SUCCESS) return "an MPI call failed";
    if (proceed == 0) return "out of memory, or more than 2 GiB of values that differ";
    if (PMPI_Gatherv(answer.pointer, static_cast<int>(answer_length), MPI_CHAR,
                     answers.text.pointer, answers.counts.as<int>(), answers.offsets.as<int>(),
                     MPI_CHAR, 0, comm) != MPI_SUCCESS)
        return "an MPI call failed";

    int written = 0;
    if (root) {
        for (int rank = 1; rank < g_job.size; ++rank)
            figures->received += static_cast<unsigned>(answers.counts.as<int>()[rank]);
        mekal::record::entry_list job;
        const bool merged = mekal::record::merge_answers(
            table, answers.starts.as<const char *>(), answers.sizes.as<size_t>(), g_job.size, &job,
            &figures->counts);
        figures->merged = seconds_now();
        written = merged && mekal::record::write_job_record(&job, g_job.size) ? 1 : 0;
    }
    if (PMPI_Bcast(&written, 1, MPI_INT, 0, comm) != MPI_SUCCESS) return "an MPI call failed";
    if (written == 0) return "rank 0 could not merge the answers or write the job's record";
    if (!root) mekal::record::leave_record_to_rank_zero();
    return nullptr;
}

void report_figures(const merge_figures &figures, double ended) {
    char line[512];
    const int n = std::snprintf(
        line, sizeof line,
        "mekal-run: merge of %d ranks: %zu values the same on every rank, %zu per rank; "
        "%llu bytes received by rank 0; %.6f s to merge, %.6f s with the record written\n",
        g_job.size, figures.counts.equal, figures.counts.per_rank, figures.received,
        figures.merged > 0 ? figures.merged - figures.started : 0.0, ended - figures.started);
    if (n > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
}

void end_job() {
    if (g_job.comm == MPI_COMM_NULL) return;
    mekal::record::errno_guard keep_errno;
    // On disk before waiting for anyone: a rank that fails now costs the
    // others nothing they recorded.
    mekal::record::write_own_record();
    merge_figures figures;
    figures.started = seconds_now();
    const char *failure = merge_job(&figures);
    const double ended = seconds_now();
    if (g_job.rank == 0) {
        if (failure != nullptr) mekal::record::report_unmerged(failure);
        const char *wanted = std::getenv(kFiguresVariable);
        if (failure == nullptr && wanted != nullptr && *wanted != '\0') report_figures(figures, ended);
    }
    (void)PMPI_Comm_free(&g_job.comm);
    g_job.comm = MPI_COMM_NULL;
}

// The start and the end, each done once, by whichever wrapper is reached
// first: a program's own MPI_Init may call PMPI_Init, and Fortran's calls
// PMPI_Init alone.
bool g_started = false;
bool g_ended = false;

int started(int result) {
    if (result == MPI_SUCCESS && !g_started) {
        g_started = true;
        start_job();
    }
    return result;
}

template <typename Function>
Function next(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using init_function = int (*)(int *, char ***);
using init_thread_function = int (*)(int *, char ***, int, int *);
using finalize_function = int (*)();

int finalize(finalize_function next_finalize) {
    const bool ours = g_started && !g_ended;
    if (ours) {
        g_ended = true;
        end_job();
    }
    const int result = next_finalize != nullptr ? next_finalize() : MPI_ERR_OTHER;
    if (ours) mekal::record::job_ended();
    return result;
}

}  // namespace

#define MEKAL_RECORD_EXPORT extern "C" __attribute__((visibility("default")))

MEKAL_RECORD_EXPORT int MPI_Init(int *argc, char ***argv) {
    static const auto next_init = next<init_function>("MPI_Init");
    return started(next_init != nullptr ? next_init(argc, argv) : MPI_ERR_OTHER);
}

MEKAL_RECORD_EXPORT int PMPI_Init(int *argc, char ***argv) {
    static const auto next_init = next<init_function>("PMPI_Init");
    return started(next_init != nullptr ? next_init(argc, argv) : MPI_ERR_OTHER);
}

MEKAL_RECORD_EXPORT int MPI_Init_thread(int *argc, char ***argv, int required, int *provided) {
    static const auto next_init = next<init_thread_function>("MPI_Init_thread");
    return started(next_init != nullptr ? next_init(argc, argv, required, provided) : MPI_ERR_OTHER);
}

MEKAL_RECORD_EXPORT int PMPI_Init_thread(int *argc, char ***argv, int required, int *provided) {
    static const auto next_init = next<init_thread_function>("PMPI_Init_thread");
    return started(next_init != nullptr ? next_init(argc, argv, required, provided) : MPI_ERR_OTHER);
}

MEKAL_RECORD_EXPORT int MPI_Finalize(void) {
    static const auto next_finalize = next<finalize_function>("MPI_Finalize");
    return finalize(next_finalize);
}

MEKAL_RECORD_EXPORT int PMPI_Finalize(void) {
    static const auto next_finalize = next<finalize_function>("PMPI_Finalize");
    return finalize(next_finalize);
}
