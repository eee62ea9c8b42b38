/*
 * mekal: record metadata about one run of a program as named, typed values.
 *
 * Values are recorded with a printf-like call (mekal_namevalue), seen by
 * observers at the moment they are recorded, and can be looked up or listed
 * later. Every copy of the library loaded into one process shares one
 * registry. The library takes no locks: callers serialise all calls.
 *
 * Memory: texts and datatypes returned to the caller (mekal_type_to_string,
 * the JSON texts, mekal_new_datatype, the heap results of the melsys_
 * probes) belong to the caller and are released with free(). Pointers
 * handed to callbacks and out of lookups belong to the registry.
 *
 * Results: 0 on success and -1 on failure or when nothing was found;
 * functions that return data return NULL on failure.
 */
#ifndef MEKAL_H
#define MEKAL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h> /* struct timeval */
#include <time.h>     /* struct timespec */

/* mekal_target_buildinfo (CMake) names a generated header that defines the
 * source revision macros read by MEKAL_BUILDINFO(). */
#ifdef MEKAL_BUILDINFO_HEADER
/* cppcheck-suppress preprocessorErrorDirective ; the name comes from the build */
#include MEKAL_BUILDINFO_HEADER
#endif

#if defined(__GNUC__) || defined(__clang__)
#define MEKAL_API __attribute__((visibility("default")))
#else
#define MEKAL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MEKAL_VERSION_MAJOR 0
#define MEKAL_VERSION_MINOR 5
#define MEKAL_VERSION_PATCH 0

/* ---------------------------------------------------------------- codes */

/* Category of a recording. Only 1 (wildcard in filters) and 4 (control
 * events, never stored) mean something to the library; any other value is
 * stored and filtered like these. */
typedef int32_t mekal_category_t;
enum mekal_category_code {
    mekal_category_all = 1,         /* wildcard in observer and listing filters */
    mekal_category_general = 2,     /* run metadata; every built-in collector */
    mekal_category_performance = 3, /* the timings recorded by mekal_fini */
    mekal_category_control = 4      /* "fini", "flush", "clean"; never stored */
};

/* Type code of a datatype. The values are ABI and never reused. */
typedef int32_t mekal_type_t;
enum mekal_type_code {
    mekal_type_unset = 0,
    mekal_type_long = 1,
    mekal_type_unsigned_long = 2,
    mekal_type_int = 3,
    mekal_type_unsigned_int = 4,
    mekal_type_double = 5,
    mekal_type_date = 6,
    mekal_type_timeval = 7,
    mekal_type_version = 8,
    mekal_type_string = 9,
    mekal_type_catstring = 10,
    mekal_type_path = 11,
    mekal_type_range = 12,
    mekal_type_set = 13,
    mekal_type_list = 14,
    mekal_type_tuple = 15,
    mekal_type_long_long = 16,
    mekal_type_unsigned_long_long = 17,
    mekal_type_jsonstring = 18
};

/* Scale of measurement of a datatype. */
typedef int32_t mekal_numerical_t;
enum mekal_numerical_code {
    mekal_numerical_unset = 0,
    mekal_numerical_categorical = 1,
    mekal_numerical_ordinal = 2,
    mekal_numerical_interval = 3,
    mekal_numerical_ratio = 4
};

/* -------------------------------------------------------------- records */

/* A datatype: a scalar (one of the shared static records) or a container
 * tree. 40 bytes; the layout is shared by every copy of the library. */
typedef struct mekal_datatype {
    int32_t type;              /* mekal_type_t */
    int32_t numerical;         /* mekal_numerical_t */
    int32_t num_elements;      /* element count of a copied container, else 0 */
    int32_t num_subtypes;      /* 1 for range/set/list, member count for a tuple */
    struct mekal_datatype **subtypes; /* element datatype(s); NULL for scalars */
    int32_t is_reference;      /* 1: the caller's pointer is stored, nothing copied */
    int32_t num_ref_elements;  /* element count of a referenced container, else 0 */
    uint64_t base_size;        /* width of a supplied scalar: 1, 2, 4 or 8; 0 in containers */
} mekal_datatype_t;

/* One 8-byte value slot. Copied containers hold an array of slots. */
typedef union mekal_value {
    int64_t as_long;
    int32_t as_int; /* low half of the slot */
    double as_double;
    void *as_ptr;
} mekal_value_t;

