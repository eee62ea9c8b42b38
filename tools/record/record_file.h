// The run record as text and as a file: the pieces of the recorder that do
// not depend on being preloaded, so that tests can drive them directly.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace mekal::record {

// A growable text in one malloc'd block. A failed allocation sets failed and
// makes every later append a no-op, so callers check once at the end.
struct text_buffer {
    char *data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;

    text_buffer() = default;
    text_buffer(const text_buffer &) = delete;
    text_buffer &operator=(const text_buffer &) = delete;
    ~text_buffer();

    void append(const char *text, size_t count);
    void append(const char *text);
    void append_long(long long number);
    // Hands the block over (NUL-terminated); NULL when an append failed.
    char *release();
};

// Expands %p (pid), %h (host), %e (executable name) and %% in pattern into
// out. Returns false for any other '%' sequence, a '/' in host or name, or
// exhausted memory.
bool expand_path(const char *pattern, long pid, const char *host, const char *executable_name,
                 text_buffer *out);

// The record of one rank of an MPI job while the job runs: path with
// ".rank<rank>" before a final ".json", or at its end. The ranks' records
// stay apart also when path names no process id. False on exhausted memory.
bool rank_path(const char *path, int rank, text_buffer *out);

// What the record says of the program, each member already JSON text.
struct program_facts {
    const char *executable;  // a JSON string
    const char *argv;        // a JSON array of strings
    long pid;
    const char *host;  // a JSON string
};

// The whole record document. values is the registry's JSON array text (one
// entry per line). exit_status is ignored unless has_status. A job_size
// above 0 marks the record of a whole MPI job of that many ranks.
char *build_record(const program_facts &program, const char *version_json, const char *values,
                   bool complete, bool has_status, int exit_status, int job_size = 0);

// Values recorded before a clean (snapshot) followed by those recorded
// since (current), both one entry per line as the registry renders them; a
// name recorded again after the clean keeps only its newer entry. Returns a
// new text, or NULL on exhausted memory.
char *merge_values(const char *snapshot, const char *current);

// Writes text to path through a temporary file in the same directory and a
// rename, so a reader sees the old file or the new one, never a part. The
// file gets mode (the caller applies the umask). Returns 0, or an errno
// value with the temporary file removed.
int write_atomically(const char *path, const char *text, size_t length, mode_t mode);

}  // namespace mekal::record
