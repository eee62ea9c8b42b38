// The recorder: preloaded into a program (by mekal-run, or by hand through
// LD_PRELOAD), it collects the facts of the run when it is loaded, writes the
// run record at once, and rewrites it complete with the exit status when the
// program ends normally. The registry is shared by every copy of the
// library in the process, so whatever the program records itself ends up in
// the record too; the values a clean releases are kept.
//
// A guest in someone else's process: it prints nothing unless the record
// cannot be written, and then only to the standard error it started with;
// it keeps every symbol hidden but the ones it interposes, starts no thread,
// keeps no descriptor open, never changes the exit status, and delivers
// nothing to the program's observers once the program has finished (the
// timings of the record are measured, not recorded).
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "atomic_file.h"
#include "entries.h"
#include "library.h"
#include "output_path.h"
#include "record_file.h"
#include "recorder.h"
#include "run_settings.h"

namespace mekal::record {
namespace {

struct recorder_state {
    bool active = false;    // the first record could be set up
    bool finished = false;  // the final record was written (or given up)
    bool reported = false;  // the one line on stderr was written
    bool exited = false;    // the program ended normally: status holds how
    int status = 0;
    bool job_running = false;  // between MPI_Init and MPI_Finalize
    int job_size = 0;          // rank 0 after a merge: the record is the job's
    pid_t pid = 0;
    mode_t mode = 0644;
    char *path = nullptr;      // this process's record, absolute and expanded
    char *job_path = nullptr;  // the job's record: path before a rank's name
    int launch_rank = -1;      // the rank a parallel launcher gave this process
    char *executable_json = nullptr;
    char *argv_json = nullptr;
    char *host_json = nullptr;
    // The standard error the program started with, the only one written to.
    bool have_stderr = false;
    dev_t stderr_device = 0;
    ino_t stderr_inode = 0;
    entry_list values;  // every value seen: those cleans released, and the registry's
    entry_list job;     // rank 0 after a merge: the job's values
    entry_list at_merge;  // rank 0's own values at the merge
};

recorder_state g_state;

bool recording() { return g_state.active && !g_state.finished && getpid() == g_state.pid; }

// The one line the recorder may write: "mekal-run: " and the parts, whole,
// on the standard error the program started with (it may have closed it
// and opened a data file in its place since).
// A notice that is no failure leaves room for that line.
void say(std::initializer_list<const char *> parts, bool failure = true) {
    if ((failure && g_state.reported) || !g_state.have_stderr) return;
    if (failure) g_state.reported = true;
    struct stat now {};
    if (fstat(STDERR_FILENO, &now) != 0 || now.st_dev != g_state.stderr_device ||
        now.st_ino != g_state.stderr_inode)
        return;
    iovec pieces[8];
    int count = 0;
    pieces[count++] = {const_cast<char *>("mekal-run: "), 11};
    for (const char *part : parts)
        if (count < 7) pieces[count++] = {const_cast<char *>(part), std::strlen(part)};
    pieces[count++] = {const_cast<char *>("\n"), 1};
    (void)!writev(STDERR_FILENO, pieces, count);
}

// Takes the registry's values into the record's (kept across cleans).
bool refresh() {
    entry_list now;
    const bool taken = take_registry(&now);
    return g_state.values.absorb(&now) && taken;
}

// Writes this process's record, or the job's, with the values taken (ok:
// all of them; a record short of some is still written, and says so). 0 or
// the errno value of the failure, which is reported.
int write_values(bool complete, bool job, bool ok) {
    const entry_list *values = &g_state.values;
    if (job) {
        // The job's values, and rank 0's own recorded since the merge.
        g_state.values.each([&](const record_entry &e) {
            const record_entry *before = g_state.at_merge.find(e.name, e.name_hash);
            if (before != nullptr && before->entry_hash == e.entry_hash &&
                before->recorded.tv_sec == e.recorded.tv_sec &&
                before->recorded.tv_nsec == e.recorded.tv_nsec)
                return;
            const rank_value alone{0, e.type_json, e.long_type_json, e.value_json, e.unrendered};
            ok = g_state.job.put(new_entry(e, &alone, 1)) && ok;
        });
        values = &g_state.job;
    }
    const record_header header{g_state.executable_json,
                               g_state.argv_json,
                               static_cast<long>(g_state.pid),
                               g_state.host_json,
                               complete,
                               g_state.exited,
                               g_state.status,
                               job ? g_state.job_size : 0};
    char *document = build_record(header, *values);
    const char *path = job ? g_state.job_path : g_state.path;
    const int error = document == nullptr
                          ? ENOMEM
                          : write_atomically(path, document, std::strlen(document), g_state.mode);
    if (error != 0) say({"cannot write the record ", path, ": ", std::strerror(error)});
    else if (!ok) say({"the record ", path, " lacks values: ", std::strerror(ENOMEM)});
    std::free(document);
    return error;
}

int write_record(bool complete, bool job) { return write_values(complete, job, refresh()); }

void add_timing(const char *name, const struct timeval &interval) {
    if (g_state.values.find(name) == nullptr) (void)g_state.values.put(timing_entry(name, interval));
}

// The timings of the run, measured at its end as mekal_fini would record
// them, unless the program recorded them itself (its own mekal_fini).
void add_timings() {
    struct timeval user {}, system {}, start {}, now {};
    if (lib.melsys_get_times(&system, &user) == 0) {
        add_timing("cputime", user);
        add_timing("systime", system);
    }
    if (lib.melsys_starttime(&start) == 0 && lib.melsys_curtime(&now) == 0) {
        struct timeval wall {};
        wall.tv_sec = now.tv_sec - start.tv_sec;
        wall.tv_usec = now.tv_usec - start.tv_usec;
        if (wall.tv_usec < 0) {
            wall.tv_usec += 1000000;
            wall.tv_sec -= 1;
        }
        add_timing("walltime", wall);
    }
}

void release_state() {
    for (char **p : {&g_state.path, &g_state.job_path, &g_state.executable_json,
                     &g_state.argv_json, &g_state.host_json}) {
        std::free(*p);
        *p = nullptr;
    }
    g_state.values.clear();
    g_state.job.clear();
    g_state.at_merge.clear();
}

// The record at the end: complete once the program ended normally and, in
// a job, got past MPI_Finalize.
void write_final_record() {
    g_state.finished = true;
    const bool ok = refresh();
    add_timings();
    (void)write_values(true, g_state.job_size > 0, ok);
    release_state();
}

char *json_string(const char *text) {
    mekal_value_t slot;
    slot.as_ptr = const_cast<char *>(text);
    return lib.mekal_value_to_json(&slot, lib.mekal_get_basetype(mekal_type_string));
}

// The command line as a JSON array of strings: the "cmdline" value that
// the collectors recorded, or an empty array without one.
char *argv_json() {
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    if (lib.mekal_get_nameval("cmdline", &datatype, &value, nullptr, nullptr) == 0)
        return lib.mekal_value_to_json(value, datatype);
    return strdup("[]");
}

// Removes the recorder from LD_PRELOAD, and its settings from the
// environment, so that the programs this one runs are not recorded.
void leave_children_alone() {
    if (const char *preload = std::getenv("LD_PRELOAD")) {
        growable_text kept;
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
                    if (kept.size() > 0) kept.append(":");
                    kept.append(p, length);
                }
            }
            p += length;
            if (*p != '\0') ++p;
        }
        if (kept.size() == 0) (void)unsetenv("LD_PRELOAD");
        else if (const char *text = kept.c_str()) (void)setenv("LD_PRELOAD", text, 1);
    }
    (void)unsetenv(kOutputVariable);
    (void)unsetenv(kEnvVariable);
    (void)unsetenv(kFollowVariable);
}