/* Info record of one recording. 32 bytes; shared by every copy. */
typedef struct mekal_value_info {
    int32_t category;          /* mekal_category_t */
    const char *subcategory;   /* the entry's own copy, or NULL */
    struct timespec timestamp; /* CLOCK_REALTIME when the recording was stored */
} mekal_value_info_t;

/* Plain observer and listing callback. value and datatype belong to the
 * registry: read them, never change or free them. They stay valid until the
 * call returns, also when the callback records the same name again or calls
 * mekal_clean through the copy of the library that delivers (not through a
 * copy bundled privately in a plugin). The pointer types are plain (not
 * const) so that callbacks written either way fit. */
typedef void (*mekal_nameval_cb_t)(const char *name, mekal_category_t category,
                                   const char *subcategory, mekal_value_t *value,
                                   mekal_datatype_t *datatype, void *opaque);

/* Observer and listing callback that also receives the info record, which
 * belongs to the registry like value and datatype. */
typedef void (*mekal_nameval_info_cb_t)(const char *name, mekal_value_t *value,
                                        mekal_datatype_t *datatype,
                                        mekal_value_info_t *info, void *opaque);

/* The registry block shared by all copies of the library (layout private). */
struct mekal_registry_block;

/* The exported registry block of this copy of the library. */
extern MEKAL_API struct mekal_registry_block mekal_public;

/* ------------------------------------------------------------ recording */

/* Record a value: typestr describes it ("%d", "%s", "[%d]", "(%d,%s)", ...);
 * the value follows, then one int count per set, list and tuple in opening
 * order. Texts and copied containers are copied; "&" marks a reference that
 * the caller keeps alive. Returns 0 when recorded, -1 on a bad type string,
 * a NULL name or value, or exhausted memory (nothing is kept then). */
MEKAL_API int mekal_namevalue(const char *name, mekal_category_t category,
                              const char *subcategory, const char *typestr, ...);

/* Store value and datatype under name (replacing an earlier value in place)
 * and notify the observers. The registry takes ownership of heap value slots
 * and a parser-made datatype unless category is mekal_category_control, in
 * which case nothing is stored. Returns 0; -1 for a NULL name or exhausted
 * memory, after releasing what was handed over. */
MEKAL_API int mekal_raw_namevalue(const char *name, mekal_category_t category,
                                  const char *subcategory, mekal_value_t *value,
                                  mekal_datatype_t *datatype);

/* ------------------------------------------------------ typed recording */
/* For callers that cannot call a variadic C function (Fortran): the value
 * is described by a kind code, and each text comes as a pointer and a
 * length in bytes, without a terminating NUL. A name, subcategory or text
 * with an embedded NUL is refused; a NULL subcategory means none. */

/* Kind of the values handed to the typed entries, and what is recorded. */
typedef int32_t mekal_kind_t;
enum mekal_kind_code {
    mekal_kind_int8 = 1,    /* int8_t: "%i8" */
    mekal_kind_int16 = 2,   /* int16_t: "%i16" */
    mekal_kind_int32 = 3,   /* int32_t: "%d" */
    mekal_kind_int64 = 4,   /* int64_t: "%ld", as C and C++ code on LP64 records it */
    mekal_kind_real32 = 5,  /* float: "%f32" */
    mekal_kind_real64 = 6,  /* double: "%f" */
    mekal_kind_logical = 7, /* one byte (C bool, Fortran logical(c_bool)): "%d", 0 or 1 */
    mekal_kind_text = 8     /* text_length bytes: "%s" */
};

/* Record one value of the kind at value (a text of text_length bytes,
 * recorded whole). Returns 0, or -1 (nothing recorded) for a NULL name or
 * value, an unknown kind, an embedded NUL or exhausted memory. */
MEKAL_API int mekal_record_scalar(const char *name, size_t name_length,
                                  mekal_category_t category, const char *subcategory,
                                  size_t subcategory_length, mekal_kind_t kind,
                                  const void *value, size_t text_length);

/* Record count values of the kind, packed at values, as a list ("{%d}", ...);
 * texts are text_length bytes each, their trailing blanks and NULs trimmed
 * (a Fortran character array, or a C char[count][text_length]). values may
 * be NULL when count is 0. Returns 0, or -1 as mekal_record_scalar does and
 * for a count above INT_MAX. */
