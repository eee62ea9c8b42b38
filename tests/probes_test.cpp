// The real probes and the collectors on them, checked against what this
// process can find out for itself: its arguments as main received them, its
// resolved executable, its password entry, its working directory, the time
// its static data was set up, and the CPU it burns.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "mekal.h"
#include "stored_value.h"
#include "registry_helpers.h"

namespace {

std::vector<std::string> g_argv;
// Set while the program starts, before main: the process began no later.
const time_t g_static_init_time = time(nullptr);

using testing_helpers::Stored;
using testing_helpers::stored;

std::string self_exe() {
    char *resolved = realpath("/proc/self/exe", nullptr);
    if (resolved == nullptr) return "(unresolved)";
    std::string out = resolved;
    std::free(resolved);
    return out;
}

class RealProbes : public ::testing::Test {
protected:
    void SetUp() override { mekal_clean(); }
    void TearDown() override { mekal_clean(); }
};

TEST_F(RealProbes, ExecutableIsTheResolvedSelfExe) {
    const std::string expected = self_exe();
    ASSERT_EQ(expected[0], '/');
    ASSERT_EQ(mekal_executablepath(), 0);
    ASSERT_EQ(mekal_executable(), 0);
    EXPECT_EQ(stored("executablepath").text(), expected);
    EXPECT_EQ(stored("executable").text(), expected.substr(expected.rfind('/') + 1));
    EXPECT_EQ(stored("executable").text(), "probes_test");
}

TEST_F(RealProbes, ExecutableIsCutToSizeMinusOne) {
    const std::string expected = self_exe();
    char buf[8];
    std::memset(buf, 'q', sizeof buf);
    ASSERT_EQ(melsys_get_executable(buf, 5), 0);
    EXPECT_EQ(std::string(buf), expected.substr(0, 4));
    EXPECT_EQ(buf[5], 'q') << "wrote past size";

    std::vector<char> exact(expected.size() + 1, 'q');
    ASSERT_EQ(melsys_get_executable(exact.data(), exact.size()), 0);
    EXPECT_EQ(std::string(exact.data()), expected);
}

TEST_F(RealProbes, CommandLineIsTheArgumentsMainReceived) {
    ASSERT_FALSE(g_argv.empty());
    char *buffer = nullptr;
    int length = -1;
    ASSERT_EQ(melsys_get_cmdline_buffer(&buffer, &length), 0);
    std::string joined;
    for (const auto &argument : g_argv) joined += argument + '\0';
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), joined);
    EXPECT_EQ(buffer[length], '\0');
    std::free(buffer);

    ASSERT_EQ(mekal_cmdline(), 0);
    EXPECT_EQ(stored("cmdline").texts(), g_argv);
}

TEST_F(RealProbes, UserAndUidComeFromTheRealUsersEntry) {
    const struct passwd *entry = getpwuid(getuid());
    if (entry == nullptr) {
        EXPECT_EQ(mekal_user(), -1);
        EXPECT_EQ(mekal_uid(), -1);
        EXPECT_TRUE(testing_helpers::listed_names().empty());
        return;
    }
    std::string login = entry->pw_name;
    login = login.substr(0, login.find(','));
    const std::string gecos = entry->pw_gecos ? entry->pw_gecos : "";

    char *gecos_copy = nullptr;
    char *login_copy = nullptr;
    ASSERT_EQ(melsys_get_names(&gecos_copy, &login_copy), 0);
    EXPECT_EQ(std::string(login_copy), login);
    EXPECT_EQ(std::string(gecos_copy), gecos);
    std::free(gecos_copy);
    std::free(login_copy);

    ASSERT_EQ(mekal_user(), 0);
    ASSERT_EQ(mekal_uid(), 0);
    EXPECT_EQ(stored("user").text(), login);
    EXPECT_EQ(stored("uid").text(), gecos);
}

