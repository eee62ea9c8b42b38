// The record's output path: the pattern mekal-run is given, checked before
// the program runs and expanded by the recorder in the program.
#pragma once

#include "growable_text.h"

namespace mekal::record {

// Where pattern goes wrong as an output path: NULL when it is good, else a
// message for a user. A pattern holds text, %p, %h, %e and %% only.
const char *pattern_error(const char *pattern);

// Expands %p (pid), %h (host), %e (executable name) and %% in pattern into
// out. Returns false for a pattern that pattern_error refuses, a '/' in host
// or name, or exhausted memory.
bool expand_path(const char *pattern, long pid, const char *host, const char *executable_name,
                 growable_text *out);

// Whether the pattern expands a %p ("%%p" is a '%' and a 'p').
bool holds_pid(const char *pattern);

// The record of one rank of a parallel job: path with ".rank<rank>" before
// a final ".json", or at its end, so that the ranks' records stay apart also
// when path names no process id. False on exhausted memory.
bool rank_path(const char *path, int rank, growable_text *out);

}  // namespace mekal::record