MEKAL_API int mekal_record_array(const char *name, size_t name_length,
                                 mekal_category_t category, const char *subcategory,
                                 size_t subcategory_length, mekal_kind_t kind,
                                 const void *values, size_t count, size_t text_length);

/* Read the scalar stored under the name into *value_out as the kind: any
 * integer type for the integer kinds and logical (nonzero is true), "%f" or
 * "%f32" for the reals, any text type for text (a const char * to the
 * registry's NUL-terminated text, valid as mekal_get_nameval's). Returns 0,
 * or -1 leaving *value_out untouched when the name is absent, the stored
 * type does not match or its value does not fit the kind exactly. */
MEKAL_API int mekal_get_scalar(const char *name, size_t name_length, mekal_kind_t kind,
                               void *value_out);

/* ------------------------------------------------------------- querying */

/* Look a value up by exact name. Returns 0 and fills every non-NULL output
 * with the stored pointers, or -1 and writes nothing. The records stay owned
 * by the registry (never change or free them) and are valid until the name
 * is recorded again or mekal_clean runs. */
MEKAL_API int mekal_get_nameval(const char *name, mekal_datatype_t **datatype_out,
                                mekal_value_t **value_out,
                                mekal_category_t *category_out, const char **subcategory_out);

/* As mekal_get_nameval, with the stored info record as third output. */
MEKAL_API int mekal_get_nameval_with_info(const char *name,
                                          mekal_datatype_t **datatype_out,
                                          mekal_value_t **value_out,
                                          mekal_value_info_t **info_out);

/* Call cb for every stored value of the category (1: all), newest first. */
MEKAL_API void mekal_list_namevals(int version, mekal_category_t category,
                                   mekal_nameval_cb_t cb, void *opaque);

/* As mekal_list_namevals, with the info callback. */
MEKAL_API void mekal_list_namevals_with_info(int version, mekal_category_t category,
                                             mekal_nameval_info_cb_t cb, void *opaque);

/* ------------------------------------------------------------ observing */

/* Register an observer for every later recording of the category (1: all).
 * A nonzero report_all receives events even in a non-reporting process. */
MEKAL_API void mekal_register_cb(int version, mekal_category_t category,
                                 mekal_nameval_cb_t cb, int report_all, void *opaque);

/* As mekal_register_cb, with the info callback. */
MEKAL_API void mekal_register_cb_with_info(int version, mekal_category_t category,
                                           mekal_nameval_info_cb_t cb, int report_all,
                                           void *opaque);

/* Disable every observer of the process, registered through any copy, whose
 * callback and opaque pointer are cb and opaque: no dispatch calls it again,
 * also one in progress. A plugin unregisters its observers before it is
 * unloaded (e.g. in a destructor function). Safe inside a callback. Returns
 * the number disabled (0 if none matched), -1 for a NULL cb. */
MEKAL_API int mekal_unregister_cb(mekal_nameval_cb_t cb, void *opaque);

/* As mekal_unregister_cb, for observers registered with the info callback. */
MEKAL_API int mekal_unregister_cb_with_info(mekal_nameval_info_cb_t cb, void *opaque);

/* ------------------------------------------------------------ lifecycle */

/* Mark the process as reporting. Optional; once per copy of the library. */
MEKAL_API void mekal_init(void);

/* Ask mekal_fini to record the wall time since launch. Returns 0. */
MEKAL_API int mekal_walltime(void);

/* Ask mekal_fini to record the system CPU time. Returns 0. */
MEKAL_API int mekal_systime(void);

/* Ask mekal_fini to record the user CPU time. Returns 0. */
MEKAL_API int mekal_cputime(void);

/* Record the requested timings ("cputime", "systime", "walltime"), then send
 * the control event "fini". */
MEKAL_API void mekal_fini(void);

/* Send the control event "flush" with location as a path value. Returns 0. */
MEKAL_API int mekal_flush(const char *location);

/* Send the control event "clean", then release every value and observer.
 * Returns 0. */
MEKAL_API int mekal_clean(void);

/* ------------------------------------------------------------ datatypes */

/* Parse a type string; one int count per set, list and tuple follows.
 * Returns a shared static record for a scalar or a new tree the caller owns
 * until it is handed to mekal_raw_namevalue; NULL if it does not parse. */
