// Files written whole or not at all, as git and rsync write theirs: the
// recorder's records and mekal-report's pages.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace mekal::record {

// Writes text to path through a temporary file in the same directory and a
// rename, so a reader sees the old file or the new one, never a part. Paths
// of any length and file names up to the system's limit work. The file gets
// mode (the caller applies the umask). Returns 0, or an errno value with the
// temporary file removed.
int write_atomically(const char *path, const char *text, size_t length, mode_t mode);

}  // namespace mekal::record