TEST_F(RealProbes, LibrariesIncludeThisLibrary) {
    ASSERT_EQ(mekal_libraries(), 0);
    const std::vector<std::string> names = stored("libraries").texts();
    bool found = false;
    for (const auto &name : names) {
        EXPECT_FALSE(name.empty());
        if (name.find("libmekal.so") != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << "no libmekal.so among " << names.size() << " objects";
}

TEST_F(RealProbes, LaunchDateLiesBetweenProcessStartAndNow) {
    ASSERT_EQ(mekal_launchdate(), 0);
    ASSERT_EQ(mekal_launchday(), 0);
    const int64_t launch = stored("launchdate").number();
    const time_t now = time(nullptr);
    EXPECT_LE(launch, static_cast<int64_t>(now));
    // Generous: a slow start under a memory checker takes seconds, not this.
    EXPECT_GE(launch, static_cast<int64_t>(g_static_init_time) - 600);
    const int64_t day = stored("launchday").number();
    EXPECT_EQ(day % 86400, 0);
    EXPECT_LE(day, launch);
    EXPECT_GT(day + 86400, launch);

    struct timeval tv = {-1, -1};
    ASSERT_EQ(melsys_starttime(&tv), 0);
    EXPECT_GE(tv.tv_usec, 0);
    EXPECT_LT(tv.tv_usec, 1000000);
}

TEST_F(RealProbes, CpuTimesAreNonNegativeAndGrowWithWork) {
    struct timeval sys_before{}, user_before{};
    ASSERT_EQ(melsys_get_times(&sys_before, &user_before), 0);
    for (const auto &tv : {sys_before, user_before}) {
        EXPECT_GE(tv.tv_sec, 0);
        EXPECT_GE(tv.tv_usec, 0);
        EXPECT_LT(tv.tv_usec, 1000000);
    }
    auto micros = [](const struct timeval &tv) { return tv.tv_sec * 1000000LL + tv.tv_usec; };

    // Burn user time until the tick counter moves, for at most ten seconds.
    struct timeval start{}, now{};
    ASSERT_EQ(melsys_curtime(&start), 0);
    struct timeval user_after = user_before;
    volatile unsigned long sink = 0;
    do {
        for (unsigned long i = 0; i < 2000000; ++i) sink = sink + i * i;
        ASSERT_EQ(melsys_get_times(nullptr, &user_after), 0);
        ASSERT_EQ(melsys_curtime(&now), 0);
    } while (micros(user_after) <= micros(user_before) && now.tv_sec - start.tv_sec < 10);
    EXPECT_GT(micros(user_after), micros(user_before));
    struct timeval sys_after{};
    ASSERT_EQ(melsys_get_times(&sys_after, nullptr), 0);
    EXPECT_GE(micros(sys_after), micros(sys_before));
}

TEST_F(RealProbes, TimeOfDayMatchesTheSystemClock) {
    struct timeval mine{}, theirs{};
    ASSERT_EQ(melsys_curtime(&mine), 0);
    ASSERT_EQ(gettimeofday(&theirs, nullptr), 0);
    const long long gap = (theirs.tv_sec - mine.tv_sec) * 1000000LL + (theirs.tv_usec - mine.tv_usec);
    EXPECT_GE(gap, 0);
    EXPECT_LT(gap, 5000000);
}

TEST_F(RealProbes, HostnameIsTerminatedAndMatchesTheSystem) {
    char expected[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
    const size_t length = std::strlen(expected);

    char buf[512];
    std::memset(buf, 'q', sizeof buf);
    ASSERT_EQ(melsys_hostname(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, expected);

    // Exactly room for the name and its NUL: whole, terminated, nothing after.
    std::memset(buf, 'q', sizeof buf);
    ASSERT_EQ(melsys_hostname(buf, static_cast<int>(length + 1)), 0);
    EXPECT_EQ(std::string(buf), expected);
    EXPECT_EQ(buf[length + 1], 'q');

    // Too small: either refused or cut and terminated inside the buffer.
    std::memset(buf, 'q', sizeof buf);
    if (length > 1 && melsys_hostname(buf, 2) == 0) {
        EXPECT_EQ(buf[1], '\0');
    }
    EXPECT_EQ(buf[2], 'q');

    ASSERT_EQ(mekal_hostname(), 0);
    ASSERT_EQ(mekal_clustername(), 0);
    EXPECT_EQ(stored("hostname").text(), expected);
    const std::string cluster = stored("cluster").text();
    EXPECT_EQ(cluster.find_first_of("0123456789."), std::string::npos) << cluster;
    EXPECT_LE(cluster.size(), length);
}

TEST_F(RealProbes, WorkdirFollowsChdir) {
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    ASSERT_EQ(mekal_workdir(), 0);
    EXPECT_EQ(stored("working_directory").text(), before);

    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(mekal_workdir(), 0);
    EXPECT_EQ(stored("working_directory").text(), "/");

    // A directory longer than any fixed buffer is recorded whole.
    std::string root = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    root += "/mekal-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(root.data()), nullptr);
    // Longer than PATH_MAX: built and removed one level at a time.
    const std::string level(200, 'd');
    std::string deep = root;
    int levels = 0;
    ASSERT_EQ(chdir(root.c_str()), 0);
    for (; deep.size() < 6000; ++levels) {
        ASSERT_EQ(mkdir(level.c_str(), 0700), 0);
        ASSERT_EQ(chdir(level.c_str()), 0);
        deep += "/" + level;
    }
    EXPECT_EQ(mekal_workdir(), 0);
    EXPECT_TRUE(stored("working_directory").text() == deep) << deep.size() << " bytes";
    mekal_clean();
    EXPECT_EQ(mekal_collect_all(), 0);
    EXPECT_TRUE(stored("working_directory").text() == deep) << deep.size() << " bytes";
    for (; levels > 0; --levels) {
        ASSERT_EQ(chdir(".."), 0);
        EXPECT_EQ(rmdir(level.c_str()), 0);
    }
    ASSERT_EQ(chdir(before), 0);
    EXPECT_EQ(rmdir(root.c_str()), 0);
}

TEST_F(RealProbes, LaunchIsTheProcessStartNotTheFirstLookOfProc) {
    // A child that sleeps before its first call: the launch is still when it
    // was forked, and the wall time covers the sleep.
    struct timeval before{};
    ASSERT_EQ(gettimeofday(&before, nullptr), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct timeval started{};
        gettimeofday(&started, nullptr);
        usleep(1500000);
        struct timeval launch{};
        int failures = 0;
        auto micros = [](const struct timeval &tv) { return tv.tv_sec * 1000000LL + tv.tv_usec; };
        if (melsys_starttime(&launch) != 0) failures |= 1;
        // The kernel counts the start in ticks (10 ms here): it may read
        // up to one tick early, never late.
        if (micros(launch) < micros(before) - 20000 || micros(launch) > micros(started) + 1000)
            failures |= 2;
        mekal_walltime();
        mekal_fini();
        const Stored wall = stored("walltime");
        const auto *tv = wall.found ? static_cast<const struct timeval *>(wall.value->as_ptr) : nullptr;
        if (tv == nullptr || micros(*tv) < 1500000 || micros(*tv) > 2000000) failures |= 4;
        mekal_clean();
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: probe failed, 2: launch off, 4: wall time off";
}

TEST_F(RealProbes, ClocksRefuseANullRecord) {
    EXPECT_EQ(melsys_clock_realtime(nullptr), -1);
    EXPECT_EQ(melsys_curtime(nullptr), -1);
    EXPECT_EQ(melsys_starttime(nullptr), -1);
}

TEST_F(RealProbes, CollectAllRecordsEveryFactOnThisMachine) {
    EXPECT_EQ(mekal_collect_all(), 0);
    for (const char *name : {"mekalversion", "launchdate", "launchday", "executable",
                             "executablepath", "cmdline", "working_directory", "hostname",
                             "cluster", "libraries", "jobsize", "numhosts"})
        EXPECT_TRUE(stored(name).found) << name;
    const bool has_entry = getpwuid(getuid()) != nullptr;
    EXPECT_EQ(stored("user").found, has_entry);
    EXPECT_EQ(stored("uid").found, has_entry);
    EXPECT_EQ(stored("cmdline").texts(), g_argv);
}

}  // namespace

int main(int argc, char **argv) {
    // Kept before the test framework takes its own options out of argv.
    for (int i = 0; i < argc; ++i) g_argv.emplace_back(argv[i]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