MEKAL_API mekal_datatype_t *mekal_new_datatype(const char *typestr, ...);

/* The shared static datatype of a scalar type code (never change or free
 * it); NULL for containers and unknown codes. */
MEKAL_API mekal_datatype_t *mekal_get_basetype(mekal_type_t type);

/* Scale of measurement of a type code; mekal_numerical_unset if unknown. */
MEKAL_API mekal_numerical_t mekal_numerical_from_type(mekal_type_t type);

/* Render a datatype as its type string (long_form 0) or in words. Returns a
 * new text the caller frees, or NULL when the rendering is empty. */
MEKAL_API char *mekal_type_to_string(const mekal_datatype_t *datatype, int long_form);

/* --------------------------------------------------------------- values */

/* Element count of a container datatype, copied or referenced; 0 for a scalar. */
MEKAL_API int mekal_num_subvals(const mekal_datatype_t *datatype);

/* Element index of a container value: its datatype into *subtype_out and its
 * value into *subvalue_out (both owned by the value; never change or free
 * them). Returns 0, or -1 with a NULL subtype and a zero subvalue for a bad
 * index. */
MEKAL_API int mekal_get_subval(const mekal_datatype_t *datatype, const mekal_value_t *value,
                               int index, mekal_datatype_t **subtype_out,
                               mekal_value_t *subvalue_out);

/* ----------------------------------------------------------------- JSON */

/* One value as compact JSON text: integers exact, doubles in the shortest
 * form that reads back the same (NaN and infinities as null), dates as
 * "2026-12-08T22:29:00Z", time intervals as seconds with six decimals,
 * texts as strings, a jsonstring as itself when it is valid JSON, and
 * containers as arrays. Returns a new text the caller frees, or NULL for a
 * NULL argument, containers nested deeper than 256 or exhausted memory. */
MEKAL_API char *mekal_value_to_json(const mekal_value_t *value, const mekal_datatype_t *datatype);

/* Every stored value of the category (1: all), oldest first, as a JSON
 * array with one object per line: name, category, category_name,
 * subcategory, type, long_type, value and recorded (the time stored, ISO
 * 8601 UTC with nanoseconds). Returns a new text the caller frees, or NULL
 * as mekal_value_to_json does. */
MEKAL_API char *mekal_namevals_to_json(mekal_category_t category);

/* ----------------------------------------------------------- collectors */
/* Each records one fact of the run (category 2) and returns 0, or -1 when
 * the fact could not be read or recorded.
 *
 * The job facts (subcategory "mpi"): built without MPI, a process is a job
 * of one rank on one host, and the facts only MPI knows fail. Built with
 * MPI (MEKAL_MPI), they are read between MPI_Init and MPI_Finalize over the
 * communicator of mekal_set_communicator, and fail outside that span.
 * Collective there, so every rank of the communicator calls them in the same
 * order: mekal_num_hosts, mekal_hostlist and mekal_collect_all. The others
 * need no communication. */

MEKAL_API int mekal_mekalversion(void);  /* "mekalversion": the text 0.5.0 */
MEKAL_API int mekal_launchdate(void);    /* "launchdate": launch time, seconds */
MEKAL_API int mekal_launchday(void);     /* "launchday": launch day start, UTC */
MEKAL_API int mekal_executable(void);    /* "executable": the executable's file name */
MEKAL_API int mekal_executablepath(void); /* "executablepath": its resolved path */
MEKAL_API int mekal_cmdline(void);       /* "cmdline": the arguments as a set of texts */
MEKAL_API int mekal_user(void);          /* "user": the login name */
MEKAL_API int mekal_uid(void);           /* "uid": the user-information field */
MEKAL_API int mekal_workdir(void);       /* "working_directory", any length */
MEKAL_API int mekal_hostname(void);      /* "hostname" */
MEKAL_API int mekal_clustername(void);   /* "cluster": host name without digits, up to '.' */
MEKAL_API int mekal_hostlist(void);      /* "hostlist": the ranks' distinct host names, sorted */
MEKAL_API int mekal_num_hosts(void);     /* "numhosts": distinct hosts of the ranks; 1 without MPI */
MEKAL_API int mekal_job_size(void);      /* "jobsize": ranks in the communicator; 1 without MPI */
MEKAL_API int mekal_libraries(void);     /* "libraries": names of the loaded objects */
MEKAL_API int mekal_mpi_version(void);   /* "mpi_version": the MPI standard's, e.g. 3.1 */
MEKAL_API int mekal_mpi_library(void);   /* "mpi_library": the implementation's name */
MEKAL_API int mekal_mpi_library_version(void); /* "mpi_library_version": its version */