// Records the environment variables under the prefixes listed (':'
// separated) in the variable that mekal-run sets.
void record_environment(char *list) {
    if (list == nullptr || *list == '\0') return;
    const char *prefixes[kMaxPrefixes];
    int count = 0;
    for (char *save = nullptr, *token = strtok_r(list, ":", &save);
         token != nullptr && count < kMaxPrefixes; token = strtok_r(nullptr, ":", &save))
        prefixes[count++] = token;
    if (count > 0) (void)lib.mekal_environment(prefixes, count);
}

// A whole non-negative number from the environment, or -1.
long number_from(const char *name) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    char *end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    return *end == '\0' && errno == 0 && n <= INT_MAX ? n : -1;
}

// The rank and size a parallel launcher gave this process (Open MPI, PMIx,
// MPICH's Hydra and others speaking PMI, Slurm's srun), or -1 for a process
// started alone (a launch of one, or a batch script, which holds Slurm's
// rank of its own but no step of tasks).
int launch_rank(long *size) {
    static constexpr struct {
        const char *rank, *size;
        bool size_required;
    } kLaunchers[] = {{"OMPI_COMM_WORLD_RANK", "OMPI_COMM_WORLD_SIZE", false},
                      {"PMIX_RANK", nullptr, false},
                      {"PMI_RANK", "PMI_SIZE", false},
                      {"SLURM_PROCID", "SLURM_STEP_NUM_TASKS", true}};
    for (const auto &launcher : kLaunchers) {
        const long rank = number_from(launcher.rank);
        *size = launcher.size != nullptr ? number_from(launcher.size) : -1;
        if (rank < 0 || (launcher.size_required && *size < 0)) continue;
        return *size == 0 || *size == 1 ? -1 : static_cast<int>(rank);
    }
    *size = -1;
    return -1;
}

