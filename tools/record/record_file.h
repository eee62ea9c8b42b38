// The run record as text.
#pragma once

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

}  // namespace mekal::record