/* Run every collector above that can record in this build and state.
 * Returns 0 if at least one value was recorded, else -1. */
MEKAL_API int mekal_collect_all(void);

/* Choose the communicator of the job facts (default MPI_COMM_WORLD): comm
 * points to an MPI_Comm, whose handle is copied; the communicator must stay
 * valid while the collectors use it. Applies to this copy of the library.
 * Returns 0; -1 for NULL, MPI_COMM_NULL, an intercommunicator, or in a build
 * without MPI. */
MEKAL_API int mekal_set_communicator(const void *comm);

/* ------------------------------------------------- opt-in run collectors */
/* Facts for comparing runs, never collected by mekal_collect_all. Each
 * records under category 2 and returns 0 when it recorded at least one
 * value, else -1. A fact whose source is missing is skipped alone. */

/* Subcategory "host": cpu_model, cpus_online, cpus_allowed, cpu_caches,
 * cpu_governor, loadavg, memory_total, os_name, os_version, kernel_release,
 * architecture, page_size (README lists the types). */
MEKAL_API int mekal_hostinfo(void);

/* Subcategory "job": the batch scheduler running this process (flux, slurm,
 * pbs, lsf) and its job's id, name, nodes, tasks, queue and account, from
 * the scheduler's environment variables. -1 and nothing recorded outside a job. */
MEKAL_API int mekal_jobinfo(void);

/* Subcategory "environment": the variables whose names start with one of
 * the count prefixes (NULL entries skipped), as one value "environment" of
 * type [(%s,%s)], sorted by name, each once. An empty prefix matches every
 * variable. -1 and nothing recorded for NULL prefixes, count <= 0 or no match. */
MEKAL_API int mekal_environment(const char *const *prefixes, int count);

/* Build facts of the translation unit that expands MEKAL_BUILDINFO(). The
 * layout only grows: size is sizeof the record as the caller compiled it,
 * and the library reads no member beyond it. 72 bytes in this version. */
typedef struct mekal_buildinfo {
    uint32_t size;                /* sizeof(mekal_buildinfo_t) of the caller */
    int32_t optimized;            /* 1 when __OPTIMIZE__ was defined, else 0 */
    const char *compiler;         /* "gcc", "clang", ...; NULL when unknown */
    const char *compiler_version; /* "12.2.0"; NULL when unknown */
    const char *language;         /* "c" or "c++" */
    int32_t language_standard;    /* __cplusplus or __STDC_VERSION__; 0 if undefined */
    int32_t git_dirty;            /* MEKAL_GIT_DIRTY: 1 dirty, 0 clean, -1 unknown */
    const char *git_commit;       /* MEKAL_GIT_COMMIT, or NULL */
    const char *git_describe;     /* MEKAL_GIT_DESCRIBE, or NULL */
    const char *git_branch;       /* MEKAL_GIT_BRANCH, or NULL */
    int64_t git_commit_date;      /* MEKAL_GIT_COMMIT_DATE, seconds since the epoch; 0 if unknown */
} mekal_buildinfo_t;

/* Subcategory "build": records the facts of info that are known (compiler,
 * compiler_version, language, language_standard, optimized, git_commit,
 * git_describe, git_dirty, git_branch, git_commit_date). -1 for a NULL info
 * or a size below this version's. Call it through MEKAL_BUILDINFO(). */
MEKAL_API int mekal_buildinfo(const mekal_buildinfo_t *info);

#ifdef __cplusplus
#define MEKAL_NULL_ nullptr
#else
#define MEKAL_NULL_ ((const char *)0)
#endif
#define MEKAL_STRINGIFY_(x) #x
#define MEKAL_XSTRINGIFY_(x) MEKAL_STRINGIFY_(x)

/* The compiler of the translation unit; clang and the compilers built on it
 * also define __GNUC__, so they are tested first. */
