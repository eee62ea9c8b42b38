// Opt-in collectors of the facts that tell two runs apart: the host, the
// batch job, the build of the caller and the environment variables the
// caller names. Like the built-in collectors they read the system only
// through the melsys_ probes and record through the formatted entry, which
// copies every text before it returns. None of them runs in
// mekal_collect_all: each is asked for by the program.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "collect/collect.h"
#include "common/char_classes.h"
#include "mekal.h"

// Callers compiled against this header pass this layout; later versions
// only append members, so the library checks the size, never more.
static_assert(sizeof(mekal_buildinfo_t) == 72);
static_assert(offsetof(mekal_buildinfo_t, size) == 0);
static_assert(offsetof(mekal_buildinfo_t, optimized) == 4);
static_assert(offsetof(mekal_buildinfo_t, compiler) == 8);
static_assert(offsetof(mekal_buildinfo_t, compiler_version) == 16);
static_assert(offsetof(mekal_buildinfo_t, language) == 24);
static_assert(offsetof(mekal_buildinfo_t, language_standard) == 32);
static_assert(offsetof(mekal_buildinfo_t, git_dirty) == 36);
static_assert(offsetof(mekal_buildinfo_t, git_commit) == 40);
static_assert(offsetof(mekal_buildinfo_t, git_describe) == 48);
static_assert(offsetof(mekal_buildinfo_t, git_branch) == 56);
static_assert(offsetof(mekal_buildinfo_t, git_commit_date) == 64);

