// The built-in collectors, each alone and all together, and the other
// whole-run costs: mekal_fini with the three timings and mekal_clean of
// 1,000 entries. The collectors read /proc, the password database and the
// loaded-object list on every call, so the paired rows set each against its
// floor: the same probes called directly (the system calls no collector
// can avoid), or for the clean, freeing the blocks of 1,000 entries.
#include <cstdlib>
#include <sys/time.h>

#include "bench_support.h"

namespace bench {
namespace {

struct Collector {
    const char *name;
    int (*collect)(void);
};

constexpr Collector kCollectors[] = {
    {"collect_all", mekal_collect_all},
    {"mekalversion", mekal_mekalversion},
    {"launchdate", mekal_launchdate},
    {"launchday", mekal_launchday},
    {"executable", mekal_executable},
    {"executablepath", mekal_executablepath},
    {"cmdline", mekal_cmdline},
    {"user", mekal_user},
    {"uid", mekal_uid},
    {"workdir", mekal_workdir},
    {"hostname", mekal_hostname},
    {"clustername", mekal_clustername},
    {"num_hosts", mekal_num_hosts},
    {"job_size", mekal_job_size},
    {"libraries", mekal_libraries},
    {"hostlist", mekal_hostlist},
    {"mpi_version", mekal_mpi_version},
    {"mpi_library", mekal_mpi_library},
    {"mpi_library_version", mekal_mpi_library_version},
};

void mekal_collect(benchmark::State &state, int (*collect)(void)) {
    ensure_registry(0, 0, false);
    invalidate_registry();
    int rc = 0;
    for (auto _ : state) rc = collect();
    // Collectors that need a facility this build lacks return -1 by design;
    // the result is shown rather than failing the run.
    state.counters["rc"] = rc;
    mekal_clean();
}

// ------------------------------------------------------------- probes

void probe_starttime() {
    struct timeval start{};
    benchmark::DoNotOptimize(melsys_starttime(&start));
}
void probe_executable() {
    char path[4097];
    benchmark::DoNotOptimize(melsys_get_executable(path, sizeof path));
}
void probe_login() {
    char *login = nullptr;
    benchmark::DoNotOptimize(melsys_get_names(nullptr, &login));
    std::free(login);
}
void probe_gecos() {
    char *gecos = nullptr;
    benchmark::DoNotOptimize(melsys_get_names(&gecos, nullptr));
    std::free(gecos);
}
void probe_cwd() {
    char cwd[1024];
    benchmark::DoNotOptimize(melsys_get_cwd(cwd, sizeof cwd));
}
void probe_hostname() {
    char host[512];
    benchmark::DoNotOptimize(melsys_hostname(host, sizeof host));
}
void probe_cmdline() {
    char *buffer = nullptr;
    int length = 0;
    benchmark::DoNotOptimize(melsys_get_cmdline_buffer(&buffer, &length));
    std::free(buffer);
}
void probe_libraries() {
    const char **names = nullptr;
    int count = 0, owned = 0;
    benchmark::DoNotOptimize(melsys_get_libraries(&names, &count, &owned));
    if (owned != 0 && names != nullptr)
        for (int i = 0; i < count; ++i) std::free(const_cast<char *>(names[i]));
    std::free(names);
}
// What mekal_collect_all asks of the probes, call for call.
void probes_of_collect_all() {
    probe_login();
    probe_gecos();
    probe_starttime();
    probe_starttime();
    probe_executable();
    probe_executable();
    probe_cwd();
    probe_libraries();
    probe_cmdline();
    probe_hostname();
    probe_hostname();
}
// What mekal_fini asks with the three timings requested.
void probes_of_fini() {
    struct timeval user{}, sys{}, start{}, now{};
    benchmark::DoNotOptimize(melsys_get_times(nullptr, &user));
    benchmark::DoNotOptimize(melsys_get_times(&sys, nullptr));
    benchmark::DoNotOptimize(melsys_starttime(&start));
    benchmark::DoNotOptimize(melsys_curtime(&now));
}

constexpr int kWholeBatch = 10;

template <typename Op>
double run_batch(Op op) {
    return time_ns([&] {
        for (int k = 0; k < kWholeBatch; ++k) op();
    });
}

void paired_collect(benchmark::State &state, int (*collect)(void), void (*probes)()) {
    ensure_registry(0, 0, false);
    invalidate_registry();
    int rc = 0;
    paired(
        state, kWholeBatch, [&] { return run_batch([&] { rc = collect(); }); },
        [&] { return run_batch(probes); });
    require(state, rc == 0, "the collector recorded nothing");
    mekal_clean();
}

struct PairedCollector {
    const char *name;
    int (*collect)(void);
    void (*probes)();
};

constexpr PairedCollector kPairedCollectors[] = {
    {"collect_all", mekal_collect_all, probes_of_collect_all},
    {"launchdate", mekal_launchdate, probe_starttime},
    {"launchday", mekal_launchday, probe_starttime},
    {"executable", mekal_executable, probe_executable},
    {"executablepath", mekal_executablepath, probe_executable},
    {"cmdline", mekal_cmdline, probe_cmdline},
    {"user", mekal_user, probe_login},
    {"uid", mekal_uid, probe_gecos},
    {"workdir", mekal_workdir, probe_cwd},
    {"hostname", mekal_hostname, probe_hostname},
    {"clustername", mekal_clustername, probe_hostname},
    {"libraries", mekal_libraries, probe_libraries},
};

void paired_fini(benchmark::State &state) {
    ensure_registry(0, 0, false);
    invalidate_registry();
    mekal_walltime();
    mekal_systime();
    mekal_cputime();
    paired(
        state, kWholeBatch, [&] { return run_batch(mekal_fini); },
        [&] { return run_batch(probes_of_fini); });
    require(state, mekal_get_nameval("walltime", nullptr, nullptr, nullptr, nullptr) == 0,
            "no timing recorded");
    mekal_clean();
}

// A clean of 1,000 entries (each a name, a "%d" value and a subcategory)
// against freeing the five blocks of each; filling happens outside the time.
constexpr int kCleaned = 1000;

void paired_clean(benchmark::State &state) {
    ensure_registry(0, 0, false);
    invalidate_registry();
    const std::vector<std::string> names = make_names(0, kCleaned);
    std::vector<void *> blocks;
    blocks.reserve(5 * kCleaned);
    long failures = 0;
    paired(
        state, 1,
        [&] {
            for (int i = 0; i < kCleaned; ++i)
                failures += mekal_namevalue(names[static_cast<size_t>(i)].c_str(),
                                            mekal_category_general, kSubcategory, "%d", i) != 0;
            return time_ns([] { mekal_clean(); });
        },
        [&] {
            for (int i = 0; i < kCleaned; ++i) {
                blocks.push_back(zeroed<nameval_entry>());
                blocks.push_back(strdup(names[static_cast<size_t>(i)].c_str()));
                blocks.push_back(strdup(kSubcategory));
                blocks.push_back(zeroed<mekal_value_info_t>());
                blocks.push_back(zeroed<mekal_value_t>());
            }
            const double ns = time_ns([&] {
                for (void *block : blocks) std::free(block);
            });
            blocks.clear();
            return ns;
        });
    require(state, failures == 0, "recording failed");
}

[[maybe_unused]] const bool registered = [] {
    for (const Collector &c : kCollectors)
        benchmark::RegisterBenchmark((std::string("mekal/collect/") + c.name).c_str(),
                                     mekal_collect, c.collect);
    for (const PairedCollector &c : kPairedCollectors)
        benchmark::RegisterBenchmark((std::string("paired/collect/") + c.name).c_str(),
                                     paired_collect, c.collect, c.probes);
    benchmark::RegisterBenchmark("paired/fini_three_timings", paired_fini);
    benchmark::RegisterBenchmark("paired/clean/1000", paired_clean);
    return true;
}();

}  // namespace
}  // namespace bench
