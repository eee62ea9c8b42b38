// The opt-in collectors, on this machine through the real probes and
// against probes this program supplies: the supplied ones stand in front of
// the library's while a case switches them on, and pass through otherwise.

// A source revision as a build defines it, before mekal.h reads it.
#define MEKAL_GIT_COMMIT "0123abcd"
#define MEKAL_GIT_DIRTY 0

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "mekal.h"
#include "stored_value.h"

using testing_helpers::stored;

namespace {

struct Cache {
    int level;
    const char *type;
    uint64_t bytes;
};

// What the supplied probes report; a null text or negative number fails.
struct Supplied {
    bool host = false, environment = false;
    const char *model = "\t AMD  EPYC\t7763   64-Core \n";
    int online = 8, allowed = 4;
    std::vector<Cache> caches = {{1, "Data", 32768}, {1, "Instruction", 32768}, {2, "Unified", 1 << 20}};
    const char *governor = "performance";
    bool loads = true;
    long long memory = 17179869184LL;
    const char *os_name = "Debian GNU/Linux 12 (bookworm)", *os_version = "12";
    bool uname = true;
    long page = 4096;
    std::vector<const char *> env;
};
Supplied g_supplied;

template <typename F>
F library(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int copy(char *buf, size_t size, const char *text) {
    if (text == nullptr) return -1;
    std::snprintf(buf, size, "%s", text);
    return 0;
}

}  // namespace

#define PASS_THROUGH(flag, name, ...) \
    if (!g_supplied.flag) return library<decltype(&name)>(#name)(__VA_ARGS__)

extern "C" {
int melsys_cpu_model(char *buf, size_t size) {
    PASS_THROUGH(host, melsys_cpu_model, buf, size);
    return copy(buf, size, g_supplied.model);
}
int melsys_cpus_online(void) { PASS_THROUGH(host, melsys_cpus_online); return g_supplied.online; }
int melsys_cpus_allowed(void) { PASS_THROUGH(host, melsys_cpus_allowed); return g_supplied.allowed; }
int melsys_cpu_cache(int index, int *level, char *type, size_t size, uint64_t *bytes) {
    PASS_THROUGH(host, melsys_cpu_cache, index, level, type, size, bytes);
    if (index >= static_cast<int>(g_supplied.caches.size())) return -1;
    *level = g_supplied.caches[index].level;
    *bytes = g_supplied.caches[index].bytes;
    return copy(type, size, g_supplied.caches[index].type);
}
int melsys_cpu_governor(char *buf, size_t size) {
    PASS_THROUGH(host, melsys_cpu_governor, buf, size);
    return copy(buf, size, g_supplied.governor);
}
int melsys_loadavg(double loads[3]) {
    PASS_THROUGH(host, melsys_loadavg, loads);
    const double supplied[3] = {0.5, 1.25, 2};
    std::memcpy(loads, supplied, sizeof supplied);
    return g_supplied.loads ? 0 : -1;
}
int melsys_memory_total(uint64_t *bytes) {
    PASS_THROUGH(host, melsys_memory_total, bytes);
    *bytes = static_cast<uint64_t>(g_supplied.memory);
    return g_supplied.memory < 0 ? -1 : 0;
}
int melsys_os_release(const char *key, char *buf, size_t size) {
    PASS_THROUGH(host, melsys_os_release, key, buf, size);
    const std::string k = key;
    return copy(buf, size, k == "PRETTY_NAME" ? g_supplied.os_name
                           : k == "VERSION_ID" ? g_supplied.os_version : nullptr);
}
int melsys_uname(char *release, size_t release_size, char *machine, size_t machine_size) {
    PASS_THROUGH(host, melsys_uname, release, release_size, machine, machine_size);
    copy(release, release_size, "6.1.0-18-amd64");
    copy(machine, machine_size, "x86_64");
    return g_supplied.uname ? 0 : -1;
}
long melsys_page_size(void) { PASS_THROUGH(host, melsys_page_size); return g_supplied.page; }
const char *const *melsys_get_environment(void) {
    PASS_THROUGH(environment, melsys_get_environment);
    g_supplied.env.push_back(nullptr);
    return g_supplied.env.data();
}
}  // extern "C"

namespace {

// A stored value as "type value", the containers spelled out.
std::string render(const mekal_datatype_t *d, const mekal_value_t *v) {
    switch (d->type) {
    case mekal_type_int: return std::to_string(v->as_int);
    case mekal_type_unsigned_int: return std::to_string(static_cast<uint32_t>(v->as_int));
    case mekal_type_unsigned_long_long: return std::to_string(static_cast<uint64_t>(v->as_long));
    case mekal_type_date: return "@" + std::to_string(v->as_long);
    case mekal_type_double: {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", v->as_double);
        return text;
    }
    case mekal_type_set:
    case mekal_type_tuple: {
        std::string out = d->type == mekal_type_set ? "[" : "(";
        for (int i = 0; i < mekal_num_subvals(d); ++i) {
            mekal_datatype_t *sub = nullptr;
            mekal_value_t element{};
            EXPECT_EQ(mekal_get_subval(d, v, i, &sub, &element), 0);
            out += (i ? "," : "") + render(sub, &element);
        }
        return out + (d->type == mekal_type_set ? "]" : ")");
    }
    default: return static_cast<const char *>(v->as_ptr);
    }
}

using Record = std::map<std::string, std::string>;

// Everything stored, which must all be filed under category 2 and subcategory.
Record recorded(const char *subcategory) {
    struct Listing {
        const char *subcategory;
        Record out;
    } listing{subcategory, {}};
    mekal_list_namevals(
        0, mekal_category_all,
        [](const char *name, mekal_category_t category, const char *sub, mekal_value_t *value,
           mekal_datatype_t *datatype, void *opaque) {
            auto *l = static_cast<Listing *>(opaque);
            EXPECT_EQ(category, mekal_category_general) << name;
            EXPECT_STREQ(sub, l->subcategory) << name;
            char *type = mekal_type_to_string(datatype, 0);
            l->out[name] = std::string(type) + " " + render(datatype, value);
            std::free(type);
        },
        &listing);
    return listing.out;
}

class RunFacts : public ::testing::Test {
protected:
    void SetUp() override {
        mekal_clean();
        g_supplied = Supplied{};
    }
    void TearDown() override { mekal_clean(); }
};

uint64_t meminfo_total_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    while (meminfo >> key >> kib && key != "MemTotal:") meminfo.ignore(256, '\n');
    return kib * 1024;
}

TEST_F(RunFacts, HostFactsAreThisMachinesAndFollowTheProbes) {
    ASSERT_EQ(mekal_hostinfo(), 0);
    struct utsname names{};
    ASSERT_EQ(uname(&names), 0);
    const int64_t online = stored("cpus_online").number(), allowed = stored("cpus_allowed").number();
    EXPECT_GE(online, allowed);
    EXPECT_GE(allowed, 1);
    const auto memory = static_cast<double>(stored("memory_total").number());
    EXPECT_NEAR(memory, static_cast<double>(meminfo_total_bytes()), memory / 100);
    EXPECT_EQ(stored("kernel_release").text(), names.release);
    EXPECT_EQ(stored("architecture").text(), names.machine);
    EXPECT_EQ(stored("page_size").number(), sysconf(_SC_PAGESIZE));
    EXPECT_EQ(stored("loadavg").typestr, "(%f, %f, %f)");
    EXPECT_EQ(stored("os_name").found, std::ifstream("/etc/os-release").good() ||
                                           std::ifstream("/usr/lib/os-release").good());
    const std::string model = stored("cpu_model").text();
    EXPECT_EQ(model.find("  "), std::string::npos) << model;

    const Record all = {
        {"cpu_model", "%s AMD EPYC 7763 64-Core"},
        {"cpus_online", "%u 8"},
        {"cpus_allowed", "%u 4"},
        {"cpu_caches", "[(%d, %s, %llu)] [(1,Data,32768),(1,Instruction,32768),(2,Unified,1048576)]"},
        {"cpu_governor", "%s performance"},
        {"loadavg", "(%f, %f, %f) (0.50,1.25,2.00)"},
        {"memory_total", "%llu 17179869184"},
        {"os_name", "%s Debian GNU/Linux 12 (bookworm)"},
        {"os_version", "%v 12"},
        {"kernel_release", "%v 6.1.0-18-amd64"},
        {"architecture", "%s x86_64"},
        {"page_size", "%llu 4096"},
    };
    auto without = [&all](std::vector<std::string> names) {
        Record out = all;
        for (const auto &name : names) out.erase(name);
        return out;
    };
    struct Case {
        const char *label;
        void (*change)(Supplied &);
        Record expected;
    };
    const Case cases[] = {
        {"every source", [](Supplied &) {}, all},
        {"no os-release", [](Supplied &s) { s.os_name = s.os_version = nullptr; },
         without({"os_name", "os_version"})},
        {"a blank model, no caches or governor, CPU counts unknown",
         [](Supplied &s) {
             s.model = " \t ";
             s.caches.clear();
             s.governor = nullptr;
             s.online = s.allowed = -1;
         },
         without({"cpu_model", "cpu_caches", "cpu_governor", "cpus_online", "cpus_allowed"})},
        {"no source at all",
         [](Supplied &s) {
             s = Supplied{};
             s.model = s.governor = s.os_name = s.os_version = nullptr;
             s.caches.clear();
             s.online = s.allowed = -1;
             s.loads = s.uname = false;
             s.memory = s.page = -1;
         },
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        mekal_clean();
        g_supplied = Supplied{};
        c.change(g_supplied);
        g_supplied.host = true;
        EXPECT_EQ(mekal_hostinfo(), c.expected.empty() ? -1 : 0);
        EXPECT_EQ(recorded("host"), c.expected);
    }
}

TEST_F(RunFacts, JobFactsComeFromTheRunningSchedulersVariables) {
    bool in_job = false;
    for (const char *id : {"FLUX_JOB_ID", "SLURM_JOB_ID", "SLURM_JOBID", "PBS_JOBID", "LSB_JOBID"})
        in_job = in_job || (std::getenv(id) != nullptr && *std::getenv(id) != '\0');
    EXPECT_EQ(mekal_jobinfo(), in_job ? 0 : -1);
    EXPECT_EQ(stored("job_scheduler").found, in_job);

    struct Case {
        std::vector<const char *> env;
        Record expected;
    };
    const Case cases[] = {
        {{"HOME=/root", "SLURM_JOB_ID=123", "SLURM_JOB_NAME=relax", "SLURM_JOB_NODELIST=n[01-04]",
          "SLURM_NTASKS=128", "SLURM_JOB_PARTITION=batch", "SLURM_JOB_ACCOUNT=proj7"},
         {{"job_scheduler", "%s slurm"}, {"job_id", "%s 123"}, {"job_name", "%s relax"},
          {"job_nodelist", "%s n[01-04]"}, {"job_tasks", "%u 128"}, {"job_queue", "%s batch"},
          {"job_account", "%s proj7"}}},
        {{"SLURM_JOBID=9", "SLURM_NODELIST=n1", "SLURM_NPROCS=2", "SLURM_JOB_NAME="},
         {{"job_scheduler", "%s slurm"}, {"job_id", "%s 9"}, {"job_nodelist", "%s n1"},
          {"job_tasks", "%u 2"}}},
        {{"PBS_JOBID=42.srv", "PBS_JOBNAME=mesh", "PBS_NODEFILE=/var/pbs/aux/42.srv", "PBS_NP=16",
          "PBS_QUEUE=workq", "PBS_ACCOUNT=acct"},
         {{"job_scheduler", "%s pbs"}, {"job_id", "%s 42.srv"}, {"job_name", "%s mesh"},
          {"job_nodefile", "%p /var/pbs/aux/42.srv"}, {"job_tasks", "%u 16"},
          {"job_queue", "%s workq"}, {"job_account", "%s acct"}}},
        {{"LSB_JOBID=777", "LSB_JOBNAME=sweep", "LSB_HOSTS=a a b", "LSB_MCPU_HOSTS=a 2 b 1",
          "LSB_DJOB_NUMPROC=3", "LSB_QUEUE=normal", "LSB_PROJECT_NAME=p1"},
         {{"job_scheduler", "%s lsf"}, {"job_id", "%s 777"}, {"job_name", "%s sweep"},
          {"job_nodelist", "%s a 2 b 1"}, {"job_tasks", "%u 3"}, {"job_queue", "%s normal"},
          {"job_account", "%s p1"}}},
        // Flux started inside a Slurm allocation runs the process.
        {{"SLURM_JOB_ID=5", "FLUX_JOB_ID=f3Ab", "FLUX_JOB_SIZE=x4"},
         {{"job_scheduler", "%s flux"}, {"job_id", "%s f3Ab"}}},
        {{"HOME=/root", "SLURM_CONF=/etc/slurm.conf", "PBS_JOBID=", "LSB_QUEUE=normal"}, {}},
        {{}, {}},
    };
    g_supplied.environment = true;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.env.empty() ? "(empty)" : c.env.front());
        mekal_clean();
        g_supplied.env = c.env;
        EXPECT_EQ(mekal_jobinfo(), c.expected.empty() ? -1 : 0);
        EXPECT_EQ(recorded("job"), c.expected);
    }
}

TEST_F(RunFacts, BuildFactsAreThoseOfTheExpandingTranslationUnit) {
    ASSERT_EQ(MEKAL_BUILDINFO(), 0);
#if defined(__clang__)
    const std::string compiler = "clang", major = std::to_string(__clang_major__);
#else
    const std::string compiler = "gcc", major = std::to_string(__GNUC__);
#endif
#ifdef __OPTIMIZE__
    const int optimized = 1;
#else
    const int optimized = 0;
#endif
    Record here = recorded("build");
    EXPECT_EQ(here["compiler_version"].substr(0, major.size() + 4), "%v " + major + ".");
    here.erase("compiler_version");
    EXPECT_EQ(here, (Record{{"compiler", "%s " + compiler},
                            {"language", "%s c++"},
                            {"language_standard", "%d " + std::to_string(__cplusplus)},
                            {"optimized", "%d " + std::to_string(optimized)},
                            {"git_commit", "%s 0123abcd"},
                            {"git_dirty", "%d 0"}}));

    mekal_buildinfo_t known = {sizeof known, 7, "icx", "2024.1", "c", 201710, 1,
                               "f00d", "v1-2-gf00d-dirty", "main", 1700000000};
    struct {
        mekal_buildinfo_t info;
        char appended[16];
    } newer = {known, {}};
    newer.info.size = sizeof newer;
    const mekal_buildinfo_t unknown = {sizeof unknown, 0, nullptr, nullptr, nullptr, 0, -1,
                                       nullptr, nullptr, nullptr, 0};
    mekal_buildinfo_t older = known;
    older.size = sizeof older - 8;
    const Record all = {
        {"compiler", "%s icx"},         {"compiler_version", "%v 2024.1"},
        {"language", "%s c"},           {"language_standard", "%d 201710"},
        {"optimized", "%d 1"},          {"git_commit", "%s f00d"},
        {"git_describe", "%s v1-2-gf00d-dirty"}, {"git_dirty", "%d 1"},
        {"git_branch", "%s main"},      {"git_commit_date", "%D @1700000000"},
    };
    const std::pair<const void *, Record> cases[] = {
        {&known, all},
        {&newer, all},  // a later, longer layout: the known part is read
        {&unknown, {{"optimized", "%d 0"}}},
        {&older, {}},
        {nullptr, {}},
    };
    for (const auto &[info, expected] : cases) {
        mekal_clean();
        EXPECT_EQ(mekal_buildinfo(static_cast<const mekal_buildinfo_t *>(info)),
                  expected.empty() ? -1 : 0);
        EXPECT_EQ(recorded("build"), expected);
    }
}

TEST_F(RunFacts, EnvironmentHoldsExactlyTheChosenVariablesSorted) {
    ASSERT_EQ(setenv("MEKALT_B", "2", 1), 0);
    ASSERT_EQ(setenv("MEKALT_A", "1=one", 1), 0);
    ASSERT_EQ(setenv("MEKALX_C", "", 1), 0);
    ASSERT_EQ(setenv("MEKALY", "not asked", 1), 0);
    const std::string both = "[(%s, %s)] [(MEKALT_A,1=one),(MEKALT_B,2),(MEKALX_C,)]";
    struct Case {
        std::vector<const char *> prefixes;
        int count;
        std::string expected;  // empty: -1, nothing recorded
    };
    const Case cases[] = {
        {{"MEKALX_", "MEKALT_"}, 2, both},
        {{"MEKALT_A", "MEKALT_", nullptr, "MEKALX"}, 4, both},
        {{"MEKALT_", "MEKALX_"}, 1, "[(%s, %s)] [(MEKALT_A,1=one),(MEKALT_B,2)]"},
        {{"MEKALZ", "mekalt_"}, 2, ""},
        {{"MEKALT_"}, 0, ""},
        {{nullptr}, 1, ""},
        {{}, -1, ""},
    };
    for (const Case &c : cases) {
        mekal_clean();
        EXPECT_EQ(mekal_environment(c.prefixes.empty() ? nullptr : c.prefixes.data(), c.count),
                  c.expected.empty() ? -1 : 0);
        EXPECT_EQ(recorded("environment"),
                  (c.expected.empty() ? Record{} : Record{{"environment", c.expected}}));
    }

    // "" asks for everything; a name set twice is recorded once, with the
    // value a lookup finds.
    g_supplied.environment = true;
    g_supplied.env = {"Z=1", "DUP=first", "=nameless", "noequals", "A=2", "DUP=second"};
    const char *everything[] = {""};
    mekal_clean();
    EXPECT_EQ(mekal_environment(everything, 1), 0);
    EXPECT_EQ(recorded("environment"),
              (Record{{"environment", "[(%s, %s)] [(A,2),(DUP,first),(Z,1)]"}}));
    for (const char *name : {"MEKALT_A", "MEKALT_B", "MEKALX_C", "MEKALY"}) unsetenv(name);
}

}  // namespace
