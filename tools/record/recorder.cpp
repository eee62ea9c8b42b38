// The recorder: preloaded into a program (by mekal-run, or by hand through
// LD_PRELOAD), it collects the facts of the run when it is loaded, writes the
// run record at once, and rewrites it complete with the exit status when the
// program exits normally. The registry is shared by every copy of the
// library in the process, so whatever the program records itself ends up in
// the record too.
//
// A guest in someone else's process: it prints nothing unless the record
// cannot be written, keeps every symbol hidden but the ones it interposes,
// starts no thread, touches no signal or descriptor of the program, and
// never changes the exit status.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "mekal.h"
#include "record_file.h"
#include "recorder.h"
#ifdef MEKAL_RECORD_MPI
#include "job_merge.h"
#endif

using mekal::record::text_buffer;

namespace {

using mekal::record::kDefaultPattern;
using mekal::record::kMaxPrefixes;

#define MEKAL_RECORD_TEXT(x) #x
#define MEKAL_RECORD_NUMBER(x) MEKAL_RECORD_TEXT(x)
// The recorder's version, as a JSON string.
constexpr char kVersionJson[] = "\"" MEKAL_RECORD_NUMBER(MEKAL_VERSION_MAJOR) "." MEKAL_RECORD_NUMBER(
    MEKAL_VERSION_MINOR) "." MEKAL_RECORD_NUMBER(MEKAL_VERSION_PATCH) "\"";

struct recorder_state {
    bool active = false;     // the first record could be set up
    bool finished = false;   // the final record was written (or given up)
    bool reported = false;   // the one line on stderr was written
    bool have_status = false;
    int exit_status = 0;
    bool program_sent_fini = false;
    bool in_own_fini = false;
    pid_t pid = 0;
    mode_t mode = 0644;
    char *path = nullptr;  // absolute, expanded
    char *executable_json = nullptr;
    char *argv_json = nullptr;
    char *host_json = nullptr;
    char *snapshot = nullptr;  // the values as they were when the program cleaned
#ifdef MEKAL_RECORD_MPI
    char *job_path = nullptr;      // where the job's record goes; path is this rank's
    int launcher_rank = -1;        // the rank the launcher's environment gives, if any
    int job_size = 0;              // rank 0 after the merge: the record is the job's
    char *job_values = nullptr;    // the job's values at the merge
    char *own_at_merge = nullptr;  // rank 0's own values then
#endif
};

recorder_state g_state;

// The one line the recorder may write on stderr: "mekal-run: <what><why>".
void say(const char *what, const char *why) {
    if (g_state.reported) return;
    g_state.reported = true;
    char line[4608];
    const int n = std::snprintf(line, sizeof line, "mekal-run: %s%s\n", what, why);
    if (n > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
}

void report(const char *what, int error) {
    char subject[4200];
    (void)std::snprintf(subject, sizeof subject, "cannot write the record %s: ", what);
    say(subject, std::strerror(error));
}

char *json_string(const char *text) {
    mekal_value_t slot;
    slot.as_ptr = const_cast<char *>(text);
    return mekal_value_to_json(&slot, mekal_get_basetype(mekal_type_string));
}

// The command line as a JSON array of strings: the "cmdline" value that
// the collectors recorded, or an empty array without one.
char *argv_json() {
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    if (mekal_get_nameval("cmdline", &datatype, &value, nullptr, nullptr) == 0)
        return mekal_value_to_json(value, datatype);
    return strdup("[]");
}

// Removes the recorder from LD_PRELOAD, and its settings from the
// environment, so that the programs this one runs are not recorded.
void leave_children_alone() {
    if (const char *preload = std::getenv("LD_PRELOAD")) {
        text_buffer kept;
        const char *p = preload;
        while (*p != '\0') {
            const size_t length = std::strcspn(p, ": ");
            if (length > 0) {
                const char *slash = static_cast<const char *>(memrchr(p, '/', length));
                const char *base = slash ? slash + 1 : p;
                static constexpr char kSelf[] = "libmekal-record";
                const bool self = static_cast<size_t>(p + length - base) >= sizeof kSelf - 1 &&
                                  std::strncmp(base, kSelf, sizeof kSelf - 1) == 0;
                if (!self) {
                    if (kept.length > 0) kept.append(":");
                    kept.append(p, length);
                }
            }
            p += length;
            if (*p != '\0') ++p;
        }
        if (kept.length == 0) (void)unsetenv("LD_PRELOAD");
        else if (!kept.failed) (void)setenv("LD_PRELOAD", kept.data, 1);
    }
    (void)unsetenv(mekal::record::kOutputVariable);
    (void)unsetenv(mekal::record::kEnvVariable);
    (void)unsetenv(mekal::record::kFollowVariable);
}

// Records the environment variables under the prefixes listed (':'
// separated) in the variable that mekal-run sets.
void record_environment(const char *list) {
    if (list == nullptr || *list == '\0') return;
    char *copy = strdup(list);
    if (copy == nullptr) return;
    const char *prefixes[kMaxPrefixes];
    int count = 0;
    for (char *save = nullptr, *token = strtok_r(copy, ":", &save);
         token != nullptr && count < kMaxPrefixes; token = strtok_r(nullptr, ":", &save))
        prefixes[count++] = token;
    if (count > 0) (void)mekal_environment(prefixes, count);
    std::free(copy);
}

char *absolute_output_path(const char *host, const char *executable) {
    const char *pattern = std::getenv(mekal::record::kOutputVariable);
    if (pattern == nullptr || *pattern == '\0') pattern = kDefaultPattern;
    const char *slash = std::strrchr(executable, '/');

    text_buffer path;
    if (pattern[0] != '/') {
        // The program may change directory before it exits.
        char *cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) return nullptr;
        path.append(cwd);
        path.append("/");
        std::free(cwd);
    }
    if (!mekal::record::expand_path(pattern, static_cast<long>(g_state.pid),
                                    *host != '\0' ? host : "unknown-host",
                                    slash ? slash + 1 : *executable != '\0' ? executable : "unknown",
                                    &path))
        return nullptr;
    return path.release();
}

// The process's values as the record holds them: the registry's, and those
// released by a clean before.
char *own_values() {
    char *values = mekal_namevals_to_json(mekal_category_all);
    if (values != nullptr && g_state.snapshot != nullptr) {
        char *merged = mekal::record::merge_values(g_state.snapshot, values);
        std::free(values);
        values = merged;
    }
    return values;
}

// Returns 0 or the errno value of the failure, which is reported.
int write_record(bool complete) {
    char *values = own_values();
    const char *path = g_state.path;
    int job_size = 0;
#ifdef MEKAL_RECORD_MPI
    if (g_state.job_size > 0) {
        path = g_state.job_path;
        job_size = g_state.job_size;
        complete = true;
    }
    if (job_size > 0 && values != nullptr) {
        // The job's values at the merge, with what rank 0 recorded since.
        char *since = std::strcmp(values, g_state.own_at_merge) == 0
                          ? nullptr
                          : mekal::record::entries_since(values, g_state.own_at_merge);
        char *job = since != nullptr ? mekal::record::merge_values(g_state.job_values, since)
                                     : strdup(g_state.job_values);
        std::free(since);
        std::free(values);
        values = job;
    }
#endif
    const mekal::record::program_facts program{g_state.executable_json, g_state.argv_json,
                                               static_cast<long>(g_state.pid), g_state.host_json};
    char *document = values == nullptr ? nullptr
                                        : mekal::record::build_record(program, kVersionJson,
                                                                      values, complete,
                                                                      g_state.have_status,
                                                                      g_state.exit_status, job_size);
    const int error = document == nullptr
                          ? ENOMEM
                          : mekal::record::write_atomically(path, document, std::strlen(document),
                                                            g_state.mode);
    if (error != 0) report(path, error);
    std::free(document);
    std::free(values);
    return error;
}

// Sees the program's own "fini" and "clean": values released by a clean are
// kept for the record.
void on_control(const char *name, mekal_category_t, const char *, mekal_value_t *,
                mekal_datatype_t *, void *) {
    if (std::strcmp(name, "fini") == 0) {
        if (!g_state.in_own_fini) g_state.program_sent_fini = true;
    } else if (std::strcmp(name, "clean") == 0) {
        char *now = mekal_namevals_to_json(mekal_category_all);
        if (now == nullptr) return;
        if (g_state.snapshot == nullptr) {
            g_state.snapshot = now;
            return;
        }
        char *merged = mekal::record::merge_values(g_state.snapshot, now);
        std::free(now);
        if (merged != nullptr) {
            std::free(g_state.snapshot);
            g_state.snapshot = merged;
        }
    }
}

void observe() { mekal_register_cb(1, mekal_category_control, on_control, 1, nullptr); }

void release_state() {
    for (char **p : {&g_state.path, &g_state.executable_json, &g_state.argv_json,
                     &g_state.host_json, &g_state.snapshot}) {
        std::free(*p);
        *p = nullptr;
    }
#ifdef MEKAL_RECORD_MPI
    for (char **p : {&g_state.job_path, &g_state.job_values, &g_state.own_at_merge}) {
        std::free(*p);
        *p = nullptr;
    }
#endif
}

#ifdef MEKAL_RECORD_MPI
// The rank that the MPI launcher put in the environment, or -1.
int launcher_rank() {
    for (const char *name : {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK"}) {
        const char *text = std::getenv(name);
        if (text == nullptr || *text == '\0') continue;
        char *end = nullptr;
        errno = 0;
        const long rank = std::strtol(text, &end, 10);
        if (*end == '\0' && errno == 0 && rank >= 0 && rank <= INT_MAX) return static_cast<int>(rank);
    }
    return -1;
}

// This rank's record gets a name of its own beside the job's (the path as
// expanded), so that the ranks never write one file while the job runs.
bool use_rank_path(int rank) {
    text_buffer path;
    if (!mekal::record::rank_path(g_state.job_path, rank, &path)) return false;
    char *own = path.release();
    if (own == nullptr) return false;
    std::free(g_state.path);
    g_state.path = own;
    return true;
}
#endif

void start() {
    g_state.pid = getpid();
    const char *follow = std::getenv(mekal::record::kFollowVariable);
    const bool following = follow != nullptr && std::strcmp(follow, "1") == 0;
    char *environment = nullptr;
    if (const char *list = std::getenv(mekal::record::kEnvVariable)) environment = strdup(list);
    char executable[4097] = {};
    (void)melsys_get_executable(executable, sizeof executable);
    char host[512] = {};
    (void)melsys_hostname(host, sizeof host);
    g_state.path = absolute_output_path(host, executable);
#ifdef MEKAL_RECORD_MPI
    g_state.launcher_rank = launcher_rank();
    if (g_state.path != nullptr) {
        g_state.job_path = strdup(g_state.path);
        if (g_state.job_path == nullptr ||
            (g_state.launcher_rank >= 0 && !use_rank_path(g_state.launcher_rank))) {
            std::free(g_state.path);
            g_state.path = nullptr;
        }
    }
#endif
    if (!following) leave_children_alone();
    // Files are created as the program would create them.
    const mode_t mask = umask(0);
    (void)umask(mask);
    g_state.mode = 0666 & ~mask;
    if (g_state.path == nullptr) {
        report("(bad output path)", EINVAL);
        std::free(environment);
        return;
    }

    (void)mekal_collect_all();
    (void)mekal_hostinfo();
    (void)mekal_jobinfo();
    record_environment(environment);
    std::free(environment);
    (void)mekal_walltime();
    (void)mekal_cputime();
    (void)mekal_systime();
    observe();

    g_state.executable_json = json_string(executable);
    g_state.host_json = json_string(host);
    g_state.argv_json = argv_json();
    if (g_state.executable_json == nullptr || g_state.host_json == nullptr ||
        g_state.argv_json == nullptr) {
        report(g_state.path, ENOMEM);
        release_state();
        return;
    }
    g_state.active = true;
    write_record(false);
}

}  // namespace

namespace mekal::record {

void note_exit_status(int status) {
    g_state.have_status = true;
    g_state.exit_status = status;
}

void observe_again() {
    if (g_state.active && !g_state.finished && getpid() == g_state.pid) observe();
}

void finish() {
    // A forked child that did not exec shares the state but is not the
    // recorded process.
    if (!g_state.active || g_state.finished || getpid() != g_state.pid) return;
    errno_guard keep_errno;
    g_state.finished = true;
    if (!g_state.program_sent_fini) {
        g_state.in_own_fini = true;
        mekal_fini();
        g_state.in_own_fini = false;
    }
    write_record(true);
    release_state();
}

#ifdef MEKAL_RECORD_MPI
char *current_values() {
    if (!g_state.active || g_state.finished || getpid() != g_state.pid) return nullptr;
    return own_values();
}

void mpi_started(int rank, int size) {
    if (!g_state.active || g_state.finished || getpid() != g_state.pid) return;
    errno_guard keep_errno;
    // Without the launcher's word the ranks may share the expanded path.
    if (rank != g_state.launcher_rank && (size > 1 || g_state.launcher_rank >= 0)) {
        char *shared = strdup(g_state.path);
        if (shared != nullptr && use_rank_path(rank) && write_record(false) == 0 &&
            std::strcmp(shared, g_state.path) != 0)
            (void)unlink(shared);
        std::free(shared);
        return;
    }
    (void)write_record(false);
}

bool write_job_record(char *values, char *own_values, int size) {
    if (!g_state.active || g_state.finished || getpid() != g_state.pid) {
        std::free(values);
        std::free(own_values);
        return false;
    }
    errno_guard keep_errno;
    g_state.job_values = values;
    g_state.own_at_merge = own_values;
    g_state.job_size = size;
    if (write_record(true) != 0) {
        g_state.job_size = 0;
        std::free(g_state.job_values);
        std::free(g_state.own_at_merge);
        g_state.job_values = g_state.own_at_merge = nullptr;
        return false;
    }
    if (std::strcmp(g_state.path, g_state.job_path) != 0) (void)unlink(g_state.path);
    return true;
}

void leave_record_to_rank_zero() {
    if (!g_state.active || g_state.finished || getpid() != g_state.pid) return;
    errno_guard keep_errno;
    if (std::strcmp(g_state.path, g_state.job_path) != 0) (void)unlink(g_state.path);
    g_state.finished = true;
    release_state();
}

void report_unmerged(const char *why) {
    say("the ranks' records were not merged, each rank writes its own: ", why);
}
#endif

}  // namespace mekal::record

__attribute__((constructor)) static void recorder_load() {
    mekal::record::errno_guard keep_errno;
    start();
    // Runs late (after the libraries' destructors) and only when the hook on
    // main did not get to register the earlier exit handler.
    if (g_state.active) (void)atexit(mekal::record::finish);
}