#if defined(__INTEL_LLVM_COMPILER)
#define MEKAL_BUILDINFO_COMPILER_ "icx", MEKAL_XSTRINGIFY_(__INTEL_LLVM_COMPILER)
#elif defined(__NVCOMPILER)
#define MEKAL_BUILDINFO_COMPILER_ "nvc", MEKAL_XSTRINGIFY_(__NVCOMPILER_MAJOR__) "." \
    MEKAL_XSTRINGIFY_(__NVCOMPILER_MINOR__) "." MEKAL_XSTRINGIFY_(__NVCOMPILER_PATCHLEVEL__)
#elif defined(__clang__)
#define MEKAL_BUILDINFO_COMPILER_ "clang", MEKAL_XSTRINGIFY_(__clang_major__) "." \
    MEKAL_XSTRINGIFY_(__clang_minor__) "." MEKAL_XSTRINGIFY_(__clang_patchlevel__)
#elif defined(__GNUC__)
#define MEKAL_BUILDINFO_COMPILER_ "gcc", MEKAL_XSTRINGIFY_(__GNUC__) "." \
    MEKAL_XSTRINGIFY_(__GNUC_MINOR__) "." MEKAL_XSTRINGIFY_(__GNUC_PATCHLEVEL__)
#else
#define MEKAL_BUILDINFO_COMPILER_ MEKAL_NULL_, MEKAL_NULL_
#endif

#if defined(__cplusplus)
#define MEKAL_BUILDINFO_LANGUAGE_ "c++", __cplusplus
#elif defined(__STDC_VERSION__)
#define MEKAL_BUILDINFO_LANGUAGE_ "c", __STDC_VERSION__
#else
#define MEKAL_BUILDINFO_LANGUAGE_ "c", 0
#endif

#ifdef __OPTIMIZE__
#define MEKAL_BUILDINFO_OPTIMIZED_ 1
#else
#define MEKAL_BUILDINFO_OPTIMIZED_ 0
#endif

#ifdef MEKAL_GIT_DIRTY
#define MEKAL_BUILDINFO_DIRTY_ (MEKAL_GIT_DIRTY)
#else
#define MEKAL_BUILDINFO_DIRTY_ (-1)
#endif
#ifdef MEKAL_GIT_COMMIT
#define MEKAL_BUILDINFO_COMMIT_ MEKAL_GIT_COMMIT
#else
#define MEKAL_BUILDINFO_COMMIT_ MEKAL_NULL_
#endif
#ifdef MEKAL_GIT_DESCRIBE
#define MEKAL_BUILDINFO_DESCRIBE_ MEKAL_GIT_DESCRIBE
#else
#define MEKAL_BUILDINFO_DESCRIBE_ MEKAL_NULL_
#endif
#ifdef MEKAL_GIT_BRANCH
#define MEKAL_BUILDINFO_BRANCH_ MEKAL_GIT_BRANCH
#else
#define MEKAL_BUILDINFO_BRANCH_ MEKAL_NULL_
#endif
#ifdef MEKAL_GIT_COMMIT_DATE
#define MEKAL_BUILDINFO_DATE_ (MEKAL_GIT_COMMIT_DATE)
#else
#define MEKAL_BUILDINFO_DATE_ 0
#endif

#define MEKAL_BUILDINFO_FIELDS_                                                        \
    sizeof(mekal_buildinfo_t), MEKAL_BUILDINFO_OPTIMIZED_,                             \
        MEKAL_BUILDINFO_COMPILER_, MEKAL_BUILDINFO_LANGUAGE_, MEKAL_BUILDINFO_DIRTY_,  \
        MEKAL_BUILDINFO_COMMIT_, MEKAL_BUILDINFO_DESCRIBE_, MEKAL_BUILDINFO_BRANCH_,   \
        MEKAL_BUILDINFO_DATE_

/* Records the build facts of the code that expands it (its compiler and
 * language, not the library's); returns mekal_buildinfo's result. The
 * MEKAL_GIT_* macros must be defined before this header is included: by
 * mekal_target_buildinfo (CMake) or the build's own -D flags. */
#ifdef __cplusplus
#define MEKAL_BUILDINFO()                                          \
    mekal_buildinfo(&static_cast<const mekal_buildinfo_t &>(       \
        mekal_buildinfo_t{MEKAL_BUILDINFO_FIELDS_}))
#else
#define MEKAL_BUILDINFO() mekal_buildinfo(&(const mekal_buildinfo_t){MEKAL_BUILDINFO_FIELDS_})
#endif