// This process's record gets a name of its own beside the job's.
bool use_rank_path(int rank) {
    growable_text path;
    if (!rank_path(g_state.job_path, rank, &path)) return false;
    char *own = path.release();
    if (own == nullptr) return false;
    std::free(g_state.path);
    g_state.path = own;
    return true;
}

char *absolute_output_path(const char *pattern, const char *host, const char *executable) {
    const char *slash = std::strrchr(executable, '/');
    growable_text path;
    if (pattern[0] != '/') {
        // The program may change directory before it exits.
        char *cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) return nullptr;
        path.append(cwd);
        path.append("/");
        std::free(cwd);
    }
    if (!expand_path(pattern, static_cast<long>(g_state.pid), *host != '\0' ? host : "unknown-host",
                     slash ? slash + 1 : *executable != '\0' ? executable : "unknown", &path))
        return nullptr;
    return path.release();
}

void start() {
    g_state.pid = getpid();
    struct stat err {};
    if (fstat(STDERR_FILENO, &err) == 0) {
        g_state.have_stderr = true;
        g_state.stderr_device = err.st_dev;
        g_state.stderr_inode = err.st_ino;
    }
    const char *follow = std::getenv(kFollowVariable);
    const bool following = follow != nullptr && std::strcmp(follow, "1") == 0;
    const char *pattern = std::getenv(kOutputVariable);
    if (pattern == nullptr || *pattern == '\0') pattern = kDefaultPattern;
    char *pattern_copy = strdup(pattern);
    char *environment = nullptr;
    if (const char *list = std::getenv(kEnvVariable)) environment = strdup(list);
    if (!following) leave_children_alone();
    // Files are created as the program would create them.
    const mode_t mask = umask(0);
    (void)umask(mask);
    g_state.mode = 0666 & ~mask;

    if (const char *why = load_library()) {
        say({"cannot record this program: ", why, "; it runs unrecorded"});
    } else if (pattern_copy == nullptr) {
        say({"cannot record this program: out of memory"});
    } else {
        char executable[4097] = {};
        (void)lib.melsys_get_executable(executable, sizeof executable);
        char host[512] = {};
        (void)lib.melsys_hostname(host, sizeof host);
        g_state.path = absolute_output_path(pattern_copy, host, executable);
        g_state.job_path = g_state.path != nullptr ? strdup(g_state.path) : nullptr;
        long size = -1;
        g_state.launch_rank = launch_rank(&size);
        if (g_state.job_path == nullptr ||
            (g_state.launch_rank >= 0 && !use_rank_path(g_state.launch_rank))) {
            say({"cannot write the record: bad output path ", pattern_copy});
        } else {
            if (g_state.launch_rank == 0 && MEKAL_RECORD_MPI == 0) {
                // Said once per job: by its first rank.
                char ranks[24] = "all";
                if (size > 0) (void)std::snprintf(ranks, sizeof ranks, "%ld", size);
                say({"each of the ", ranks, " ranks writes its own record (", g_state.path,
                     " for rank 0); mekal built with MPI merges them into one"},
                    false);
            }
            (void)lib.mekal_collect_all();
            (void)lib.mekal_hostinfo();
            (void)lib.mekal_jobinfo();
            record_environment(environment);
            g_state.executable_json = json_string(executable);
            g_state.host_json = json_string(host);
            g_state.argv_json = argv_json();
            if (g_state.executable_json == nullptr || g_state.host_json == nullptr ||
                g_state.argv_json == nullptr) {
                say({"cannot write the record ", g_state.path, ": ", std::strerror(ENOMEM)});
            } else {
                g_state.active = true;
                (void)write_record(false, false);
            }
        }
    }
    std::free(pattern_copy);
    std::free(environment);
    if (!g_state.active) release_state();
}

}  // namespace

