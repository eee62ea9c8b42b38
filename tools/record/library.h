// The library the recorder was built with, reached by its installed path
// rather than by whatever libmekal.so.0 the environment (LD_LIBRARY_PATH)
// would find first: an older copy there may lack what the recorder calls.
// The copies still share one registry, as every copy in a process does.
#pragma once

#include <sys/time.h>

#include <cstddef>

#include "mekal.h"

namespace mekal::record {

// Every function of the library the recorder calls, by its exported name.
#define MEKAL_RECORD_CALLS(X)                                                                  \
    X(mekal_raw_namevalue, int, (const char *, mekal_category_t, const char *, mekal_value_t *, \
                                 mekal_datatype_t *))                                          \
    X(mekal_list_namevals_with_info, void, (int, mekal_category_t, mekal_nameval_info_cb_t,    \
                                            void *))                                           \
    X(mekal_get_nameval, int, (const char *, mekal_datatype_t **, mekal_value_t **,             \
                               mekal_category_t *, const char **))                            \
    X(mekal_value_to_json, char *, (const mekal_value_t *, const mekal_datatype_t *))          \
    X(mekal_type_to_string, char *, (const mekal_datatype_t *, int))                           \
    X(mekal_get_basetype, mekal_datatype_t *, (mekal_type_t))                                  \
    X(mekal_num_subvals, int, (const mekal_datatype_t *))                                      \
    X(mekal_get_subval, int, (const mekal_datatype_t *, const mekal_value_t *, int,            \
                              mekal_datatype_t **, mekal_value_t *))                           \
    X(mekal_collect_all, int, (void))                                                          \
    X(mekal_hostinfo, int, (void))                                                             \
    X(mekal_jobinfo, int, (void))                                                              \
    X(mekal_environment, int, (const char *const *, int))                                      \
    X(melsys_get_executable, int, (char *, size_t))                                            \
    X(melsys_hostname, int, (char *, int))                                                     \
    X(melsys_get_times, int, (struct timeval *, struct timeval *))                             \
    X(melsys_starttime, int, (struct timeval *))                                               \
    X(melsys_curtime, int, (struct timeval *))

struct library_calls {
#define MEKAL_RECORD_MEMBER(name, result, parameters) result(*name) parameters = nullptr;
    MEKAL_RECORD_CALLS(MEKAL_RECORD_MEMBER)
#undef MEKAL_RECORD_MEMBER
};

// Filled by load_library.
extern library_calls lib;

// Opens the library installed beside the recorder, once. Returns NULL, or
// why it cannot be used (then every member of lib may be NULL).
const char *load_library();

// The raw entry that recordings reach once the recorder has seen them:
// the next definition in the process's search order, else the library's.
extern int (*next_raw_namevalue)(const char *, mekal_category_t, const char *, mekal_value_t *,
                                 mekal_datatype_t *);

}  // namespace mekal::record