/* -------------------------------------------------------- system probes */
/* Each reads one fact from the operating system. They are exported so that
 * a program may replace them; the library's own calls reach the replacement. */

/* System and user CPU time of the process (either may be NULL). 0 or -1. */
MEKAL_API int melsys_get_times(struct timeval *sys_out, struct timeval *user_out);

/* The time of day. Returns gettimeofday's result; -1 for a NULL tv. */
MEKAL_API int melsys_curtime(struct timeval *tv);

/* Launch time of the process (the kernel's start record); {0, 0} and -1 on
 * failure. */
MEKAL_API int melsys_starttime(struct timeval *tv);

/* Host name into buf (size >= 1), always NUL-terminated. 0 or -1. */
MEKAL_API int melsys_hostname(char *buf, int size);

/* Resolved path of the executable into buf (size >= 1), cut to size - 1. 0 or -1. */
MEKAL_API int melsys_get_executable(char *buf, size_t size);

/* The raw command line (arguments each followed by NUL) in a new buffer that
 * the caller frees, with one extra NUL after *len_out bytes. 0 or -1. */
MEKAL_API int melsys_get_cmdline_buffer(char **buf_out, int *len_out);

/* Copies of the user-information field and the login name (cut at ',') of
 * the real user; either output may be NULL; the caller frees them. 0 or -1. */
MEKAL_API int melsys_get_names(char **gecos_out, char **login_out);

/* The current working directory into buf. 0 or -1. */
MEKAL_API int melsys_get_cwd(char *buf, size_t size);

/* Names of the loaded objects: a NULL-terminated array the caller frees; the
 * names are freed too only when *names_owned_out is nonzero. 0 or -1. */
MEKAL_API int melsys_get_libraries(const char ***names_out, int *count_out,
                                   int *names_owned_out);

/* CLOCK_REALTIME into ts; the registry's timestamps come from here. -1 for a
 * NULL ts. */
MEKAL_API int melsys_clock_realtime(struct timespec *ts);

/* The registry block that the dynamic linker finds as "mekal_public", or NULL. */
MEKAL_API struct mekal_registry_block *melsys_get_public_mekal_symbol(void);

/* The first CPU's model name as /proc/cpuinfo gives it (the text after the
 * colon, blanks untouched) into buf (size >= 1), cut to size - 1. 0 or -1. */
MEKAL_API int melsys_cpu_model(char *buf, size_t size);

/* Logical CPUs online; -1 when unknown. */
MEKAL_API int melsys_cpus_online(void);

/* CPUs in this process's affinity mask, at any machine size; -1 when unknown. */
MEKAL_API int melsys_cpus_allowed(void);

/* Cache number index of the first CPU: level, type ("Data", "Instruction",
 * "Unified") into type_buf (size >= 1) and size in bytes. 0, or -1 when the
 * kernel describes no such cache. */
MEKAL_API int melsys_cpu_cache(int index, int *level_out, char *type_buf, size_t type_size,
                               uint64_t *bytes_out);

/* Name of the first CPU's frequency governor into buf (size >= 1); -1 when
 * the kernel exposes none. */
MEKAL_API int melsys_cpu_governor(char *buf, size_t size);

/* The 1, 5 and 15 minute load averages into loads. 0 or -1. */
MEKAL_API int melsys_loadavg(double loads[3]);

/* Physical memory in bytes. 0 or -1. */
MEKAL_API int melsys_memory_total(uint64_t *bytes_out);

/* Value of key (e.g. "PRETTY_NAME") in /etc/os-release, or in
 * /usr/lib/os-release when the first is missing, unquoted and unescaped,
 * into buf (size >= 1), cut to size - 1. 0, or -1 when absent. */
MEKAL_API int melsys_os_release(const char *key, char *buf, size_t size);

/* Kernel release and machine architecture (uname) into the buffers, each
 * cut to its size - 1; either may be NULL. 0 or -1. */
MEKAL_API int melsys_uname(char *release, size_t release_size, char *machine,
                           size_t machine_size);

/* Page size in bytes; -1 when unknown. */
MEKAL_API long melsys_page_size(void);

/* The process environment: NULL-terminated "NAME=value" texts that belong
 * to the process (never change or free them), or NULL. */
MEKAL_API const char *const *melsys_get_environment(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MEKAL_H */