namespace mekal {
namespace {

constexpr int kTextSize = 256;
constexpr int kMaxCaches = 32;
constexpr int kCacheTypeSize = 32;
// One packed (%d,%s,%llu) cache tuple: level, type text, bytes.
constexpr size_t kCacheTupleSize = sizeof(int) + sizeof(const char *) + sizeof(uint64_t);
constexpr uint32_t kBuildinfoFirstSize = 72;

template <typename T, size_t N>
constexpr int count_of(const T (&)[N]) {
    return static_cast<int>(N);
}

// 1 when the entry recorded the value, else 0: the collectors add these up.
int recorded(int entry_result) { return entry_result == 0 ? 1 : 0; }

int record_text(const char *name, const char *subcategory, const char *typestr, const char *text) {
    if (text == nullptr || text[0] == '\0') return 0;
    return recorded(mekal_namevalue(name, mekal_category_general, subcategory, typestr, text));
}

// ----------------------------------------------------------------- host

constexpr const char *kHost = "host";

// Drops leading and trailing blanks and turns every inner run of blanks
// into one space, in place: vendors pad their model names.
void squeeze_blanks(char *text) {
    char *out = text;
    bool pending_space = false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (is_ascii_space(*p)) {
            pending_space = out != text;
            continue;
        }
        if (pending_space) *out++ = ' ';
        pending_space = false;
        *out++ = *p;
    }
    *out = '\0';
}

int record_count(const char *name, int count) {
    if (count < 1) return 0;
    return recorded(mekal_namevalue(name, mekal_category_general, kHost, "%u",
                                    static_cast<unsigned>(count)));
}

int record_bytes(const char *name, uint64_t bytes) {
    return recorded(mekal_namevalue(name, mekal_category_general, kHost, "%llu",
                                    static_cast<unsigned long long>(bytes)));
}

// Every cache the kernel describes for the first CPU, in its index order,
// as a set of (level, type, bytes) tuples.
int record_caches() {
    unsigned char packed[kMaxCaches * kCacheTupleSize];
    char types[kMaxCaches][kCacheTypeSize] = {};
    int count = 0;
    for (; count < kMaxCaches; ++count) {
        int level = 0;
        uint64_t bytes = 0;
        char *type = types[count];
        if (melsys_cpu_cache(count, &level, type, kCacheTypeSize, &bytes) == -1) break;
        type[kCacheTypeSize - 1] = '\0';
        unsigned char *tuple = packed + static_cast<size_t>(count) * kCacheTupleSize;
        std::memcpy(tuple, &level, sizeof level);
        std::memcpy(tuple + sizeof level, &type, sizeof type);
        std::memcpy(tuple + sizeof level + sizeof type, &bytes, sizeof bytes);
    }
    if (count == 0) return 0;
    return recorded(mekal_namevalue("cpu_caches", mekal_category_general, kHost,
                                    "[(%d,%s,%llu)]", packed, count, 3));
}

int record_os(const char *key, const char *name, const char *typestr) {
    char text[kTextSize] = {};
    if (melsys_os_release(key, text, sizeof text) == -1) return 0;
    text[kTextSize - 1] = '\0';
    return record_text(name, kHost, typestr, text);
}

int record_host() {
    int count = 0;
    char text[kTextSize] = {};
    if (melsys_cpu_model(text, sizeof text) == 0) {
        text[kTextSize - 1] = '\0';
        squeeze_blanks(text);
        count += record_text("cpu_model", kHost, "%s", text);
    }
    count += record_count("cpus_online", melsys_cpus_online());
    count += record_count("cpus_allowed", melsys_cpus_allowed());
    count += record_caches();
    if (melsys_cpu_governor(text, sizeof text) == 0) {
        text[kTextSize - 1] = '\0';
        count += record_text("cpu_governor", kHost, "%s", text);
    }
    double loads[3] = {};
    if (melsys_loadavg(loads) == 0)
        count += recorded(
            mekal_namevalue("loadavg", mekal_category_general, kHost, "(%f,%f,%f)", loads, 3));
    uint64_t memory = 0;
    if (melsys_memory_total(&memory) == 0 && memory > 0) count += record_bytes("memory_total", memory);
    count += record_os("PRETTY_NAME", "os_name", "%s");
    count += record_os("VERSION_ID", "os_version", "%v");
    char machine[kTextSize] = {};
    if (melsys_uname(text, sizeof text, machine, sizeof machine) == 0) {
        text[kTextSize - 1] = '\0';
        machine[kTextSize - 1] = '\0';
        count += record_text("kernel_release", kHost, "%v", text);
        count += record_text("architecture", kHost, "%s", machine);
    }
    const long page = melsys_page_size();
    if (page > 0) count += record_bytes("page_size", static_cast<uint64_t>(page));
    return count > 0 ? 0 : -1;
}

// ------------------------------------------------------------------ job

constexpr const char *kJob = "job";

enum class job_fact { id, name, nodes, nodefile, tasks, queue, account };
constexpr int kJobFactCount = 7;

struct job_fact_record {
    const char *name;
    const char *typestr;  // "%u" values are parsed; the others are texts
};
constexpr job_fact_record kJobFacts[kJobFactCount] = {
    {"job_id", "%s"},    {"job_name", "%s"},  {"job_nodelist", "%s"}, {"job_nodefile", "%p"},
    {"job_tasks", "%u"}, {"job_queue", "%s"}, {"job_account", "%s"},
};

// A scheduler's variables; where several give one fact, the first set wins.
struct job_variable {
    job_fact fact;
    const char *variable;
};
constexpr job_variable kFluxVariables[] = {
    {job_fact::id, "FLUX_JOB_ID"},
    {job_fact::tasks, "FLUX_JOB_SIZE"},
};
constexpr job_variable kSlurmVariables[] = {
    {job_fact::id, "SLURM_JOB_ID"},          {job_fact::id, "SLURM_JOBID"},
    {job_fact::name, "SLURM_JOB_NAME"},      {job_fact::nodes, "SLURM_JOB_NODELIST"},
    {job_fact::nodes, "SLURM_NODELIST"},     {job_fact::tasks, "SLURM_NTASKS"},
    {job_fact::tasks, "SLURM_NPROCS"},       {job_fact::queue, "SLURM_JOB_PARTITION"},
    {job_fact::account, "SLURM_JOB_ACCOUNT"},
};
constexpr job_variable kPbsVariables[] = {
    {job_fact::id, "PBS_JOBID"},         {job_fact::name, "PBS_JOBNAME"},
    {job_fact::nodefile, "PBS_NODEFILE"}, {job_fact::tasks, "PBS_NP"},
    {job_fact::queue, "PBS_QUEUE"},      {job_fact::account, "PBS_ACCOUNT"},
};
constexpr job_variable kLsfVariables[] = {
    {job_fact::id, "LSB_JOBID"},           {job_fact::name, "LSB_JOBNAME"},
    {job_fact::nodes, "LSB_MCPU_HOSTS"},   {job_fact::nodes, "LSB_HOSTS"},
    {job_fact::tasks, "LSB_DJOB_NUMPROC"}, {job_fact::queue, "LSB_QUEUE"},
    {job_fact::account, "LSB_PROJECT_NAME"},
};

struct scheduler {
    const char *name;
    const job_variable *variables;
    int count;
};
// Flux first: it is the one run inside another scheduler's allocation, and
// then it is the one running this process.
constexpr scheduler kSchedulers[] = {
    {"flux", kFluxVariables, count_of(kFluxVariables)},
    {"slurm", kSlurmVariables, count_of(kSlurmVariables)},
    {"pbs", kPbsVariables, count_of(kPbsVariables)},
    {"lsf", kLsfVariables, count_of(kLsfVariables)},
};

// The value of name in environment, or nullptr when it is unset or empty.
const char *environment_value(const char *const *environment, const char *name) {
    const size_t length = std::strlen(name);
    for (const char *const *entry = environment; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, name, length) != 0 || (*entry)[length] != '=') continue;
        const char *value = *entry + length + 1;
        return value[0] != '\0' ? value : nullptr;
    }
    return nullptr;
}

