// Built-in collectors against probes that this program defines: every
// recorded value must follow from what the probes report, under the right
// name, subcategory and type, and a probe that fails must leave nothing
// recorded. The program also stands in front of mekal_namevalue, to see the
// calls and to make the entry fail on purpose.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "mekal.h"
#include "stored_value.h"
#include "registry_helpers.h"

using namespace testing_helpers;

namespace {

struct FakeSystem {
    int host_rc = 0;
    std::string host = "node12.rack7";
    bool host_without_nul = false;  // fills the whole buffer, no terminator
    int host_size = 0;

    int start_rc = 0;
    struct timeval start = {3 * 86400 + 5, 250};

    int exe_rc = 0;
    std::string exe = "/opt/tools/bin/solver";
    size_t exe_size = 0;

    int cmdline_rc = 0;
    std::string cmdline = std::string("a\0b", 3);

    int names_rc = 0;
    std::string login = "jdoe";
    std::string gecos = "John Doe,Room 12,555-0100";
    std::vector<std::string> names_asked;  // "login", "gecos" per call

    int cwd_rc = 0;
    std::string cwd = "/home/jdoe/run";
    size_t cwd_size = 0;

    int libs_rc = 0;
    std::vector<std::string> libs = {"/lib/libc.so.6", "/opt/x/libsolver.so.2"};
    int libs_owned = 0;

    int calls_host = 0, calls_start = 0, calls_exe = 0, calls_cmdline = 0, calls_names = 0,
        calls_cwd = 0, calls_libs = 0;

    std::set<std::string> entry_fails_for;  // names whose entry returns -1
    std::vector<std::string> entry_calls;   // "name|subcategory|typestr"
};
FakeSystem g_sys;

void fail_every_probe() {
    g_sys.host_rc = g_sys.start_rc = g_sys.exe_rc = g_sys.cmdline_rc = g_sys.names_rc =
        g_sys.cwd_rc = g_sys.libs_rc = -1;
}

}  // namespace

extern "C" {

int melsys_hostname(char *buf, int size) {
    ++g_sys.calls_host;
    g_sys.host_size = size;
    if (g_sys.host_rc != 0) return -1;
    if (g_sys.host_without_nul) {
        std::memset(buf, 'x', static_cast<size_t>(size));
        return 0;
    }
    std::strncpy(buf, g_sys.host.c_str(), static_cast<size_t>(size));
    buf[size - 1] = '\0';
    return 0;
}

int melsys_starttime(struct timeval *tv) {
    ++g_sys.calls_start;
    *tv = g_sys.start_rc == 0 ? g_sys.start : timeval{0, 0};
    return g_sys.start_rc;
}

int melsys_get_executable(char *buf, size_t size) {
    ++g_sys.calls_exe;
    g_sys.exe_size = size;
    if (g_sys.exe_rc != 0) return -1;
    std::strncpy(buf, g_sys.exe.c_str(), size);
    buf[size - 1] = '\0';
    return 0;
}

int melsys_get_cmdline_buffer(char **buf_out, int *len_out) {
    ++g_sys.calls_cmdline;
    if (g_sys.cmdline_rc != 0) return -1;
    auto *buffer = static_cast<char *>(std::calloc(1, g_sys.cmdline.size() + 1));
    std::memcpy(buffer, g_sys.cmdline.data(), g_sys.cmdline.size());
    *buf_out = buffer;
    *len_out = static_cast<int>(g_sys.cmdline.size());
    return 0;
}

int melsys_get_names(char **gecos_out, char **login_out) {
    ++g_sys.calls_names;
    g_sys.names_asked.push_back(std::string(login_out ? "login" : "") + (gecos_out ? "gecos" : ""));
    if (g_sys.names_rc != 0) return -1;
    if (login_out) *login_out = strdup(g_sys.login.c_str());
    if (gecos_out) *gecos_out = strdup(g_sys.gecos.c_str());
    return 0;
}

int melsys_get_cwd(char *buf, size_t size) {
    ++g_sys.calls_cwd;
    g_sys.cwd_size = size;
    if (g_sys.cwd_rc != 0) return -1;
    std::strncpy(buf, g_sys.cwd.c_str(), size);
    return 0;
}

int melsys_get_libraries(const char ***names_out, int *count_out, int *names_owned_out) {
    ++g_sys.calls_libs;
    if (g_sys.libs_rc != 0) return -1;
    const size_t n = g_sys.libs.size();
    auto **names = static_cast<const char **>(std::malloc(sizeof(char *) * (n + 1)));
    for (size_t i = 0; i < n; ++i)
        names[i] = g_sys.libs_owned ? strdup(g_sys.libs[i].c_str()) : g_sys.libs[i].c_str();
    names[n] = nullptr;
    *names_out = names;
    *count_out = static_cast<int>(n);
    *names_owned_out = g_sys.libs_owned;
    return 0;
}

// Stands in front of the library's entry: notes each call and passes it on
// with the argument kinds that the collectors use.
int mekal_namevalue(const char *name, mekal_category_t category, const char *subcategory,
                    const char *typestr, ...) {
    using entry_fn = int (*)(const char *, mekal_category_t, const char *, const char *, ...);
    static auto real = reinterpret_cast<entry_fn>(dlsym(RTLD_NEXT, "mekal_namevalue"));
    if (real == nullptr) {
        ADD_FAILURE() << "the library's mekal_namevalue was not found";
        return -1;
    }
    g_sys.entry_calls.push_back(std::string(name) + "|" + (subcategory ? subcategory : "(null)") +
                                "|" + typestr + "|" + std::to_string(category));
    if (g_sys.entry_fails_for.count(name) != 0) return -1;

    va_list args;
    va_start(args, typestr);
    int rc = -1;
    const std::string type = typestr;
    if (type == "[%s]" || type == "[%p]") {
        const void *array = va_arg(args, const void *);
        const int count = va_arg(args, int);
        rc = real(name, category, subcategory, typestr, array, count);
    } else if (type == "%D") {
        rc = real(name, category, subcategory, typestr, va_arg(args, long));
    } else if (type == "%u") {
        rc = real(name, category, subcategory, typestr, va_arg(args, unsigned));
    } else if (type == "%s" || type == "%p" || type == "%v") {
        rc = real(name, category, subcategory, typestr, va_arg(args, const char *));
    } else {
        ADD_FAILURE() << "unexpected type string " << type << " for " << name;
    }
    va_end(args);
    return rc;
}

}  // extern "C"

