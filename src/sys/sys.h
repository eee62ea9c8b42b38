// System probe internals: the pieces of the melsys_ probes that are worth
// driving directly (tick arithmetic, stream reading, password-entry copies,
// the two object-list walks). Only src/sys/ touches the operating system.
#pragma once

#include <link.h>
#include <pwd.h>
#include <sched.h>
#include <sys/time.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "mekal.h"

namespace mekal {

// time.cpp
// Ticks per second from query(_SC_CLK_TCK); 100 when the query sets errno
// or reports a rate that cannot divide.
int64_t clock_ticks_per_second(long (*query)(int));
// ticks at rate ticks per second as a timeval; the leftover ticks count the
// truncated quotient 1000000 / rate each. rate must be above 0.
struct timeval ticks_to_timeval(int64_t ticks, int64_t rate);
// Modification time of path into *tv; {0, 0} and -1 when stat fails.
int path_mtime(const char *path, struct timeval *tv);
// Field 22 of a /proc/<pid>/stat line (start in clock ticks since boot).
int parse_stat_starttime(const char *text, int64_t *ticks);
// The same, read from the file at path. -1 when it cannot be read or parsed.
int read_stat_starttime(const char *path, int64_t *ticks);
// The launch on the real-time clock, from a start of start_ticks at rate
// ticks per second on the boot clock and both clocks read now.
struct timeval launch_from_boot_ticks(int64_t start_ticks, int64_t rate,
                                      const struct timespec &real_now,
                                      const struct timespec &boot_now);

// process.cpp
// Resolves path and copies the result into buf, cut to size - 1 bytes.
// -1 (buf untouched) when it does not resolve or buf cannot hold a NUL.
int copy_resolved_path(const char *path, char *buf, size_t size);
// Reads all of stream into a new zero-terminated buffer. Takes the stream
// over and closes it on every path; -1 frees everything and writes nothing.
int read_whole_stream(FILE *stream, char **buf_out, int *len_out);

// identity.cpp
// Copies the login name (cut at its first ',') and the user-information
// field of entry, either output may be null. -1 writes and keeps nothing.
int copy_user_names(const struct passwd *entry, char **gecos_out, char **login_out);

// libraries.cpp
// The second walk's state: where the next name goes and how many fit.
struct library_name_collector {
    const char **names;
    int32_t next_index;
    int32_t capacity;  // slots counted by the first walk; never stored past
};
// dl_iterate_phdr callbacks: count, then collect, the objects with a name.
int count_library_names(struct dl_phdr_info *info, size_t size, void *data);
int collect_library_names(struct dl_phdr_info *info, size_t size, void *data);

// host.cpp
// The decimal digits at the start of text into *value_out and the first
// byte after them into *end_out. false when there is no digit or the value
// overflows 64 bits.
bool parse_decimal(const char *text, uint64_t *value_out, const char **end_out);
// The first line of path without its line end into buf (size >= 2), cut to
// size - 1. -1 when the file cannot be read or is empty.
int read_first_line(const char *path, char *buf, size_t size);
// The value of the first line of a cpuinfo stream whose key names the CPU
// model, in the order of the keys the architectures use. 0 or -1.
int cpuinfo_model(FILE *stream, char *buf, size_t size);
// The unquoted, unescaped value of key in an os-release stream. 0 or -1.
int os_release_value(FILE *stream, const char *key, char *buf, size_t size);
// os_release_value of the first of paths that opens; later paths are only
// fallbacks for a missing file, not for a missing key.
int os_release_from(const char *const *paths, int count, const char *key, char *buf,
                    size_t size);
// A cache size as the kernel writes it ("32K", "8M", "1024") in bytes. 0 or -1.
int parse_cache_size(const char *text, uint64_t *bytes_out);
// Cache index of a cpu's cache directory (.../cpuN/cache): its level,
// type and size. 0, or -1 when any of the three is missing or unreadable.
int cache_entry(const char *cache_dir, int index, int *level_out, char *type_buf,
                size_t type_size, uint64_t *bytes_out);
// CPUs in the affinity mask that query reports, growing the mask while the
// query says it is too small. -1 when the query fails otherwise.
using affinity_query = int (*)(pid_t, size_t, cpu_set_t *);
int count_allowed_cpus(affinity_query query);

}  // namespace mekal
