// What the recorder's parts share: the program's ending and cleans, which
// the interposed functions report (hooks.cpp), and the job's record, which
// the MPI build's wrappers build (mpi_hooks.cpp).
#pragma once

#include <cerrno>

namespace mekal::record {

class entry_list;

// Keeps errno as the program left it across the recorder's own work.
struct errno_guard {
    int saved = errno;
    ~errno_guard() { errno = saved; }
};

// The program ends normally with status (exit, a return from main, _exit):
// the record is written complete, in the recorded process only.
void program_exits(int status);
// A clean is about to release every value: the record keeps them.
void clean_coming();

// ---- the ranks of a job (MPI build). Each is a no-op where the recorder
// is not recording.

// The values of this process's record now, or NULL.
const entry_list *current_values();
// After MPI_Init: this process is rank of size. Its record takes a name of
// its own (unless the launcher's rank gave it one) and is rewritten, with
// the job's facts now in the registry.
void job_started(int rank, int size);
// Before the merge: this rank's own record, written now, so that its values
// are on disk before it waits for any other rank.
void write_own_record();
// Rank 0: the job's record of size ranks (takes job), written now, and at
// the exit again with what rank 0 recorded since. False when it could not
// be written: the rank's own record stays.
bool write_job_record(entry_list *job, int size);
// Every other rank, once rank 0 wrote the job's record: removes this rank's
// record and writes none at the exit.
void leave_record_to_rank_zero();
// MPI_Finalize is done: an exit that came before it (from a destructor
// that finalizes) completes the record now.
void job_ended();
// Rank 0, when the merge was given up: one line on stderr saying why.
void report_unmerged(const char *why);

}  // namespace mekal::record