bool runs_job(const scheduler &s, const char *const *environment) {
    for (int i = 0; i < s.count; ++i)
        if (s.variables[i].fact == job_fact::id &&
            environment_value(environment, s.variables[i].variable) != nullptr)
            return true;
    return false;
}

int record_job_fact(const job_fact_record &fact, const char *value) {
    if (std::strcmp(fact.typestr, "%u") != 0) return record_text(fact.name, kJob, fact.typestr, value);
    unsigned long long count = 0;
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        count = count * 10 + static_cast<unsigned>(*p - '0');
        if (count > UINT_MAX) return 0;
    }
    return recorded(mekal_namevalue(fact.name, mekal_category_general, kJob, "%u",
                                    static_cast<unsigned>(count)));
}

int record_job() {
    const char *const *environment = melsys_get_environment();
    if (environment == nullptr) return -1;
    const scheduler *found = nullptr;
    for (const scheduler &s : kSchedulers) {
        if (runs_job(s, environment)) {
            found = &s;
            break;
        }
    }
    if (found == nullptr) return -1;

    int count = record_text("job_scheduler", kJob, "%s", found->name);
    bool seen[kJobFactCount] = {};
    for (int i = 0; i < found->count; ++i) {
        const int fact = static_cast<int>(found->variables[i].fact);
        const char *value = environment_value(environment, found->variables[i].variable);
        if (seen[fact] || value == nullptr) continue;
        seen[fact] = true;
        count += record_job_fact(kJobFacts[fact], value);
    }
    return count > 0 ? 0 : -1;
}

// ---------------------------------------------------------------- build

constexpr const char *kBuild = "build";