using testing_helpers::Stored;
using testing_helpers::stored;

namespace {

// Checks where and how a value was filed.
#define EXPECT_FILED(s, sub, type_text, type_code)              \
    do {                                                        \
        EXPECT_TRUE((s).found);                                 \
        if ((s).found) {                                        \
            EXPECT_EQ((s).category, mekal_category_general);    \
            EXPECT_EQ((s).subcategory, sub);                    \
            EXPECT_EQ((s).typestr, type_text);                  \
            EXPECT_EQ((s).datatype->type, type_code);           \
        }                                                       \
    } while (0)

class Collectors : public ::testing::Test {
protected:
    void SetUp() override {
        mekal_clean();
        g_sys = FakeSystem{};
    }
    void TearDown() override { mekal_clean(); }
};

TEST_F(Collectors, VersionIsRecordedAsVersionText) {
    EXPECT_EQ(mekal_mekalversion(), 0);
    Stored s = stored("mekalversion");
    EXPECT_FILED(s, "runinfo", "%v", mekal_type_version);
    EXPECT_EQ(s.text(), "0.5.0");
}

TEST_F(Collectors, ClusterNameDropsDigitsAndEndsAtTheFirstDot) {
    const std::pair<const char *, const char *> cases[] = {
        {"node12.rack7", "node"}, {"ab1c2d.x", "abcd"}, {"login-3", "login-"},
        {"1234", ""},             {".front", ""},       {"gpu-a100-07.site.org", "gpu-a-"},
    };
    for (const auto &[host, cluster] : cases) {
        g_sys.host = host;
        EXPECT_EQ(mekal_clustername(), 0) << host;
        Stored s = stored("cluster");
        EXPECT_FILED(s, "host", "%s", mekal_type_string);
        EXPECT_EQ(s.text(), cluster) << host;
        EXPECT_EQ(g_sys.host_size, 512);
    }
    // The host name itself is not recorded by this collector.
    EXPECT_FALSE(stored("hostname").found);

    // A name that fills the whole buffer unterminated is read up to its
    // last byte but one.
    g_sys.host_without_nul = true;
    EXPECT_EQ(mekal_clustername(), 0);
    Stored s = stored("cluster");
    EXPECT_EQ(s.text(), std::string(511, 'x'));
}

TEST_F(Collectors, HostnameIsRecordedWhole) {
    EXPECT_EQ(mekal_hostname(), 0);
    Stored s = stored("hostname");
    EXPECT_FILED(s, "host", "%s", mekal_type_string);
    EXPECT_EQ(s.text(), "node12.rack7");
    EXPECT_EQ(g_sys.host_size, 512);

    // Recording again replaces the value.
    g_sys.host = "login-3";
    EXPECT_EQ(mekal_hostname(), 0);
    EXPECT_EQ(stored("hostname").text(), "login-3");
}

TEST_F(Collectors, LaunchDateAndDayFollowTheStartTime) {
    EXPECT_EQ(mekal_launchdate(), 0);
    EXPECT_EQ(mekal_launchday(), 0);
    Stored date = stored("launchdate");
    Stored day = stored("launchday");
    EXPECT_FILED(date, "runinfo", "%D", mekal_type_date);
    EXPECT_FILED(day, "runinfo", "%D", mekal_type_date);
    EXPECT_EQ(date.number(), 3 * 86400 + 5);
    EXPECT_EQ(day.number(), 3 * 86400);

    // Below one day the day is the epoch; the microseconds are dropped.
    g_sys.start = {86399, 999999};
    EXPECT_EQ(mekal_launchdate(), 0);
    EXPECT_EQ(mekal_launchday(), 0);
    EXPECT_EQ(stored("launchdate").number(), 86399);
    EXPECT_EQ(stored("launchday").number(), 0);

    // Only both fields zero means no launch time.
    g_sys.start = {0, 1};
    EXPECT_EQ(mekal_launchdate(), 0);
    EXPECT_EQ(stored("launchdate").number(), 0);
}

TEST_F(Collectors, LaunchTimeOfZeroOrAFailedProbeRecordsNothing) {
    g_sys.start = {0, 0};
    EXPECT_EQ(mekal_launchdate(), -1);
    EXPECT_EQ(mekal_launchday(), -1);
    g_sys.start = {3 * 86400 + 5, 0};
    g_sys.start_rc = -1;
    EXPECT_EQ(mekal_launchdate(), -1);
    EXPECT_EQ(mekal_launchday(), -1);
    EXPECT_TRUE(listed_names().empty());
    EXPECT_TRUE(g_sys.entry_calls.empty());
}

TEST_F(Collectors, ExecutableIsTheTextAfterTheLastSlash) {
    EXPECT_EQ(mekal_executable(), 0);
    EXPECT_EQ(mekal_executablepath(), 0);
    Stored file = stored("executable");
    Stored path = stored("executablepath");
    EXPECT_FILED(file, "binary", "%s", mekal_type_string);
    EXPECT_FILED(path, "binary", "%p", mekal_type_path);
    EXPECT_EQ(file.text(), "solver");
    EXPECT_EQ(path.text(), "/opt/tools/bin/solver");
    EXPECT_EQ(g_sys.exe_size, 4097u);

    g_sys.exe = "solver-without-dir";
    EXPECT_EQ(mekal_executable(), 0);
    EXPECT_EQ(stored("executable").text(), "solver-without-dir");

    g_sys.exe = "/opt/dir/";
    EXPECT_EQ(mekal_executable(), 0);
    EXPECT_EQ(stored("executable").text(), "");

    mekal_clean();
    g_sys.exe_rc = -1;
    EXPECT_EQ(mekal_executable(), -1);
    EXPECT_EQ(mekal_executablepath(), -1);
    EXPECT_TRUE(listed_names().empty());
}

TEST_F(Collectors, CommandLineIsSplitAtEveryNul) {
    struct Case {
        std::string buffer;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {std::string("prog\0-v\0", 8), {"prog", "-v"}},
        {std::string("a\0b", 3), {"a"}},  // text after the last NUL is no argument
        {std::string("\0", 1), {""}},
        {std::string("x\0\0y\0", 5), {"x", "", "y"}},
        {std::string("solo"), {}},
        {std::string(), {}},
    };
    for (const auto &c : cases) {
        g_sys.cmdline = c.buffer;
        EXPECT_EQ(mekal_cmdline(), 0) << "buffer of " << c.buffer.size() << " bytes";
        Stored s = stored("cmdline");
        EXPECT_FILED(s, "runinfo", "[%s]", mekal_type_set);
        EXPECT_EQ(s.texts(), c.arguments) << "buffer of " << c.buffer.size();
    }
}

TEST_F(Collectors, CommandLineProbeFailureRecordsNothing) {
    g_sys.cmdline_rc = -1;
    EXPECT_EQ(mekal_cmdline(), -1);
    EXPECT_FALSE(stored("cmdline").found);
}

TEST_F(Collectors, UserIsTheLoginAndUidTheWholeGecos) {
    EXPECT_EQ(mekal_user(), 0);
    EXPECT_EQ(mekal_uid(), 0);
    Stored user = stored("user");
    Stored uid = stored("uid");
    EXPECT_FILED(user, "runinfo", "%s", mekal_type_string);
    EXPECT_FILED(uid, "runinfo", "%s", mekal_type_string);
    EXPECT_EQ(user.text(), "jdoe");
    EXPECT_EQ(uid.text(), "John Doe,Room 12,555-0100");
    // Each asks only for the field it records.
    EXPECT_EQ(g_sys.names_asked, (std::vector<std::string>{"login", "gecos"}));

    mekal_clean();
    g_sys.names_rc = -1;
    EXPECT_EQ(mekal_user(), -1);
    EXPECT_EQ(mekal_uid(), -1);
    EXPECT_TRUE(listed_names().empty());
}

TEST_F(Collectors, WorkdirIsRecordedAsAPath) {
    EXPECT_EQ(mekal_workdir(), 0);
    Stored s = stored("working_directory");
    EXPECT_FILED(s, "runinfo", "%p", mekal_type_path);
    EXPECT_EQ(s.text(), "/home/jdoe/run");
    EXPECT_EQ(g_sys.cwd_size, 1024u);

    mekal_clean();
    g_sys.cwd_rc = -1;
    EXPECT_EQ(mekal_workdir(), -1);
    EXPECT_TRUE(listed_names().empty());
}

TEST_F(Collectors, LibrariesAreRecordedAsASetOfPaths) {
    for (int owned : {0, 1}) {
        g_sys.libs_owned = owned;  // owned names are freed by the collector
        EXPECT_EQ(mekal_libraries(), 0);
        Stored s = stored("libraries");
        EXPECT_FILED(s, "binary", "[%p]", mekal_type_set);
        EXPECT_EQ(s.texts(), g_sys.libs) << "owned " << owned;
    }
    g_sys.libs.clear();
    EXPECT_EQ(mekal_libraries(), 0);
    EXPECT_TRUE(stored("libraries").texts().empty());

    mekal_clean();
    g_sys.libs_rc = -1;
    EXPECT_EQ(mekal_libraries(), -1);
    EXPECT_TRUE(listed_names().empty());
}

TEST_F(Collectors, JobSizeAndHostCountAreOneUnderMpi) {
    EXPECT_EQ(mekal_job_size(), 0);
    EXPECT_EQ(mekal_num_hosts(), 0);
    for (const char *name : {"jobsize", "numhosts"}) {
        Stored s = stored(name);
        EXPECT_FILED(s, "mpi", "%u", mekal_type_unsigned_int);
        EXPECT_EQ(static_cast<unsigned>(s.value->as_int), 1u) << name;
    }
}

TEST_F(Collectors, MpiOnlyCollectorsFailAndRecordNothing) {
    EXPECT_EQ(mekal_hostlist(), -1);
    EXPECT_EQ(mekal_mpi_version(), -1);
    EXPECT_EQ(mekal_mpi_library(), -1);
    EXPECT_EQ(mekal_mpi_library_version(), -1);
    EXPECT_TRUE(listed_names().empty());
    EXPECT_TRUE(g_sys.entry_calls.empty());
}

TEST_F(Collectors, NoCommunicatorCanBeSetWithoutMpi) {
    const long comm = 0;  // any handle: this build has no communicators
    EXPECT_EQ(mekal_set_communicator(&comm), -1);
    EXPECT_EQ(mekal_set_communicator(nullptr), -1);
}

TEST_F(Collectors, EntryFailureIsPassedOnByEveryCollector) {
    for (const char *name : {"mekalversion", "launchdate", "launchday", "executable",
                             "executablepath", "cmdline", "user", "uid", "working_directory",
                             "hostname", "cluster", "libraries", "jobsize", "numhosts"})
        g_sys.entry_fails_for.insert(name);
    g_sys.libs_owned = 1;

    // Every collector passes the entry's -1 on (and still frees what it holds).
    EXPECT_EQ(mekal_mekalversion(), -1);
    EXPECT_EQ(mekal_launchdate(), -1);
    EXPECT_EQ(mekal_launchday(), -1);
    EXPECT_EQ(mekal_executable(), -1);
    EXPECT_EQ(mekal_executablepath(), -1);
    EXPECT_EQ(mekal_cmdline(), -1);
    EXPECT_EQ(mekal_libraries(), -1);
    EXPECT_EQ(mekal_user(), -1);
    EXPECT_EQ(mekal_uid(), -1);
    EXPECT_EQ(mekal_workdir(), -1);
    EXPECT_EQ(mekal_hostname(), -1);
    EXPECT_EQ(mekal_clustername(), -1);
    EXPECT_EQ(mekal_job_size(), -1);
    EXPECT_EQ(mekal_num_hosts(), -1);
    EXPECT_EQ(g_sys.entry_calls.size(), 14u);
    EXPECT_TRUE(listed_names().empty());

    // Nothing was recorded, so collecting everything fails too.
    EXPECT_EQ(mekal_collect_all(), -1);
    EXPECT_TRUE(listed_names().empty());
    g_sys.entry_fails_for.erase("launchday");
    EXPECT_EQ(mekal_collect_all(), 0);
    EXPECT_EQ(listed_names(), std::vector<std::string>{"launchday"});
}

TEST_F(Collectors, CollectAllWithEveryProbeFailingRecordsOnlyTheFixedValues) {
    fail_every_probe();
    EXPECT_EQ(mekal_collect_all(), 0);
    std::vector<std::string> names = listed_names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"jobsize", "mekalversion", "numhosts"}));
    // Every step still asked its probe.
    EXPECT_EQ(g_sys.calls_names, 2);
    EXPECT_EQ(g_sys.calls_start, 2);
    EXPECT_EQ(g_sys.calls_exe, 2);
    EXPECT_EQ(g_sys.calls_cwd, 1);
    EXPECT_EQ(g_sys.calls_libs, 1);
    EXPECT_EQ(g_sys.calls_cmdline, 1);
    EXPECT_EQ(g_sys.calls_host, 2);
}

