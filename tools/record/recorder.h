// What the recorder's parts share: the settings mekal-run passes through the
// environment, and the exit path the interposed functions call.
#pragma once

#include <cerrno>

namespace mekal::record {

// Keeps errno as the program left it across the recorder's own work.
struct errno_guard {
    int saved = errno;
    ~errno_guard() { errno = saved; }
};

// The record's path when mekal-run is given none.
inline constexpr char kDefaultPattern[] = "mekal-%e-%h-%p.json";
// The most --env prefixes a run takes.
inline constexpr int kMaxPrefixes = 64;
// The record's path, with %p, %h, %e; relative to the working directory.
inline constexpr char kOutputVariable[] = "MEKAL_RECORD_OUTPUT";
// Prefixes of environment variables to record, separated by ':'.
inline constexpr char kEnvVariable[] = "MEKAL_RECORD_ENV";
// "1": programs that this one executes are recorded too.
inline constexpr char kFollowVariable[] = "MEKAL_RECORD_FOLLOW";

// The status the program passed to exit or returned from main.
void note_exit_status(int status);
// Writes the complete record once, in the recorded process only.
void finish();
// After a clean, which released the recorder's observer: registers it again.
void observe_again();

#ifdef MEKAL_RECORD_MPI
// The MPI build: what the wrappers of MPI_Init and MPI_Finalize ask of the
// recorder. Each is a no-op where the recorder is not recording.

// The values as this process's record holds them, or NULL (also when the
// recorder is not recording): the caller frees them.
char *current_values();
// After MPI_Init: this process is rank of size. Its record takes a name of
// its own (unless the launcher's rank gave it one) and is rewritten, with
// the job's facts now in the registry.
void mpi_started(int rank, int size);
// Rank 0: writes the job's record with values (the job's) and keeps them,
// with own_values (its own at the merge), to rewrite it at exit; takes both
// blocks. false when the record could not be written: the rank's own
// record is then kept.
bool write_job_record(char *values, char *own_values, int size);
// Every other rank, once rank 0 wrote the job's record: removes this rank's
// record and writes none at exit.
void leave_record_to_rank_zero();
// Rank 0, when the merge was given up: one line on stderr saying why.
void report_unmerged(const char *why);
#endif

}  // namespace mekal::record