int record_build(const mekal_buildinfo_t *info) {
    if (info == nullptr || info->size < kBuildinfoFirstSize) return -1;
    int count = record_text("compiler", kBuild, "%s", info->compiler);
    count += record_text("compiler_version", kBuild, "%v", info->compiler_version);
    count += record_text("language", kBuild, "%s", info->language);
    if (info->language_standard > 0)
        count += recorded(mekal_namevalue("language_standard", mekal_category_general, kBuild,
                                          "%d", static_cast<int>(info->language_standard)));
    count += recorded(mekal_namevalue("optimized", mekal_category_general, kBuild, "%d",
                                      info->optimized != 0 ? 1 : 0));
    count += record_text("git_commit", kBuild, "%s", info->git_commit);
    count += record_text("git_describe", kBuild, "%s", info->git_describe);
    if (info->git_dirty == 0 || info->git_dirty == 1)
        count += recorded(mekal_namevalue("git_dirty", mekal_category_general, kBuild, "%d",
                                          static_cast<int>(info->git_dirty)));
    count += record_text("git_branch", kBuild, "%s", info->git_branch);
    if (info->git_commit_date > 0)
        count += recorded(mekal_namevalue("git_commit_date", mekal_category_general, kBuild, "%D",
                                          static_cast<long>(info->git_commit_date)));
    return count > 0 ? 0 : -1;
}

// ---------------------------------------------------------- environment

// Length of the name of a "NAME=value" entry, or 0 when it has no name.
size_t name_length(const char *entry) {
    const char *equals = std::strchr(entry, '=');
    return equals == nullptr ? 0 : static_cast<size_t>(equals - entry);
}

bool has_prefix(const char *entry, size_t length, const char *const *prefixes, int count) {
    for (int i = 0; i < count; ++i) {
        if (prefixes[i] == nullptr) continue;
        const size_t prefix_length = std::strlen(prefixes[i]);
        if (prefix_length <= length && std::strncmp(entry, prefixes[i], prefix_length) == 0)
            return true;
    }
    return false;
}

int record_environment(const char *const *prefixes, int count) {
    if (prefixes == nullptr || count <= 0) return -1;
    const char *const *environment = melsys_get_environment();
    if (environment == nullptr) return -1;

    size_t matches = 0;
    size_t name_bytes = 0;
    for (const char *const *entry = environment; *entry != nullptr; ++entry) {
        const size_t length = name_length(*entry);
        if (length == 0 || !has_prefix(*entry, length, prefixes, count)) continue;
        ++matches;
        name_bytes += length + 1;
    }
    if (matches == 0 || matches > INT_MAX) return -1;

    // One block: the packed (%s,%s) tuples, two text pointers each, then
    // the names they point to. The values point into the environment.
    const size_t pair_bytes = matches * 2 * sizeof(const char *);
    std::unique_ptr<void, free_deleter> block(std::malloc(pair_bytes + name_bytes));
    if (block == nullptr) return -1;
    auto **pairs = static_cast<const char **>(block.get());
    char *names = static_cast<char *>(block.get()) + pair_bytes;

    // Sorted by insertion; a name set twice keeps its first value, the one
    // a lookup of the variable finds.
    size_t stored = 0;
    for (const char *const *entry = environment; *entry != nullptr; ++entry) {
        const size_t length = name_length(*entry);
        if (length == 0 || !has_prefix(*entry, length, prefixes, count)) continue;
        std::memcpy(names, *entry, length);
        names[length] = '\0';
        size_t at = 0;
        int order = 1;
        while (at < stored && (order = std::strcmp(pairs[2 * at], names)) < 0) ++at;
        if (at < stored && order == 0) continue;
        std::memmove(pairs + 2 * (at + 1), pairs + 2 * at, (stored - at) * 2 * sizeof(const char *));
        pairs[2 * at] = names;
        pairs[2 * at + 1] = *entry + length + 1;
        ++stored;
        names += length + 1;
    }
    return mekal_namevalue("environment", mekal_category_general, "environment", "[(%s,%s)]",
                           pairs, static_cast<int>(stored), 2) == 0
               ? 0
               : -1;
}

}  // namespace
}  // namespace mekal

extern "C" MEKAL_API int mekal_hostinfo(void) { return mekal::record_host(); }
extern "C" MEKAL_API int mekal_jobinfo(void) { return mekal::record_job(); }
extern "C" MEKAL_API int mekal_buildinfo(const mekal_buildinfo_t *info) {
    return mekal::record_build(info);
}
extern "C" MEKAL_API int mekal_environment(const char *const *prefixes, int count) {
    return mekal::record_environment(prefixes, count);
}