void program_exits(int status) {
    // A forked child that did not exec shares the state but is not the
    // recorded process.
    if (!recording() || g_state.exited) return;
    errno_guard keep_errno;
    g_state.exited = true;
    g_state.status = status & 0xff;  // what the parent sees
    // An MPI rank that ends before MPI_Finalize leaves its job unfinished;
    // one that finalizes later (from a destructor) completes it then.
    if (g_state.job_running) (void)write_record(false, false);
    else write_final_record();
}

void clean_coming() {
    if (!recording()) return;
    errno_guard keep_errno;
    (void)refresh();
}

const entry_list *current_values() {
    if (!recording() || !refresh()) return nullptr;
    return &g_state.values;
}

void job_started(int rank, int size) {
    if (!recording()) return;
    errno_guard keep_errno;
    g_state.job_running = true;
    // Without the launcher's word the ranks may share the expanded path.
    if (rank != g_state.launch_rank && (size > 1 || g_state.launch_rank >= 0)) {
        char *shared = strdup(g_state.path);
        if (shared != nullptr && use_rank_path(rank) && write_record(false, false) == 0 &&
            std::strcmp(shared, g_state.path) != 0)
            (void)unlink(shared);
        std::free(shared);
        return;
    }
    (void)write_record(false, false);
}

void write_own_record() {
    if (!recording()) return;
    errno_guard keep_errno;
    (void)write_record(false, false);
}

bool write_job_record(entry_list *job, int size) {
    if (!recording()) {
        job->clear();
        return false;
    }
    errno_guard keep_errno;
    g_state.job.clear();
    (void)g_state.job.absorb(job);
    g_state.at_merge.clear();
    g_state.values.each([](const record_entry &e) {
        (void)g_state.at_merge.put(new_entry(e));
    });
    g_state.job_size = size;
    if (write_record(true, true) != 0) {
        g_state.job_size = 0;
        g_state.job.clear();
        return false;
    }
    if (std::strcmp(g_state.path, g_state.job_path) != 0) (void)unlink(g_state.path);
    return true;
}

void leave_record_to_rank_zero() {
    if (!recording()) return;
    errno_guard keep_errno;
    if (std::strcmp(g_state.path, g_state.job_path) != 0) (void)unlink(g_state.path);
    g_state.finished = true;
    release_state();
}

void job_ended() {
    if (!recording()) return;
    g_state.job_running = false;
    if (g_state.exited) {
        errno_guard keep_errno;
        write_final_record();
    }
}

void report_unmerged(const char *why) {
    say({"the ranks' records were not merged, each rank writes its own: ", why});
}

}  // namespace mekal::record

__attribute__((constructor)) static void recorder_load() {
    mekal::record::errno_guard keep_errno;
    mekal::record::start();
}
