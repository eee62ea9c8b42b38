// The run record as text and as a file.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "text_buffer.h"

namespace mekal::record {

class entry_list;

// What the record says besides its values; the texts are JSON already.
struct record_header {
    const char *executable;  // a JSON string
    const char *argv;        // a JSON array of strings
    long pid;
    const char *host;  // a JSON string
    bool complete;
    bool has_status;
    int exit_status;
    int job_size;  // above 0: the record of a whole MPI job of that many ranks
};

// The whole record document, or NULL on exhausted memory.
char *build_record(const record_header &header, const entry_list &values);

// Writes text to path through a temporary file in the same directory and a
// rename, so a reader sees the old file or the new one, never a part. Paths
// of any length and file names up to the system's limit work. The file gets
// mode (the caller applies the umask). Returns 0, or an errno value with the
// temporary file removed.
int write_atomically(const char *path, const char *text, size_t length, mode_t mode);

}  // namespace mekal::record