TEST_F(Collectors, CollectAllRecordsEverythingInItsOrder) {
    std::vector<Event> events;
    Recorder recorder{"all", &events};
    mekal_register_cb(1, mekal_category_all, plain_cb, 1, &recorder);

    EXPECT_EQ(mekal_collect_all(), 0);
    std::vector<std::string> order;
    for (const auto &e : events) order.push_back(e.name);
    EXPECT_EQ(order, (std::vector<std::string>{
                         "mekalversion", "user", "uid", "launchdate", "launchday", "executable",
                         "executablepath", "working_directory", "libraries", "cmdline",
                         "hostname", "cluster", "jobsize", "numhosts"}));
    for (const auto &e : events) EXPECT_EQ(e.category, mekal_category_general) << e.name;

    // The values are the same as the single collectors record.
    EXPECT_EQ(stored("cluster").text(), "node");
    EXPECT_EQ(stored("launchday").number(), 3 * 86400);
    EXPECT_EQ(stored("executable").text(), "solver");
    EXPECT_EQ(stored("cmdline").texts(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(stored("uid").text(), "John Doe,Room 12,555-0100");
    EXPECT_EQ(g_sys.entry_calls.front(), "mekalversion|runinfo|%v|2");
    EXPECT_EQ(g_sys.entry_calls.back(), "numhosts|mpi|%u|2");
    mekal_clean();  // the observer lives on this stack
}

TEST_F(Collectors, CollectAllSkipsOnlyTheValuesWhoseProbeFailed) {
    g_sys.host_rc = -1;
    g_sys.names_rc = -1;
    EXPECT_EQ(mekal_collect_all(), 0);
    std::vector<std::string> names = listed_names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"cmdline", "executable", "executablepath",
                                               "jobsize", "launchdate", "launchday",
                                               "libraries", "mekalversion", "numhosts",
                                               "working_directory"}));
}

}  // namespace
